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
    row per board (host, board, before, after, outcome, duration, board
    address, image revision, log, failure marker and the next step), and
    prints a summary.
  - Every host of a play that runs the update (the rollout role or the
    module itself) is in the report, also when the rollout stopped before any
    host reached the update task; hosts of the rollout that were never
    reached are listed as such.
  - Each run writes reports of its own, named by its start time in UTC,
    C(REPORT_NAME-YYYYMMDDTHHMMSSZ.json) and C(.csv) (C(REPORT_NAME-check-...)
    for a check run), and points C(REPORT_NAME.json) and C(REPORT_NAME.csv) at
    the last rollout's, C(REPORT_NAME-check.json) and C(REPORT_NAME-check.csv)
    at the last check run's. A check run never replaces the last rollout's
    report.
  - The hosts to run again once their cause is fixed (not reached,
    unreachable, failed before velmoran flashed anything) are written one per
    line into C(REPORT_NAME-...-resume.txt), for C(--limit @FILE).
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
    description: Base name of the report files and of the links to the last ones.
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

from ansible.playbook.block import Block
from ansible.plugins.callback import CallbackBase
from ansible_collections.velmoran.backplane.plugins.module_utils.velmoran import failed_board_next_step

UPDATE_ACTIONS = ("velmoran.backplane.backplane_update", "backplane_update",
                  "velmoran.backplane.rollout_update", "rollout_update")
ROLLOUT_ROLES = ("velmoran.backplane.rollout",)
# New columns go at the end: scripts read the first eight by position.
COLUMNS = ("host", "board", "before", "after", "outcome", "duration", "status", "message",
           "ipmb_address", "image", "log", "marker", "next_step")
# Outcomes that need nothing more from anyone.
SETTLED = ("flashed", "up to date", "would flash", "downgrade refused", "no image")
RESUMABLE = ("not reached", "unreachable")


def _tasks(blocks):
    for block in blocks:
        for part in (block.block, block.rescue, block.always):
            for item in part:
                if isinstance(item, Block):
                    for task in _tasks([item]):
                        yield task
                else:
                    yield item


def runs_update(play):
    """Whether the play runs the update: through the rollout role or the
    module named in its own tasks, seen before any task starts."""
    roles = play.get_roles()
    if any(role.get_name() in ROLLOUT_ROLES for role in roles):
        return True
    blocks = play.pre_tasks + play.tasks + play.post_tasks
    for role in roles:
        blocks = blocks + role.get_task_blocks()
    return any(task.action in UPDATE_ACTIONS for task in _tasks(blocks))


def board_next_step(record, board):
    if board.get("outcome") == "failed":
        return failed_board_next_step(record.get("log_file"), record.get("marker"))
    if board.get("outcome") == "not updated":
        return "updated by a later rollout once the failed board is seen to"
    return ""


