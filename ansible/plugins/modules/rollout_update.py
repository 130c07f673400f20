#!/usr/bin/python
# SPDX-License-Identifier: GPL-3.0-or-later
# Copyright (c) 2026 The Velmoran Developers

from __future__ import absolute_import, division, print_function
__metaclass__ = type

DOCUMENTATION = r'''
---
module: rollout_update
short_description: The rollout role's update task, with the role's variables as backplane_update's arguments
version_added: 1.0.0
description:
  - Runs M(velmoran.backplane.backplane_update) with arguments taken from the
    C(velmoran.backplane.rollout) role's variables, and returns what it returns.
  - C(program), C(allow_downgrade), C(force), C(timeout), C(backend),
    C(program_environment), C(bmc_port), C(cipher_suite) and
    C(workaround_flags) come from the C(velmoran_) variable of the same name.
  - C(library_path), C(state_dir), C(system_id), C(session_timeout_ms) and
    C(retransmission_timeout_ms) likewise, when the variable is set and not
    empty; otherwise the module's default holds.
  - With the C(lan) backend, C(bmc_host), C(bmc_user) and C(bmc_password) too.
  - The data file is C(velmoran_data_file) itself on the LAN, read through a
    private copy, and the staged copy in the working folder in-band. Its
    SHA-256 and its catalog's are C(velmoran_data_sha256) and
    C(velmoran_catalog_sha256), or those the role read on the controller.
  - The log file and the failure marker are C(velmoran.log) and
    C(flash-failed) in the working folder. velmoran runs in C(velmoran_chdir)
    when set, in-band in the working folder otherwise.
  - Meant for the role, where it saves each server's worker the templating
    of every argument; elsewhere call backplane_update with its arguments.
author:
  - The Velmoran Developers
options: {}
attributes:
  check_mode:
    description: As backplane_update.
    support: full
  diff_mode:
    description: As backplane_update.
    support: full
notes:
  - An action on the controller; it takes no arguments.
'''

EXAMPLES = r'''
- name: Update the backplane boards
  velmoran.backplane.rollout_update:
  delegate_to: "{{ _velmoran_runner }}"
  register: velmoran_update
'''

RETURN = r'''
boards:
  description: As M(velmoran.backplane.backplane_update).
  returned: as backplane_update
  type: list
  elements: dict
'''
