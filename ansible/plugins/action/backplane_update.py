# SPDX-License-Identifier: GPL-3.0-or-later
# Copyright (c) 2026 The Velmoran Developers
"""Runs backplane_update inside the worker when the task runs on the
controller itself, as the controller's own user: a LAN rollout runs one
update per BMC there, and starting a module process for each costs the
controller more CPU than the rest of the task together. Everywhere else
(another host, become to another user, a task environment, async) the
module is sent and run as usual."""

from __future__ import absolute_import, division, print_function
__metaclass__ = type

import io
import json
import os
import pwd
import sys

from ansible.module_utils import basic
from ansible.plugins.action import ActionBase
from ansible.utils.unsafe_proxy import wrap_var
from ansible.vars.clean import remove_internal_keys

# Imported here, where the strategy loads this plugin once in the main
# process, so that each forked worker finds the module already imported.
from ansible_collections.velmoran.backplane.plugins.modules import backplane_update

MODULE = "velmoran.backplane.backplane_update"


class ActionModule(ActionBase):

    _supports_check_mode = True
    _supports_async = True

    def run(self, tmp=None, task_vars=None):
        task_vars = task_vars or {}
        result = super(ActionModule, self).run(tmp, task_vars)
        del tmp
        wrap_async = bool(self._task.async_val) and not self._connection.has_native_async
        if wrap_async or not self._runs_as_this_process():
            result.update(self._execute_module(module_name=MODULE, module_args=self._module_arguments(),
                                               task_vars=task_vars, wrap_async=wrap_async))
            return result
        result.update(self._execute_here(task_vars))
        return result

    def _module_arguments(self):
        return dict(self._task.args)

    def _runs_as_this_process(self):
        """Whether the module would run on this host, as this user, with
        this process's environment."""
        if getattr(self._connection, "transport", None) != "local" or any(self._task.environment or []):
            return False
        if self._play_context.become:
            user = self._play_context.become_user or "root"
            return user == pwd.getpwuid(os.geteuid()).pw_name
        return True

    def _execute_here(self, task_vars):
        arguments = self._module_arguments()
        self._update_module_args(MODULE, arguments, task_vars)
        arguments["_ansible_tmpdir"] = None
        basic._ANSIBLE_ARGS = json.dumps({"ANSIBLE_MODULE_ARGS": arguments}).encode("utf-8")
        printed = io.StringIO()
        saved = sys.stdout
        sys.stdout = printed
        try:
            backplane_update.main()
        except SystemExit:
            pass
        finally:
            sys.stdout = saved
            basic._ANSIBLE_ARGS = None
        data = self._parse_returned_data({"stdout": printed.getvalue(), "stderr": "", "rc": 0})
        return self._finish_returned_data(data)

    def _finish_returned_data(self, data):
        """What _execute_module does with a module's answer."""
        remove_internal_keys(data)
        if "stderr" in data and "stderr_lines" not in data:
            data["stderr_lines"] = (data.get("stderr") or u"").splitlines()
        return wrap_var(data)
