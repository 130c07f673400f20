#!/usr/bin/python
# SPDX-License-Identifier: GPL-3.0-or-later
# Copyright (c) 2026 The Velmoran Developers

from __future__ import absolute_import, division, print_function
__metaclass__ = type

DOCUMENTATION = r'''
---
module: backplane_update
short_description: Update a server's backplane-board firmware from a data file
version_added: 1.0.0
description:
  - Runs velmoran without questions (C(-fml), which neither asks nor
    downgrades) with a log file, and returns per board what happened.
  - I(allow_downgrade) adds C(-d), I(force) adds C(-force).
  - The task changes something exactly when at least one board was flashed. It
    fails when velmoran's exit status says the run failed (any status but 0
    and 1); status 1, nothing flashed, is success without change.
  - In check mode it runs C(velmoran -revision) instead, which reads the boards'
    revisions and the data file's image revisions, and reports which boards
    the policy would flash. Nothing is flashed.
  - The module never repeats a run. A board whose flash failed is reported as
    failed and left for someone to look at.
  - A run ended by a signal before it printed its result (killed, or still
    running when its time was up and the grace time too) is read from its log
    and from the recovery record velmoran left in its state folder. A board
    whose new revision was checked is C(flashed); the board the record names
    as in transfer, or one the log shows begun and not finished, is C(failed)
    and leaves the failure marker.
  - A failed run's message leads with what the backend said (a refused
    password, a BMC that does not answer, a setting left empty) and names the
    option to fix, and the role's inventory variable of the same name with
    C(velmoran_) before it.
  - The message says which boards were (in check mode, would be) flashed
    from which revision to which; with C(--diff) the task also returns the
    change as a diff, a before and an after per board.
author:
  - The Velmoran Developers
extends_documentation_fragment:
  - velmoran.backplane.run
options:
  data_file:
    description: The data file, a path on the host that runs velmoran.
    type: path
    required: true
  data_sha256:
    description:
      - The data file's expected SHA-256, in hexadecimal. When given, the
        module reads the file's SHA-256 right before velmoran would read the
        file, and fails without running velmoran when they differ.
    type: str
  catalog_sha256:
    description:
      - The expected SHA-256 of the data file's signature catalog, the file
        named as I(data_file) with C(.jcat) added. When given, the catalog
        must be there and match, or the module fails without running
        velmoran.
    type: str
  private_copy:
    description:
      - Copy the data file into the run's private temporary folder and let
        velmoran read that copy, which is removed with the folder. Parallel
        runs from one controller then each read a file of their own.
      - The signature catalog beside the data file, when there is one, is
        copied with it, so that velmoran still verifies it.
      - I(data_sha256) and I(catalog_sha256) are checked on the copies.
    type: bool
    default: false
  allow_downgrade:
    description: Flash images older than the board's firmware too (C(-d)).
    type: bool
    default: false
  force:
    description: Flash every board that has an image, whatever its revision (C(-force)).
    type: bool
    default: false
  failure_marker:
    description:
      - A file that marks a failed flash. When a board's flash failed (status
        11 or 14 with a board reported failed) the module writes it, with what
        failed; while
        it exists the module refuses to run velmoran for this server, so a
        board whose flash failed is looked at before anything flashes it again.
        Remove the file to let updates resume.
      - Check mode reads it too, and never writes it.
    type: path
  log_file:
    description:
      - Keep velmoran's log here; its folder is made when missing. Without it,
        and in check mode, the log is written into the run's private folder
        and only its tail is returned on failure.
    type: path
attributes:
  check_mode:
    description: Reports which boards would be flashed and flashes none.
    support: full
  diff_mode:
    description: Returns per board the revision before and after (in check mode, the one it would have).
    support: full
notes:
  - I(after) is the image's revision for a flashed board (velmoran checks the
    board's new revision before it reports the board as updated), the
    revision before for a board left alone, and unknown after a failed flash.
'''

EXAMPLES = r'''
- name: Update this server's boards
  velmoran.backplane.backplane_update:
    data_file: /var/lib/velmoran/fw/bp-1.06.dat
    chdir: /opt/tessel
  become: true
  register: update

- name: Update a server's boards over its BMC, from a controller
  velmoran.backplane.backplane_update:
    data_file: /srv/fw/bp-1.06.dat
    backend: lan
    bmc_host: "{{ bmc_address }}"
    bmc_user: fwadmin
    bmc_password: "{{ bmc_password }}"
    system_id: 16D
    library_path: /usr/lib/x86_64-linux-gnu/velmoran/freeipmi
    timeout: 900
  delegate_to: fwcontrol1

- name: Go back to an older release
  velmoran.backplane.backplane_update:
    data_file: /var/lib/velmoran/fw/bp-1.04.dat
    allow_downgrade: true
  become: true
'''

