# SPDX-License-Identifier: GPL-3.0-or-later
# Copyright (c) 2026 The Velmoran Developers
"""What the backplane modules share: reading velmoran's XML documents, its
version table, its log and its recovery record; running it with a bounded
time; the private folder that holds a LAN run's FreeIPMI configuration and
password; and failure messages that lead with the cause."""

from __future__ import absolute_import, division, print_function
__metaclass__ = type

import os
import re
import shutil
import signal
import subprocess
import tempfile
import time
import xml.etree.ElementTree as ElementTree

# The exit statuses velmoran documents, in its own words.
EXIT_MEANINGS = {
    0: "success",
    1: "nothing flashed",
    2: "data file not found",
    5: "CRC failed",
    6: "data file not recognized",
    9: "a board has no image",
    10: "no board answered",
    11: "flash failed",
    14: "a board did not leave transfer mode",
    15: "data file version not supported",
    18: "state folder unusable or recovery record not written",
    23: "command line rejected",
    24: "platform not supported",
    27: "management library not loaded or IPMB channel not enabled",
    28: "data file not trusted",
}

# The boards velmoran knows, in its table order, by the names it prints.
BOARDS = (
    ("Primary Backplane", 0xC0),
    ("Secondary Backplane", 0xC2),
    ("Media Bay", 0xC4),
)

OUTCOME_FLASHED = "flashed"
OUTCOME_UP_TO_DATE = "up to date"
OUTCOME_DOWNGRADE_REFUSED = "downgrade refused"
OUTCOME_FAILED = "failed"
OUTCOME_NOT_UPDATED = "not updated"
OUTCOME_NO_IMAGE = "no image"
OUTCOME_WOULD_FLASH = "would flash"

LOG_TAIL_LINES = 20
# velmoran finishes the board in hand before it heeds SIGTERM.
TERM_GRACE_SECONDS = 180

_REVISION = re.compile(r"^(\d{1,3})\.([0-9a-f]{2})$")
_TABLE_ROW = re.compile(
    r"^    (?P<name>.+?) \.*\s+(?P<bb>BB)?\s*(?P<current>\d+\.[0-9a-f]{2})\s+"
    r"(?:(?P<image>\d+\.[0-9a-f]{2})|N/A)\s*$")
_BANNER = re.compile(r"Velmoran Version:\s+(\S+)")


class VelmoranOutputError(Exception):
    """The program printed something these parsers do not recognise."""


def exit_meaning(status):
    if status in EXIT_MEANINGS:
        return EXIT_MEANINGS[status]
    if status < 0:
        return "ended by signal %d" % -status
    return "failed"


# A backend's own cause, and the settings that decide it, by module option;
# the rollout role sets each from the inventory variable of the same name
# with "velmoran_" before it.
CAUSE_OPTIONS = (
    (re.compile(r"no BMC answered"), ("bmc_host", "bmc_port")),
    (re.compile(r"needs host|\"host\"|resolv|unknown host|host.*not found", re.IGNORECASE), ("bmc_host",)),
    (re.compile(r"password", re.IGNORECASE), ("bmc_password",)),
    (re.compile(r"user", re.IGNORECASE), ("bmc_user",)),
    (re.compile(r"privilege", re.IGNORECASE), ("privilege",)),
    (re.compile(r"refused the session|authenticat", re.IGNORECASE), ("bmc_user", "bmc_password")),
    (re.compile(r"cipher", re.IGNORECASE), ("cipher_suite",)),
    (re.compile(r"retransmission_timeout_ms|session_timeout_ms"),
     ("session_timeout_ms", "retransmission_timeout_ms")),
    (re.compile(r"system_id|system ID|platform .* not supported", re.IGNORECASE), ("system_id",)),
    (re.compile(r"workaround", re.IGNORECASE), ("workaround_flags",)),
    (re.compile(r"libqrx|cannot open shared object|in-band IPMI interface", re.IGNORECASE), ("library_path",)),
)
ROLE_VARIABLE_PREFIX = "velmoran_"
_BACKEND_LINE = re.compile(r"^[A-Za-z][\w.+-]*: \S")


def backend_cause(stderr, private_folder=None):
    """The first line a backend (not velmoran itself, whose lines start with
    blanks) wrote to standard error, with the run's private folder, gone
    once the run ends, named for what it held."""
    for raw in (stderr or "").replace("\r", "\n").splitlines():
        if not _BACKEND_LINE.match(raw):
            continue
        line = raw.strip()
        if private_folder:
            for name, words in (("freeipmi.conf", "the FreeIPMI configuration the module wrote"),
                                ("bmc.password", "the password file the module wrote from bmc_password")):
                path = re.escape(os.path.join(private_folder, name))
                line = re.sub(path + r":(\d+):", lambda match: "line %s of %s:" % (match.group(1), words), line)
                line = re.sub(path, words, line)
            line = line.replace(private_folder, "the run's private folder")
        return line
    return None


