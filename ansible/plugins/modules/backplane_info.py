#!/usr/bin/python
# SPDX-License-Identifier: GPL-3.0-or-later
# Copyright (c) 2026 The Velmoran Developers

from __future__ import absolute_import, division, print_function
__metaclass__ = type

DOCUMENTATION = r'''
---
module: backplane_info
short_description: Read a server's backplane boards and their firmware revisions
version_added: 1.0.0
description:
  - Runs C(velmoran -xml) and returns the boards it found as structured data.
  - Reaches the boards in-band, through the server's own management library,
    or over the BMC's LAN with IPMI 2.0 through velmoran's FreeIPMI backend.
  - Reads only; never changes a board.
author:
  - The Velmoran Developers
extends_documentation_fragment:
  - velmoran.backplane.run
attributes:
  check_mode:
    description: Can run in check mode; it reads the same way.
    support: full
notes:
  - velmoran does not print the platform's system ID; I(system_id) is returned as given.
'''

EXAMPLES = r'''
- name: Read the boards of this server
  velmoran.backplane.backplane_info:
    chdir: /opt/tessel
  become: true
  register: backplane

- name: Read a server's boards over its BMC, from a controller
  velmoran.backplane.backplane_info:
    backend: lan
    bmc_host: "{{ bmc_address }}"
    bmc_user: fwadmin
    bmc_password: "{{ bmc_password }}"
    system_id: 16D
    library_path: /usr/lib/x86_64-linux-gnu/velmoran/freeipmi
  delegate_to: fwcontrol1
'''

RETURN = r'''
boards:
  description: Every board velmoran knows, in its table order.
  returned: always
  type: list
  elements: dict
  contains:
    name:
      description: The board's name as velmoran prints it.
      type: str
      sample: Primary Backplane
    ipmb_address:
      description: The board's IPMB address.
      type: str
      sample: "0xC0"
    revision:
      description:
        - The firmware revision the board runs; C(0.00) while it runs from its
          boot block; null when it did not answer.
      type: str
      sample: "1.05"
    answered:
      description: Whether the board answered (absent from the platform, or silent, otherwise).
      type: bool
      sample: true
system_id:
  description: The system ID given to the module, if any.
  returned: always
  type: str
  sample: 16D
version:
  description: velmoran's version.
  returned: always
  type: str
  sample: "1.09"
status:
  description: velmoran's exit status.
  returned: always
  type: int
  sample: 0
status_meaning:
  description: What the exit status means.
  returned: always
  type: str
  sample: success
message:
  description: The failure message of the inventory document, when it has one.
  returned: when velmoran failed
  type: str
  sample: CRC Failed
log_tail:
  description: The last lines of velmoran's log.
  returned: when velmoran failed
  type: list
  elements: str
stderr:
  description: What velmoran (or its backend) wrote to standard error.
  returned: always
  type: str
'''

import os

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.velmoran.backplane.plugins.module_utils import velmoran


def inventory(module):
    params = module.params
    with velmoran.PrivateFolder() as folder:
        log = os.path.join(folder.path, "inventory.log")
        argv = velmoran.base_argv(params) + ["-xml", "-log=%s" % log]
        try:
            environment = velmoran.program_environment(params, folder)
        except OSError as error:
            return dict(failed=True, msg="cannot prepare the run: %s" % error)
        try:
            status, stdout, stderr, timed_out, seconds = velmoran.run_program(
                argv, velmoran.working_folder(params, folder), environment, params["timeout"])
        except OSError as error:
            return dict(failed=True, msg="cannot run %s: %s" % (params["program"], error))
        log_text = velmoran.read_text(log)
        tail = velmoran.log_tail(log)
        private = folder.path

    result = dict(changed=False, status=status, status_meaning=velmoran.exit_meaning(status),
                  version=velmoran.program_version(log_text), system_id=params.get("system_id"),
                  stderr=stderr, boards=[])
    if timed_out:
        result.update(failed=True, log_tail=tail,
                      msg="velmoran did not end within %d s and was stopped" % params["timeout"])
        return result
    try:
        document = velmoran.parse_inventory(stdout)
    except velmoran.VelmoranOutputError as error:
        result.update(failed=True, log_tail=tail, msg="velmoran printed no inventory (%s)" % error)
        return result
    found = dict((board["name"], board["revision"]) for board in document["boards"])
    for name, address in velmoran.BOARDS:
        result["boards"].append(dict(name=name, ipmb_address="0x%02X" % address,
                                     revision=found.get(name), answered=name in found))
    if status != 0:
        if document["status"] is not None:
            result["message"] = document["status"]["text"]
        result.update(failed=True, log_tail=tail,
                      msg=velmoran.failure_message(status, stderr, private, params))
    return result


def main():
    module = AnsibleModule(argument_spec=velmoran.common_argument_spec(),
                           required_if=velmoran.COMMON_REQUIRED_IF,
                           supports_check_mode=True)
    velmoran.finish(module, inventory(module))


if __name__ == "__main__":
    main()