RETURN = r'''
boards:
  description: Every board of velmoran's version table, in its order.
  returned: when velmoran ran
  type: list
  elements: dict
  contains:
    name:
      description: The board's name.
      type: str
      sample: Primary Backplane
    ipmb_address:
      description: The board's IPMB address.
      type: str
      sample: "0xC0"
    before:
      description: The revision the board ran before the run, with a C(BB) prefix while in its boot block.
      type: str
      sample: "1.05"
    image:
      description: The revision of the board's image in the data file; null when the file has none for it.
      type: str
      sample: "1.06"
    after:
      description: The revision the board runs after the run; null after a failed flash.
      type: str
      sample: "1.06"
    outcome:
      description:
        - C(flashed), C(up to date), C(downgrade refused), C(failed), C(no image),
          or C(not updated) for a board an earlier failure kept from its turn.
        - In check mode C(would flash) for a board the policy would flash.
      type: str
      sample: flashed
    message:
      description: The board's message in velmoran's result document.
      type: str
      sample: Update Successful.
status:
  description: velmoran's exit status (in check mode, that of the revision run).
  returned: when velmoran ran
  type: int
  sample: 0
status_meaning:
  description: What the exit status means.
  returned: when velmoran ran
  type: str
  sample: success
message:
  description: The failure message of the result document, when it has one.
  returned: when the result document is its failure form
  type: str
  sample: Flash Failed
reboot_required:
  description: Whether velmoran's result document asks for a reboot element.
  returned: when velmoran ran
  type: bool
duration:
  description: Seconds velmoran ran.
  returned: when velmoran ran
  type: float
  sample: 64.2
version:
  description: velmoran's version, from its log.
  returned: when velmoran ran
  type: str
  sample: "1.09"
log_tail:
  description: The last lines of velmoran's log.
  returned: when the run failed
  type: list
  elements: str
stderr:
  description: What velmoran (or its backend) wrote to standard error.
  returned: when velmoran ran
  type: str
marker:
  description: The failure marker written after a failed flash, or the one that stopped this run.
  returned: when a failure marker was written or found
  type: str
log_file:
  description: Where velmoran's log of this run is kept (I(log_file)).
  returned: when I(log_file) is given, outside check mode
  type: str
  sample: /var/lib/velmoran/rollout/velmoran.log
recovery_record:
  description:
    - The recovery record a run ended by a signal left behind; velmoran's next
      run on this server puts back what it names (front panel, driver
      service users) before anything else.
  returned: when a run ended by a signal left one
  type: str
  sample: /var/lib/velmoran/recovery
diff:
  description: Per board whose revision changes (or would), its revision before and after.
  returned: with C(--diff)
  type: list
  elements: dict
  sample: [{"before_header": "Primary Backplane (0xC0)", "after_header": "Primary Backplane (0xC0)",
            "before": "1.05\n", "after": "1.06\n"}]
sha256:
  description: The data file's SHA-256 when it is not the expected one.
  returned: when the data file's SHA-256 differs from I(data_sha256)
  type: str
'''

import hashlib
import os
import shutil

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.velmoran.backplane.plugins.module_utils import velmoran


def policy_arguments(params):
    words = []
    if params["allow_downgrade"]:
        words.append("-d")
    if params["force"]:
        words.append("-force")
    return words


