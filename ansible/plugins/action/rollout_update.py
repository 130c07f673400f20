# SPDX-License-Identifier: GPL-3.0-or-later
# Copyright (c) 2026 The Velmoran Developers
"""The rollout role's update: backplane_update with its arguments taken from
the role's variables. Thirty templated task arguments would cost each
server's worker a Jinja compilation apiece; read here, only the variables
whose values are templates are templated."""

from __future__ import absolute_import, division, print_function
__metaclass__ = type

import posixpath

from ansible.errors import AnsibleActionFail

from ansible_collections.velmoran.backplane.plugins.action import backplane_update

# backplane_update's option, the role variable it comes from, and whether an
# empty value leaves the option to the module's default.
PASSED = (
    ("program", "velmoran_program", False),
    ("allow_downgrade", "velmoran_allow_downgrade", False),
    ("force", "velmoran_force", False),
    ("timeout", "velmoran_timeout", False),
    ("backend", "velmoran_backend", False),
    ("library_path", "velmoran_library_path", True),
    ("state_dir", "velmoran_state_dir", True),
    ("program_environment", "velmoran_program_environment", False),
    ("system_id", "velmoran_system_id", True),
    ("bmc_port", "velmoran_bmc_port", False),
    ("cipher_suite", "velmoran_cipher_suite", False),
    ("workaround_flags", "velmoran_workaround_flags", False),
    ("session_timeout_ms", "velmoran_session_timeout_ms", True),
    ("retransmission_timeout_ms", "velmoran_retransmission_timeout_ms", True),
)
LAN_ONLY = (
    ("bmc_host", "velmoran_bmc_host"),
    ("bmc_user", "velmoran_bmc_user"),
    ("bmc_password", "velmoran_bmc_password"),
)


class ActionModule(backplane_update.ActionModule):

    def run(self, tmp=None, task_vars=None):
        if self._task.args:
            raise AnsibleActionFail("rollout_update takes no arguments: it reads the rollout role's variables")
        self._arguments = self._role_arguments(task_vars or {})
        return super(ActionModule, self).run(tmp, task_vars)

    def _module_arguments(self):
        return dict(self._arguments)

    def _role_arguments(self, task_vars):
        def value(name, default=None):
            if name not in task_vars:
                return default
            return self._templar.template(task_vars[name])

        backend = value("velmoran_backend")
        workdir = value("velmoran_workdir")
        # In-band the working folder is the server's; on the LAN each server
        # has its own below the controller's.
        folder = workdir if backend == "inband" else "%s/%s" % (workdir, task_vars["inventory_hostname"])
        arguments = {}
        for option, name, empty_is_unset in PASSED:
            found = value(name)
            if found is None or (empty_is_unset and found == ""):
                continue
            arguments[option] = found
        if backend == "lan":
            arguments.update((option, value(name)) for option, name in LAN_ONLY)
        data_file = value("velmoran_data_file")
        if data_file is not None:
            arguments["data_file"] = folder + "/" + posixpath.basename(data_file) if backend == "inband" else data_file
        # Noted by the role's tasks tagged always; without it the staged
        # file would go unchecked.
        data_sha256 = value("_velmoran_sha256")
        if not data_sha256:
            raise AnsibleActionFail("the release's SHA-256 was not read on the controller: "
                                    "run the rollout role's tasks tagged always too")
        arguments.update(
            data_sha256=data_sha256,
            private_copy=backend == "lan",
            log_file=folder + "/velmoran.log",
            failure_marker=folder + "/flash-failed",
        )
        catalog_sha256 = value("_velmoran_catalog_sha256")
        if catalog_sha256:
            arguments["catalog_sha256"] = catalog_sha256
        chdir = value("velmoran_chdir", "")
        if chdir or backend == "inband":
            arguments["chdir"] = chdir or folder
        return arguments
