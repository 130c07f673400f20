# SPDX-License-Identifier: GPL-3.0-or-later
# Copyright (c) 2026 The Velmoran Developers

from __future__ import absolute_import, division, print_function
__metaclass__ = type


class ModuleDocFragment(object):
    # How the backplane modules run velmoran and reach the boards.
    DOCUMENTATION = r'''
options:
  program:
    description: Path of the velmoran program, or its name on the search path.
    type: path
    default: velmoran
  chdir:
    description:
      - Folder to run velmoran in. In-band this is where the driver's install
        script C(tesselinstall.sh) is.
      - Defaults, in-band, to the data file's folder where the module takes
        one, and otherwise to the run's private temporary folder.
    type: path
  timeout:
    description:
      - Seconds the run may take before it is sent SIGTERM. velmoran then
        finishes the board in hand and flashes no further one; if it still
        runs 180 seconds later it is killed.
    type: int
    default: 1800
  backend:
    description:
      - C(inband) uses the management library the loader finds on the server.
      - C(lan) uses the FreeIPMI backend over LAN 2.0 with a configuration the
        module writes into a private temporary folder and removes afterwards.
    type: str
    choices: [inband, lan]
    default: inband
  library_path:
    description: Folder of the backend's libraries, put on C(LD_LIBRARY_PATH).
    type: str
  state_dir:
    description:
      - Folder for velmoran's own records, passed as C(VELMORAN_STATE_DIR).
      - With I(backend=lan) it defaults to one folder per BMC under
        C(/var/lib/velmoran/bmc), so parallel runs on one controller never share one.
    type: path
  program_environment:
    description: More environment variables for velmoran only.
    type: dict
    default: {}
  bmc_host:
    description: The BMC's name or address (I(backend=lan)).
    type: str
  bmc_port:
    description: The BMC's UDP port (I(backend=lan)).
    type: int
    default: 623
  bmc_user:
    description: The BMC user (I(backend=lan)).
    type: str
  bmc_password:
    description: The BMC user's password (I(backend=lan)); written only to a 0600 file in the private folder.
    type: str
  cipher_suite:
    description: RMCP+ cipher suite (I(backend=lan)).
    type: int
    default: 3
  privilege:
    description: Session privilege (I(backend=lan)).
    type: str
    choices: [user, operator, admin]
    default: admin
  workaround_flags:
    description: FreeIPMI LAN 2.0 workarounds, by name (I(backend=lan)).
    type: list
    elements: str
    default: []
  session_timeout_ms:
    description: Give up on an unanswered LAN request after this long.
    type: int
  retransmission_timeout_ms:
    description: Resend an unanswered LAN request after this long.
    type: int
  system_id:
    description:
      - The platform's system ID in hexadecimal, e.g. C(16D).
      - With I(backend=lan) it goes into the backend's configuration; in-band
        it is passed as C(-sysid=).
    type: str
'''