def file_sha256(path):
    digest = hashlib.sha256()
    with open(path, "rb") as handle:
        for block in iter(lambda: handle.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


CATALOG_SUFFIX = ".jcat"


def staged(params, folder):
    """The file velmoran reads: the data file, or its private copy with the
    catalog beside it; checked against the expected SHA-256s when given.
    Returns (path, failure)."""
    data_file = os.path.abspath(params["data_file"])
    try:
        if params["private_copy"]:
            copy = os.path.join(folder.path, os.path.basename(data_file))
            shutil.copyfile(data_file, copy)
            # Without its catalog the copy would go unverified.
            if os.path.lexists(data_file + CATALOG_SUFFIX):
                shutil.copyfile(data_file + CATALOG_SUFFIX, copy + CATALOG_SUFFIX)
            data_file = copy
        expected = ((data_file, params["data_file"], params["data_sha256"]),
                    (data_file + CATALOG_SUFFIX, params["data_file"] + CATALOG_SUFFIX, params["catalog_sha256"]))
        for path, named, sha256 in expected:
            if not sha256:
                continue
            found = file_sha256(path)
            if found != sha256.strip().lower():
                return data_file, dict(sha256=found, msg="SHA-256 of %s is %s, expected %s" % (named, found, sha256))
    except (IOError, OSError) as error:
        return data_file, dict(msg="cannot read the data file: %s" % error)
    return data_file, None


def marked_failure(params):
    marker = params["failure_marker"]
    if marker and os.path.lexists(marker):
        said = velmoran.read_text(marker).strip().splitlines()
        return dict(failed=True, changed=False, marker=marker,
                    msg="a flash failed here before (%s); look at the board, then remove %s to allow updates again"
                    % (said[0] if said else "no details", marker))
    return None


def mark_failure(params, result):
    boards = ", ".join(board["name"] for board in result["boards"] if board["outcome"] == velmoran.OUTCOME_FAILED)
    text = "status %d (%s): %s\n" % (result["status"], result["status_meaning"], boards or "no board named")
    folder = os.path.dirname(os.path.abspath(params["failure_marker"]))
    if not os.path.isdir(folder):
        os.makedirs(folder, 0o700)
    with open(params["failure_marker"], "w") as handle:
        handle.write(text)
    result["marker"] = params["failure_marker"]


def run(module):
    params = module.params
    refused = marked_failure(params)
    if refused is not None:
        return refused
    with velmoran.PrivateFolder() as folder:
        data_file, failure = staged(params, folder)
        if failure is not None:
            return dict(failed=True, changed=False, **failure)
        # A check never overwrites the log of the last real run.
        if params["log_file"] and not module.check_mode:
            log = params["log_file"]
        else:
            log = os.path.join(folder.path, "velmoran.log")
        if module.check_mode:
            argv = velmoran.base_argv(params) + ["-revision"]
        else:
            argv = velmoran.base_argv(params) + ["-quiet", "-fml"] + policy_arguments(params)
        argv += ["-input=%s" % data_file, "-log=%s" % log]
        try:
            if not os.path.isdir(os.path.dirname(os.path.abspath(log))):
                os.makedirs(os.path.dirname(os.path.abspath(log)), 0o700)
            environment = velmoran.program_environment(params, folder)
        except OSError as error:
            return dict(failed=True, changed=False, msg="cannot prepare the run: %s" % error)
        try:
            status, stdout, stderr, timed_out, seconds = velmoran.run_program(
                argv, velmoran.working_folder(params, folder, params["data_file"]), environment, params["timeout"])
        except OSError as error:
            return dict(failed=True, changed=False, msg="cannot run %s: %s" % (params["program"], error))
        log_text = velmoran.read_text(log)
        tail = velmoran.log_tail(log)
        data_present = os.path.isfile(data_file)
        private = folder.path

    ran = dict(status=status, stdout=stdout, stderr=stderr, timed_out=timed_out, seconds=seconds,
               log_text=log_text, tail=tail, private=private,
               log=log if params["log_file"] and not module.check_mode else None)
    if module.check_mode:
        return check_result(module, ran, data_file, data_present)
    return update_result(module, ran)


def board_words(board):
    return "%s (%s)" % (board["name"], board["ipmb_address"] or "?")


def change_words(board):
    return "%s %s -> %s" % (board_words(board), board["before"], board["after"] or "unknown")


def boards_message(boards, changing_outcome):
    """The task's message: the boards that change (or would), from which
    revision to which, then the others by outcome."""
    changing = [change_words(board) for board in boards if board["outcome"] == changing_outcome]
    others = {}
    for board in boards:
        if board["outcome"] != changing_outcome:
            others.setdefault(board["outcome"], []).append(board["name"])
    parts = ["%s %s" % (changing_outcome, ", ".join(changing))] if changing else []
    parts += ["%s: %s" % (outcome, ", ".join(names)) for outcome, names in others.items()]
    return "; ".join(parts) if parts else "no board listed"


def board_diff(boards):
    """Ansible's diff, one entry per board whose revision changes (or would)."""
    return [dict(before_header=board_words(board), after_header=board_words(board),
                 before="%s\n" % board["before"], after="%s\n" % (board["after"] or "unknown"))
            for board in boards if board["after"] != board["before"]]


def started_result(ran):
    return dict(changed=False, status=ran["status"], status_meaning=velmoran.exit_meaning(ran["status"]),
                duration=ran["seconds"], version=velmoran.program_version(ran["log_text"]), stderr=ran["stderr"],
                reboot_required=False, boards=[])


def failed_run_message(module, ran):
    return velmoran.failure_message(ran["status"], ran["stderr"], ran["private"], module.params)


def check_result(module, ran, data_file, data_present):
    params = module.params
    result = started_result(ran)
    if ran["timed_out"]:
        result.update(failed=True, log_tail=ran["tail"],
                      msg="velmoran did not end within %d s and was stopped" % params["timeout"])
        return result
    for row in velmoran.parse_version_table(ran["log_text"]):
        outcome = velmoran.decide(row, params["force"], params["allow_downgrade"])
        if outcome == velmoran.OUTCOME_FLASHED:
            outcome = velmoran.OUTCOME_WOULD_FLASH
        before = ("BB" if row["boot_block"] else "") + row["current"]
        result["boards"].append(dict(
            name=row["name"], ipmb_address=velmoran.board_address(row["name"]), before=before,
            image=row["image"], after=row["image"] if outcome == velmoran.OUTCOME_WOULD_FLASH else before,
            outcome=outcome, message=None))
    result["changed"] = any(board["outcome"] == velmoran.OUTCOME_WOULD_FLASH for board in result["boards"])
    result["msg"] = boards_message(result["boards"], velmoran.OUTCOME_WOULD_FLASH)
    if module._diff:
        result["diff"] = board_diff(result["boards"])
    if ran["status"] != 0:
        result.update(failed=True, log_tail=ran["tail"], msg=failed_run_message(module, ran))
    elif not data_present:
        result.update(failed=True, msg="data file not found: %s" % data_file)
    return result


def ended_mid_run_message(ran, record, boards):
    """What a run ended by a signal before its result left behind."""
    text = "velmoran was %s before it printed its result" % velmoran.exit_meaning(ran["status"])
    failed = [board_words(board) for board in boards if board["outcome"] == velmoran.OUTCOME_FAILED]
    flashed = [board_words(board) for board in boards if board["outcome"] == velmoran.OUTCOME_FLASHED]
    if flashed:
        text += "; flashed and checked: %s" % ", ".join(flashed)
    if failed:
        text += "; left mid-transfer: %s" % ", ".join(failed)
    if record is not None:
        text += ("; velmoran's next run on this server puts back what its recovery record %s names"
                 " (front panel, driver service users)" % record)
    return text


def update_result(module, ran):
    params = module.params
    status, timed_out = ran["status"], ran["timed_out"]
    result = started_result(ran)
    if ran["log"]:
        result["log_file"] = ran["log"]
    table = velmoran.parse_version_table(ran["log_text"])
    # A stopped run still prints its result: the boards it finished and
    # those it did not reach. A killed one prints none: its log and its
    # recovery record say how far it got.
    document = None
    try:
        document = velmoran.parse_result(ran["stdout"])
    except velmoran.VelmoranOutputError as error:
        if status in (0, 1) and not timed_out:
            result.update(failed=True, log_tail=ran["tail"], msg="velmoran printed no result (%s)" % error)
            return result
    record = None
    in_transfer = None
    if document is not None:
        result["reboot_required"] = document["reboot_required"]
        if document["status"] is not None:
            result["message"] = document["status"]["text"]
    elif status < 0:
        state_dir = velmoran.program_state_dir(params)
        left = velmoran.record_left_by_this_run(state_dir)
        if left is not None:
            record = velmoran.recovery_path(state_dir)
            result["recovery_record"] = record
            in_transfer = left["board_name"]
    progress = velmoran.flash_progress(ran["log_text"]) if document is None else None
    result["boards"] = velmoran.board_outcomes(status, table, document, params["force"],
                                               params["allow_downgrade"], progress, in_transfer)
    result["changed"] = any(board["outcome"] == velmoran.OUTCOME_FLASHED for board in result["boards"])
    result["msg"] = boards_message(result["boards"], velmoran.OUTCOME_FLASHED)
    if module._diff:
        result["diff"] = board_diff(result["boards"])
    if status not in (0, 1):
        result.update(failed=True, log_tail=ran["tail"], msg=failed_run_message(module, ran))
    if document is None and status < 0:
        result["msg"] = ended_mid_run_message(ran, record, result["boards"])
    if timed_out:
        result.update(failed=True, log_tail=ran["tail"],
                      msg="velmoran did not end within %d s and was stopped" % params["timeout"])
        if document is None and status < 0:
            result["msg"] += "; " + ended_mid_run_message(ran, record, result["boards"])
    failed_boards = any(board["outcome"] == velmoran.OUTCOME_FAILED for board in result["boards"])
    if failed_boards and params["failure_marker"]:
        try:
            mark_failure(params, result)
        except (IOError, OSError) as error:
            result["msg"] += "; the failure marker could not be written: %s" % error
    if failed_boards:
        result["msg"] += "; " + velmoran.failed_board_next_step(result.get("log_file"), result.get("marker"))
    return result


def main():
    argument_spec = velmoran.common_argument_spec()
    argument_spec.update(
        data_file=dict(type="path", required=True),
        data_sha256=dict(type="str"),
        catalog_sha256=dict(type="str"),
        private_copy=dict(type="bool", default=False),
        failure_marker=dict(type="path"),
        allow_downgrade=dict(type="bool", default=False),
        force=dict(type="bool", default=False),
        log_file=dict(type="path"),
    )
    module = AnsibleModule(argument_spec=argument_spec, required_if=velmoran.COMMON_REQUIRED_IF,
                           supports_check_mode=True)
    velmoran.finish(module, run(module))


if __name__ == "__main__":
    main()