class CallbackModule(CallbackBase):
    CALLBACK_VERSION = 2.0
    CALLBACK_TYPE = "aggregate"
    CALLBACK_NAME = "velmoran.backplane.fleet_report"
    CALLBACK_NEEDS_ENABLED = True

    def __init__(self):
        super(CallbackModule, self).__init__()
        self.hosts = {}            # host -> what happened to it
        self.rollout_hosts = []    # every host a rollout play targets, in order
        self.rollout_known = set()  # the same, to look up in a fleet of thousands
        self.play_hosts = {}
        self.current_play = None
        self.inventory = None
        self.check_mode = False
        self.started = datetime.datetime.now(datetime.timezone.utc)

    def _add_rollout_hosts(self, hosts):
        for host in hosts:
            if host not in self.rollout_known:
                self.rollout_known.add(host)
                self.rollout_hosts.append(host)

    def v2_playbook_on_play_start(self, play):
        self.current_play = play
        self.inventory = play.get_variable_manager()._inventory
        if play._uuid not in self.play_hosts:
            self.play_hosts[play._uuid] = [host.name for host in
                                           self.inventory.get_hosts(play.hosts, ignore_restrictions=True)]
        if runs_update(play):
            self._add_rollout_hosts(self.play_hosts[play._uuid])

    def v2_playbook_on_task_start(self, task, is_conditional):
        if task.action in UPDATE_ACTIONS:
            if self.current_play is not None:
                self._add_rollout_hosts(self.play_hosts.get(self.current_play._uuid, []))
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
            "message": outcome.get("msg") if failed else (outcome.get("message") or outcome.get("msg")),
            "duration": outcome.get("duration"),
            "changed": bool(outcome.get("changed")),
            "boards": outcome.get("boards") or [],
            "log_tail": outcome.get("log_tail") or [],
            "log_file": outcome.get("log_file"),
            "marker": outcome.get("marker"),
            "recovery_record": outcome.get("recovery_record"),
        }
        if outcome.get("check_mode") or result._task.check_mode:
            self.check_mode = True

    def _record_problem(self, host, task, message, state):
        if host in self.hosts and self.hosts[host]["state"] in ("done", "failed", "unreachable"):
            return
        self.hosts[host] = {"state": state, "task": task, "message": message, "status": None,
                            "duration": None, "boards": [], "changed": False, "log_tail": []}

    def v2_runner_on_ok(self, result):
        if result._task.action in UPDATE_ACTIONS:
            self._record_update(result, failed=False)

    def v2_runner_on_failed(self, result, ignore_errors=False):
        if ignore_errors:
            return
        if result._task.action in UPDATE_ACTIONS:
            self._record_update(result, failed=True)
            return
        task, message = result._task.get_name(), result._result.get("msg", "")
        self._record_problem(self._host(result), task, message, "failed")
        # A task run once for the batch fails every host of the batch,
        # though only the one it ran on is told.
        if result._task.run_once and self.current_play is not None and self.inventory is not None:
            for host in self.inventory.get_hosts(self.current_play.hosts):
                self._record_problem(host.name, task, message, "failed")

    def v2_runner_on_unreachable(self, result):
        self._record_problem(self._host(result), result._task.get_name(), result._result.get("msg", ""),
                             "unreachable")

    def _host_row(self, host, outcome, record=None, next_step=""):
        record = record or {}
        return {"host": host, "board": "", "before": "", "after": "", "outcome": outcome,
                "duration": record["duration"] if record.get("duration") is not None else "",
                "status": record["status"] if record.get("status") is not None else "",
                "message": record.get("message") or "", "ipmb_address": "", "image": "",
                "log": record.get("log_file") or "", "marker": record.get("marker") or "", "next_step": next_step}

    def _all_hosts(self):
        """The rollout's hosts in order, then those that failed elsewhere."""
        return self.rollout_hosts + [host for host in self.hosts if host not in self.rollout_known]

    def _rows(self, resume_words):
        rows = []
        hosts = self._all_hosts()
        for host in hosts:
            record = self.hosts.get(host)
            if record is None:
                rows.append(self._host_row(host, "not reached", next_step=resume_words))
                continue
            if not record["boards"]:
                outcome = record["state"] if record["state"] != "done" else "no boards"
                next_step = ""
                if record["state"] == "failed" and record["status"] is None:
                    outcome = "failed: %s" % record["task"]
                if record["state"] in ("failed", "unreachable"):
                    next_step = "fix the cause, then " + resume_words
                rows.append(self._host_row(host, outcome, record, next_step))
                continue
            for board in record["boards"]:
                row = self._host_row(host, board.get("outcome") or "", record, board_next_step(record, board))
                row.update(board=board.get("name") or "", before=board.get("before") or "",
                           after=board.get("after") or "", ipmb_address=board.get("ipmb_address") or "",
                           image=board.get("image") or "",
                           message=board.get("message") or record["message"] or "")
                # The failed board carries the run's cause, not only its own
                # word; the next step has a column of its own.
                cause = record["message"] or ""
                if row["next_step"] and cause.endswith("; " + row["next_step"]):
                    cause = cause[:-len("; " + row["next_step"])]
                if board.get("outcome") == "failed" and cause and cause != row["message"]:
                    joint = " " if row["message"].endswith(".") else ": "
                    row["message"] = row["message"] + joint + cause if row["message"] else cause
                rows.append(row)
        return rows

    def _resume_hosts(self):
        """Hosts that ran nothing on their boards and can simply run again:
        never reached, unreachable, or failed before velmoran flashed."""
        hosts = []
        for host in self._all_hosts():
            record = self.hosts.get(host)
            if record is None or (record["state"] in ("failed", "unreachable") and not record["boards"]
                                  and not record.get("marker")):
                hosts.append(host)
        return hosts

    def _summary(self, rows):
        counts = {}
        for row in rows:
            counts[row["outcome"]] = counts.get(row["outcome"], 0) + 1
        hosts = {"total": len(set(row["host"] for row in rows))}
        for record in self.hosts.values():
            hosts[record["state"]] = hosts.get(record["state"], 0) + 1
        hosts["not reached"] = sum(1 for host in self.rollout_hosts if host not in self.hosts)
        return {"hosts": hosts, "outcomes": counts}

    @staticmethod
    def _free_name(folder, base, endings):
        candidate, number = base, 1
        while any(os.path.lexists(os.path.join(folder, candidate + ending)) for ending in endings):
            number += 1
            candidate = "%s-%d" % (base, number)
        return candidate

    def _base_name(self, folder, name):
        """This run's own name: the report name, check for a check run, and
        the start time; never one an earlier report has."""
        base = "%s-%s%s" % (name, "check-" if self.check_mode else "", self.started.strftime("%Y%m%dT%H%M%SZ"))
        return self._free_name(folder, base, (".json", ".csv"))

    def _keep_unlinked_report(self, folder, link):
        """A report an earlier version wrote under a link's name is kept
        under its own time, never replaced."""
        path = os.path.join(folder, link)
        if not os.path.isfile(path) or os.path.islink(path):
            return
        stamp = datetime.datetime.fromtimestamp(os.path.getmtime(path), datetime.timezone.utc)
        root, ending = os.path.splitext(link)
        kept = self._free_name(folder, "%s-%s" % (root, stamp.strftime("%Y%m%dT%H%M%SZ")), (ending,))
        os.rename(path, os.path.join(folder, kept + ending))

    def _point_at(self, folder, link, target):
        """Points `link` at this run's file in one step."""
        path = os.path.join(folder, link)
        temporary = os.path.join(folder, ".%s.%d" % (link, os.getpid()))
        if os.path.lexists(temporary):
            os.unlink(temporary)
        os.symlink(target, temporary)
        os.replace(temporary, path)

    def v2_playbook_on_stats(self, stats):
        if not self.rollout_hosts and not self.hosts:
            return
        folder = self.get_option("report_dir")
        name = self.get_option("report_name")
        if not os.path.isdir(folder):
            os.makedirs(folder)
        link = name + ("-check" if self.check_mode else "")
        for ending in (".json", ".csv"):
            self._keep_unlinked_report(folder, link + ending)
        base = self._base_name(folder, name)
        json_path = os.path.join(folder, base + ".json")
        csv_path = os.path.join(folder, base + ".csv")
        resume_hosts = self._resume_hosts()
        resume_path = os.path.join(folder, base + "-resume.txt") if resume_hosts else None
        resume_words = ("run the playbook again with --limit @%s" % os.path.abspath(resume_path)
                        if resume_path else "")
        rows = self._rows(resume_words)
        summary = self._summary(rows)
        report = {
            "started": self.started.isoformat(),
            "finished": datetime.datetime.now(datetime.timezone.utc).isoformat(),
            "check_mode": self.check_mode,
            "summary": summary,
            "rows": rows,
            "hosts": self.hosts,
            "resume": {"hosts": resume_hosts, "limit_file": resume_path},
        }
        if resume_path:
            with open(resume_path, "w") as handle:
                handle.write("".join(host + "\n" for host in resume_hosts))
        with open(json_path, "w") as handle:
            json.dump(report, handle, indent=2, sort_keys=True)
            handle.write("\n")
        with open(csv_path, "w", newline="") as handle:
            writer = csv.DictWriter(handle, fieldnames=COLUMNS)
            writer.writeheader()
            for row in rows:
                writer.writerow(row)
        self._point_at(folder, link + ".json", os.path.basename(json_path))
        self._point_at(folder, link + ".csv", os.path.basename(csv_path))
        self._display_summary(summary, rows, (json_path, csv_path), resume_hosts, resume_words)

    def _display_summary(self, summary, rows, paths, resume_hosts, resume_words):
        self._display.banner("BACKPLANE FLEET REPORT")
        mode = " (check mode: nothing flashed)" if self.check_mode else ""
        host_words = ", ".join("%d %s" % (count, state) for state, count in sorted(summary["hosts"].items())
                               if state != "total" and count)
        self._display.display("hosts: %d%s%s" % (summary["hosts"]["total"], ": " + host_words if host_words else "",
                                                 mode))
        self._display.display("boards: " + ", ".join("%d %s" % (count, outcome) for outcome, count
                                                     in sorted(summary["outcomes"].items())))
        for row in rows:
            if row["outcome"] == "would flash":
                self._display.display("  %s %s %s: would flash %s -> %s" % (
                    row["host"], row["board"], row["ipmb_address"], row["before"], row["after"]))
            elif row["outcome"] not in SETTLED and row["outcome"] not in RESUMABLE:
                words = "  %s %s: %s %s" % (row["host"], row["board"] or "-", row["outcome"], row["message"])
                if row["next_step"] and row["outcome"] == "failed" and row["board"]:
                    words += "; " + row["next_step"]
                self._display.display(words.rstrip(), color="red")
            elif row["outcome"] == "unreachable":
                self._display.display("  %s -: unreachable %s" % (row["host"], row["message"]), color="red")
        if resume_hosts:
            self._display.display("%d hosts not reached, unreachable or stopped before the update: once the cause "
                                  "is fixed, %s" % (len(resume_hosts), resume_words), color="yellow")
        self._display.display("report: %s, %s" % paths)
