# SPDX-License-Identifier: GPL-3.0-or-later
# Copyright (c) 2026 The Velmoran Developers

from __future__ import absolute_import, division, print_function
__metaclass__ = type

DOCUMENTATION = r'''
name: fleet_report
type: aggregate
short_description: One report of a backplane rollout, for the whole fleet
version_added: 1.0.0
description:
  - Collects what every backplane_update task returned, and every host that
    failed or could not be reached on the way to it, and at the end of the
    playbook writes one report on the controller, as JSON and as CSV, with a
    row per board (host, board, before, after, outcome, duration), and prints
    a summary.
  - It is written also when the rollout stopped early because too many hosts
    failed; hosts of the rollout that were never reached are listed as such.
requirements:
  - enable in the configuration, e.g. C(callbacks_enabled = velmoran.backplane.fleet_report)
options:
  report_dir:
    description: Folder for the report files; created when missing.
    type: path
    default: ./fleet-report
    env:
      - name: VELMORAN_FLEET_REPORT_DIR
    ini:
      - section: velmoran_fleet_report
        key: report_dir
  report_name:
    description: Base name of the report files (C(.json) and C(.csv) are added).
    type: str
    default: fleet-report
    env:
      - name: VELMORAN_FLEET_REPORT_NAME
    ini:
      - section: velmoran_fleet_report
        key: report_name
'''

import csv
import datetime
import json
import os

from ansible.plugins.callback import CallbackBase

UPDATE_ACTIONS = ("velmoran.backplane.backplane_update", "backplane_update")
COLUMNS = ("host", "board", "before", "after", "outcome", "duration", "status", "message")