def options_to_fix(cause, params=None):
    """The options behind a cause; a LAN setting left empty comes first,
    since the backend's word for it names all it needs at once."""
    if params and params.get("backend") == "lan":
        empty = tuple(option for option in ("bmc_host", "bmc_user", "bmc_password")
                      if not (params.get(option) or "").strip())
        if empty:
            return empty
    for pattern, options in CAUSE_OPTIONS:
        if pattern.search(cause):
            return options
    return ()


def failure_message(status, stderr, private_folder=None, params=None):
    """The task's message for a failed run: the backend's own cause first,
    with the inventory variables that set it, then velmoran's status and its
    meaning; without such a cause, the status and what was said last."""
    text = "velmoran ended with status %d: %s" % (status, exit_meaning(status))
    cause = backend_cause(stderr, private_folder)
    if cause is not None:
        options = options_to_fix(cause, params)
        if options:
            cause += "; check %s" % " and ".join(
                "%s%s (option %s)" % (ROLE_VARIABLE_PREFIX, option, option) for option in options)
        return "%s (%s)" % (cause, text)
    said = [line.strip() for line in (stderr or "").replace("\r", "\n").splitlines() if line.strip()]
    return text + (" (%s)" % said[-1] if said else "")


def board_address(name):
    for known, address in BOARDS:
        if known == name:
            return "0x%02X" % address
    return None


def revision_key(text):
    """(major, minor) of a revision as velmoran prints it ("1.05", "2.1a")."""
    match = _REVISION.match(text or "")
    if not match:
        raise VelmoranOutputError("not a revision: %r" % (text,))
    return int(match.group(1)), int(match.group(2), 16)


def _root(xml_text, expected):
    try:
        root = ElementTree.fromstring(xml_text.strip())
    except ElementTree.ParseError as error:
        raise VelmoranOutputError("no %s document: %s" % (expected, error))
    if root.tag != expected:
        raise VelmoranOutputError("expected %s, found %s" % (expected, root.tag))
    return root


def _status_of(element):
    status = element.find("SPStatus")
    if status is None:
        return None
    message = status.find("Message")
    if message is None:
        raise VelmoranOutputError("SPStatus without a Message")
    return {"id": int(message.get("id")), "text": message.text or "",
            "result": status.get("result") == "true"}


def parse_inventory(xml_text):
    """The inventory document: {"boards": [{name, revision}], "status": None}
    or, for its failure forms, no boards and the status (None for the empty
    form, which carries no message)."""
    root = _root(xml_text, "SVMInventory")
    boards = []
    for device in root.findall("Device"):
        application = device.find("Application")
        if application is None:
            raise VelmoranOutputError("Device without an Application")
        boards.append({"name": application.get("display"), "revision": application.get("version")})
    return {"boards": boards, "status": _status_of(root)}


def parse_result(xml_text):
    """The execution-result document: per board its name, the revision it ran
    before, the image's revision and the message; or the failure status."""
    root = _root(xml_text, "SVMExecution")
    boards = []
    for device in root.findall("Device"):
        application = device.find("Application")
        package = application.find("Package") if application is not None else None
        status = _status_of(application) if application is not None else None
        if package is None or status is None:
            raise VelmoranOutputError("Device without Package and SPStatus")
        boards.append({"name": application.get("display"), "before": application.get("version"),
                       "image": package.get("version"), "message_id": status["id"],
                       "message": status["text"]})
    return {"boards": boards, "status": _status_of(root),
            "reboot_required": root.find("RebootRequired") is not None}


def parse_version_table(text):
    """The version table ("Firmware Versions ... Current Image") as it reaches
    the console or the log: one entry per listed board."""
    boards = []
    in_table = False
    for raw in text.splitlines():
        line = raw.replace("\r", "")
        if line.strip().startswith("Firmware Versions"):
            in_table = True
            boards = []
            continue
        if not in_table:
            continue
        match = _TABLE_ROW.match(line)
        if match is None:
            if boards or line.strip():
                in_table = False
            continue
        boards.append({"name": match.group("name"), "current": match.group("current"),
                       "boot_block": match.group("bb") is not None, "image": match.group("image")})
    return boards