class CallbackModule(CallbackBase):
    CALLBACK_VERSION = 2.0
    CALLBACK_TYPE = "aggregate"
    CALLBACK_NAME = "velmoran.backplane.fleet_report"
    CALLBACK_NEEDS_ENABLED = True

    def __init__(self):
        super(CallbackModule, self).__init__()
        self.hosts = {}            # host -> what happened to it
        self.rollout_hosts = []    # every host a rollout play targets, in order
        self.play_hosts = {}
        self.current_play = None
        self.check_mode = False
        self.started = datetime.datetime.now(datetime.timezone.utc)

    def v2_playbook_on_play_start(self, play):
        self.current_play = play._uuid
        if play._uuid not in self.play_hosts:
            inventory = play.get_variable_manager()._inventory
            self.play_hosts[play._uuid] = [host.name for host in
                                           inventory.get_hosts(play.hosts, ignore_restrictions=True)]

    def v2_playbook_on_task_start(self, task, is_conditional):
        if task.action in UPDATE_ACTIONS:
            for host in self.play_hosts.get(self.current_play, []):
                if host not in self.rollout_hosts:
                    self.rollout_hosts.append(host)
            if task.check_mode:
                self.check_mode = True

    def _host(self, result):
        return result._host.get_name()

    def _record_update(self, result, failed):
        outcome = dict(result._result)
        self.hosts[self._host(result)] = {
            "state": "failed" if failed else "done",
            "task": result._task.get_name(),
            "status": outcome.get("status"),
            "status_meaning": outcome.get("status_meaning"),
            "message": outcome.get("msg") if failed else outcome.get("message"),
            "duration": outcome.get("duration"),
            "changed": bool(outcome.get("changed")),
            "boards": outcome.get("boards") or [],
            "log_tail": outcome.get("log_tail") or [],
        }
        if outcome.get("check_mode") or result._task.check_mode:
            self.check_mode = True

    def _record_problem(self, result, state):
        host = self._host(result)
        if host in self.hosts and self.hosts[host]["state"] in ("done", "failed", "unreachable"):
            return
        self.hosts[host] = {"state": state, "task": result._task.get_name(),
                            "message": result._result.get("msg", ""), "status": None,
                            "duration": None, "boards": [], "changed": False, "log_tail": []}

    def v2_runner_on_ok(self, result):
        if result._task.action in UPDATE_ACTIONS:
            self._record_update(result, failed=False)

    def v2_runner_on_failed(self, result, ignore_errors=False):
        if ignore_errors:
            return
        if result._task.action in UPDATE_ACTIONS:
            self._record_update(result, failed=True)
        else:
            self._record_problem(result, "failed")

    def v2_runner_on_unreachable(self, result):
        self._record_problem(result, "unreachable")

    def _rows(self):
        rows = []
        hosts = list(self.rollout_hosts) + [host for host in self.hosts if host not in self.rollout_hosts]
        for host in hosts:
            record = self.hosts.get(host)
            if record is None:
                rows.append({"host": host, "board": "", "before": "", "after": "",
                             "outcome": "not reached", "duration": "", "status": "", "message": ""})
                continue
            if not record["boards"]:
                outcome = record["state"] if record["state"] != "done" else "no boards"
                if record["state"] == "failed" and record["status"] is None:
                    outcome = "failed: %s" % record["task"]
                rows.append({"host": host, "board": "", "before": "", "after": "", "outcome": outcome,
                             "duration": record["duration"] if record["duration"] is not None else "",
                             "status": record["status"] if record["status"] is not None else "",
                             "message": record["message"] or ""})
                continue
            for board in record["boards"]:
                rows.append({"host": host, "board": board.get("name") or "",
                             "before": board.get("before") or "", "after": board.get("after") or "",
                             "outcome": board.get("outcome") or "",
                             "duration": record["duration"] if record["duration"] is not None else "",
                             "status": record["status"] if record["status"] is not None else "",
                             "message": board.get("message") or record["message"] or ""})
        return rows

    def _summary(self, rows):
        counts = {}
        for row in rows:
            counts[row["outcome"]] = counts.get(row["outcome"], 0) + 1
        hosts = {"total": len(set(row["host"] for row in rows))}
        for record in self.hosts.values():
            hosts[record["state"]] = hosts.get(record["state"], 0) + 1
        hosts["not reached"] = sum(1 for host in self.rollout_hosts if host not in self.hosts)
        return {"hosts": hosts, "outcomes": counts}

    def v2_playbook_on_stats(self, stats):
        if not self.rollout_hosts and not self.hosts:
            return
        rows = self._rows()
        summary = self._summary(rows)
        folder = self.get_option("report_dir")
        name = self.get_option("report_name")
        if not os.path.isdir(folder):
            os.makedirs(folder)
        json_path = os.path.join(folder, name + ".json")
        csv_path = os.path.join(folder, name + ".csv")
        report = {
            "started": self.started.isoformat(),
            "finished": datetime.datetime.now(datetime.timezone.utc).isoformat(),
            "check_mode": self.check_mode,
            "summary": summary,
            "rows": rows,
            "hosts": self.hosts,
        }
        with open(json_path, "w") as handle:
            json.dump(report, handle, indent=2, sort_keys=True)
            handle.write("\n")
        with open(csv_path, "w", newline="") as handle:
            writer = csv.DictWriter(handle, fieldnames=COLUMNS)
            writer.writeheader()
            for row in rows:
                writer.writerow(row)

        self._display.banner("BACKPLANE FLEET REPORT")
        mode = " (check mode: nothing flashed)" if self.check_mode else ""
        host_words = ", ".join("%d %s" % (count, state) for state, count in sorted(summary["hosts"].items())
                               if state != "total" and count)
        self._display.display("hosts: %d%s%s" % (summary["hosts"]["total"], ": " + host_words if host_words else "",
                                                 mode))
        self._display.display("boards: " + ", ".join("%d %s" % (count, outcome) for outcome, count
                                                     in sorted(summary["outcomes"].items())))
        for row in rows:
            if row["outcome"] not in ("flashed", "up to date", "would flash"):
                self._display.display("  %s %s: %s %s" % (row["host"], row["board"] or "-", row["outcome"],
                                                         row["message"]), color="red")
        self._display.display("report: %s, %s" % (json_path, csv_path))