def program_version(text):
    match = _BANNER.search(text or "")
    return match.group(1) if match else None


def decide(board, force=False, allow_downgrade=False):
    """What velmoran's non-interactive policy does with a board of the version
    table: the outcome it would have without a failure."""
    if board.get("image") is None:
        return OUTCOME_NO_IMAGE
    if force or board.get("boot_block"):
        return OUTCOME_FLASHED
    current, image = revision_key(board["current"]), revision_key(board["image"])
    if current == image:
        return OUTCOME_UP_TO_DATE
    if current > image and not allow_downgrade:
        return OUTCOME_DOWNGRADE_REFUSED
    return OUTCOME_FLASHED


MESSAGE_CHECKED_BEFORE_END = "Flashed and checked before velmoran ended."
MESSAGE_LEFT_MID_TRANSFER = "Left mid-transfer when velmoran ended."
MESSAGE_NOT_FINISHED = "Flash begun, not finished, when velmoran ended."


def board_outcomes(status, table, result, force=False, allow_downgrade=False, progress=None, in_transfer=None):
    """Per board of a flash run: name, address, before, image, after, outcome,
    message. Built from the result document where it lists boards and from
    the version table of the log where it does not (a run that flashed
    nothing prints its failure form, not the boards). A run ended before it
    printed its result is read from its log (`progress`, from
    flash_progress) and from the board its recovery record names as in
    transfer (`in_transfer`)."""
    listed = {}
    if result is not None:
        for board in result["boards"]:
            listed[board["name"]] = board
    progress = progress or {}
    outcomes = []
    for row in table:
        name = row["name"]
        before = ("BB" if row["boot_block"] else "") + row["current"]
        entry = {"name": name, "ipmb_address": board_address(name), "before": before,
                 "image": row["image"], "after": before, "outcome": None, "message": None}
        planned = decide(row, force, allow_downgrade)
        document = listed.get(name)
        if document is not None:
            entry["message"] = document["message"]
            if document["message_id"] == 0:
                entry["outcome"] = OUTCOME_FLASHED
                # velmoran checks the new revision itself before it says so.
                entry["after"] = row["image"]
            elif document["message_id"] == 1:
                entry["outcome"] = OUTCOME_FAILED
                entry["after"] = None
            elif planned == OUTCOME_FLASHED:
                entry["outcome"] = OUTCOME_NOT_UPDATED
            else:
                entry["outcome"] = planned
        elif result is None and name == in_transfer:
            entry.update(outcome=OUTCOME_FAILED, after=None, message=MESSAGE_LEFT_MID_TRANSFER)
        elif result is None and progress.get(name) == PROGRESS_CHECKED:
            entry.update(outcome=OUTCOME_FLASHED, after=row["image"], message=MESSAGE_CHECKED_BEFORE_END)
        elif result is None and name in progress:
            entry.update(outcome=OUTCOME_FAILED, after=None, message=MESSAGE_NOT_FINISHED)
        elif row["image"] is None:
            entry["outcome"] = OUTCOME_NO_IMAGE
        elif planned != OUTCOME_FLASHED and (status == 1 or result is None and progress):
            # Left alone by the policy, as velmoran decided before it flashed.
            entry["outcome"] = planned
            entry["message"] = "Not Updated"
        else:
            entry["outcome"] = OUTCOME_NOT_UPDATED
        outcomes.append(entry)
    return outcomes


def log_tail(path, lines=LOG_TAIL_LINES):
    try:
        with open(path, "rb") as handle:
            text = handle.read().decode("latin-1")
    except (IOError, OSError):
        return []
    kept = [line.replace("\r", "").rstrip() for line in text.replace("\r   ", "\n   ").splitlines()]
    kept = [line for line in kept if line.strip()]
    return kept[-lines:]


def read_text(path):
    try:
        with open(path, "rb") as handle:
            return handle.read().decode("latin-1")
    except (IOError, OSError):
        return ""


# The run's console messages as its log keeps them, board by board.
_PROCESSING = re.compile(r"^\s*Processing (?P<name>.+?)\s*$")
_BOARD_CHECKED = "Checking Revision completed"
_BOARD_FAILED = ("Flash Failed", "Revision Check Failed")
PROGRESS_CHECKED = "checked"
PROGRESS_FAILED = "failed"
PROGRESS_STARTED = "started"


def flash_progress(log_text):
    """Per board velmoran began to flash, how far its log got: checked (the
    new revision was read back), failed, or only started."""
    progress = {}
    board = None
    for raw in (log_text or "").replace("\r", "\n").splitlines():
        match = _PROCESSING.match(raw)
        if match:
            board = match.group("name")
            progress[board] = PROGRESS_STARTED
        elif board is not None and raw.strip() == _BOARD_CHECKED:
            progress[board] = PROGRESS_CHECKED
        elif board is not None and raw.strip() in _BOARD_FAILED:
            progress[board] = PROGRESS_FAILED
    return progress


RECOVERY_FOLDER_DEFAULT = "/var/lib/velmoran"
RECOVERY_RECORD_NAME = "recovery"
_RECORD_HEADER = "velmoran-recovery 1"
_RECORD_BOARD = re.compile(r"^0x(?P<address>[0-9A-F]{2}) (?P<name>.+)$")


def recovery_path(state_dir):
    return os.path.join(state_dir or RECOVERY_FOLDER_DEFAULT, RECOVERY_RECORD_NAME)


def parse_recovery_record(text):
    """velmoran's recovery record ("key value" lines after its header) as a
    dict, with the board in transfer as board_address/board_name (None when
    there is none); None for anything else."""
    lines = (text or "").split("\n")
    if not lines or lines[0] != _RECORD_HEADER:
        return None
    fields = {}
    for line in lines[1:]:
        if not line:
            continue
        key, _, value = line.partition(" ")
        fields[key] = value
    if not all(key in fields for key in ("pid", "start", "boot", "panel", "users", "board")):
        return None
    if not (fields["pid"].isdigit() and fields["start"].isdigit()):
        return None
    record = {"pid": int(fields["pid"]), "start": int(fields["start"]), "boot": fields["boot"],
              "panel": fields["panel"], "users": fields["users"], "board_address": None, "board_name": None}
    if fields["board"] != "none":
        match = _RECORD_BOARD.match(fields["board"])
        if match is None:
            return None
        record["board_address"] = "0x" + match.group("address")
        record["board_name"] = match.group("name")
    return record


def _process_start(path):
    """A process's start in clock ticks after boot, from its stat file."""
    text = read_text(path)
    fields = text[text.rfind(")") + 2:].split() if ")" in text else []
    # The start time is field 22 of the file, the 20th after the name.
    return int(fields[19]) if len(fields) > 19 and fields[19].isdigit() else None


def record_left_by_this_run(state_dir):
    """The recovery record a velmoran started by this module left behind, or
    None. A record from an earlier run, or another boot, is not this run's:
    its process started before this one did."""
    record = parse_recovery_record(read_text(recovery_path(state_dir)))
    if record is None:
        return None
    boot = read_text("/proc/sys/kernel/random/boot_id").strip()
    since = _process_start("/proc/self/stat")
    if boot and record["boot"] not in (boot, "unknown"):
        return None
    if since is not None and record["start"] < since:
        return None
    return record


def run_program(argv, cwd, environment, timeout):
    """Runs argv to its end or for at most `timeout` seconds, then ends it the
    way a task timeout does: SIGTERM, and SIGKILL only if that is ignored.
    Returns (status, stdout, stderr, timed_out, seconds)."""
    started = time.monotonic()
    process = subprocess.Popen(argv, cwd=cwd, env=environment, stdin=subprocess.DEVNULL,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)

    # A module ended from outside (its task's timeout, a lost session) passes
    # the signal on and waits, so velmoran is never left running alone.
    def forward(number, frame):
        if process.poll() is None:
            process.send_signal(number)
    previous = dict((number, signal.signal(number, forward)) for number in (signal.SIGTERM, signal.SIGHUP))
    timed_out = False
    try:
        try:
            stdout, stderr = process.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            timed_out = True
            process.send_signal(signal.SIGTERM)
            try:
                stdout, stderr = process.communicate(timeout=TERM_GRACE_SECONDS)
            except subprocess.TimeoutExpired:
                process.kill()
                stdout, stderr = process.communicate()
    finally:
        for number, handler in previous.items():
            signal.signal(number, handler)
    return (process.returncode, stdout.decode("latin-1"), stderr.decode("latin-1"),
            timed_out, round(time.monotonic() - started, 3))


class PrivateFolder(object):
    """A folder only this run's user can enter, removed with everything in it
    when the run ends, whichever way it ends."""

    def __init__(self):
        self.path = None

    def __enter__(self):
        self.path = tempfile.mkdtemp(prefix="velmoran-")
        os.chmod(self.path, 0o700)
        return self

    def __exit__(self, *exc):
        if self.path is not None:
            shutil.rmtree(self.path, ignore_errors=True)
            self.path = None
        return False

    def write(self, name, text, mode=0o600):
        path = os.path.join(self.path, name)
        descriptor = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, mode)
        with os.fdopen(descriptor, "w") as handle:
            handle.write(text)
        return path


def freeipmi_config(folder, params):
    """Writes the LAN backend's configuration and its password file into the
    private folder; returns the configuration's path."""
    password_file = folder.write("bmc.password", params["bmc_password"] + "\n")
    lines = [
        "interface = lan",
        "host = %s" % params["bmc_host"],
        "port = %d" % params["bmc_port"],
        "user = %s" % params["bmc_user"],
        "password_file = %s" % password_file,
        "cipher_suite = %d" % params["cipher_suite"],
        "privilege = %s" % params["privilege"],
    ]
    if params.get("workaround_flags"):
        lines.append("workaround_flags = %s" % ",".join(params["workaround_flags"]))
    if params.get("session_timeout_ms"):
        lines.append("session_timeout_ms = %d" % params["session_timeout_ms"])
    if params.get("retransmission_timeout_ms"):
        lines.append("retransmission_timeout_ms = %d" % params["retransmission_timeout_ms"])
    if params.get("system_id"):
        lines.append("system_id = %s" % params["system_id"])
    return folder.write("freeipmi.conf", "\n".join(lines) + "\n")


def state_dir_for(params):
    """Where a run keeps its record: as asked, or one folder per BMC on the
    LAN so parallel runs from one controller never share one."""
    if params.get("state_dir"):
        return params["state_dir"]
    if params["backend"] == "lan":
        return os.path.join("/var/lib/velmoran/bmc", "%s_%d" % (params["bmc_host"], params["bmc_port"]))
    return None


def program_state_dir(params):
    """The state folder velmoran is given; None for its own default."""
    given = (params.get("program_environment") or {}).get("VELMORAN_STATE_DIR")
    return str(given) if given else state_dir_for(params)


def program_environment(params, folder):
    """The program's environment: the module's own, the backend's library
    folder and configuration, the state folder and what the task adds."""
    environment = dict(os.environ)
    if params.get("library_path"):
        environment["LD_LIBRARY_PATH"] = params["library_path"]
    if params["backend"] == "lan":
        environment["VELMORAN_FREEIPMI_CONFIG"] = freeipmi_config(folder, params)
    state_dir = state_dir_for(params)
    if state_dir:
        if not os.path.isdir(state_dir):
            os.makedirs(state_dir, 0o700)
        environment["VELMORAN_STATE_DIR"] = state_dir
    for key, value in (params.get("program_environment") or {}).items():
        environment[str(key)] = str(value)
    return environment


def common_argument_spec():
    return dict(
        program=dict(type="path", default="velmoran"),
        chdir=dict(type="path"),
        timeout=dict(type="int", default=1800),
        backend=dict(type="str", default="inband", choices=["inband", "lan"]),
        library_path=dict(type="str"),
        state_dir=dict(type="path"),
        program_environment=dict(type="dict", default={}),
        bmc_host=dict(type="str"),
        bmc_port=dict(type="int", default=623),
        bmc_user=dict(type="str"),
        bmc_password=dict(type="str", no_log=True),
        cipher_suite=dict(type="int", default=3),
        privilege=dict(type="str", default="admin", choices=["user", "operator", "admin"]),
        workaround_flags=dict(type="list", elements="str", default=[]),
        session_timeout_ms=dict(type="int"),
        retransmission_timeout_ms=dict(type="int"),
        system_id=dict(type="str"),
    )


COMMON_REQUIRED_IF = [("backend", "lan", ("bmc_host", "bmc_user", "bmc_password"))]


def base_argv(params):
    argv = [params["program"]]
    if params.get("system_id") and params["backend"] == "inband":
        argv.append("-sysid=%s" % params["system_id"])
    return argv


def working_folder(params, folder, data_file=None):
    """In-band, velmoran runs where the driver's install script is (chdir, or
    the data file's folder); on the LAN, in the run's private folder."""
    if params.get("chdir"):
        return params["chdir"]
    if params["backend"] == "inband" and data_file:
        return os.path.dirname(os.path.abspath(data_file))
    return folder.path


def finish(module, result):
    """Ends the module with the result: failed when the run failed."""
    if result.get("failed"):
        module.fail_json(**result)
    module.exit_json(**result)


def failed_board_next_step(log_file, marker):
    """What the operator does about a board whose flash failed, as the module's
    message and the fleet report's next step both say it."""
    words = "look at the board"
    if log_file:
        words += " and the log %s" % log_file
    if marker:
        words += ", then remove %s to allow updates again" % marker
    return words
