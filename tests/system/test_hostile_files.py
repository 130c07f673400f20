# SPDX-License-Identifier: GPL-3.0-or-later
"""Runs as root among files an unprivileged user could prepare: links, FIFOs,
scripts and oversized files planted by `nobody` in a sticky world-writable
folder or in a folder of its own, and command-line words meant for the
terminal. The run must not be fooled: exact console text and exit status,
and every victim file left as it was."""

import os
import pathlib
import shutil
import stat
import subprocess
import tempfile
import time

import pytest

import simplatform
from conftest import SOURCE_DIR, VELMORAN, run_binary
from flashing import CLEAR, CONTINUE, LOADED, Package, board, flash_platform, flashed_board, options, searching, \
    table, table_line
from simplatform import INSTALL_SCRIPT, PRIMARY, SimPlatform, banner

NOBODY = 65534
VICTIM_TEXT = b"root's file, which no run may touch\n"
SERVICE_SCRIPT_SOURCE = SOURCE_DIR / "sim" / "scripts" / "qrxsim-service"
CHECKSTATUS = "tesselinstall.sh checkstatus"
STOPUSERS = "pelord stopusers"
STARTUSERS = "pelord startusers"
LOADING_FAILED = "\r   Loading file failed \n"
PWNED = "pwned.txt"
PLANTED_SCRIPT = "printf '#!/bin/sh\\nid > pwned.txt\\n' > tesselinstall.sh && chmod 755 tesselinstall.sh"


@pytest.fixture
def shared_root():
    """A folder below /tmp that `nobody` can reach (pytest's own folders are
    private to root), holding a victim file of root's."""
    if os.geteuid() != 0 or not simplatform.namespace_available():
        pytest.skip("needs root and a private mount namespace")
    root = pathlib.Path(tempfile.mkdtemp(prefix="velmoran-hostile-", dir="/tmp"))
    root.chmod(0o755)
    (root / "victim.txt").write_bytes(VICTIM_TEXT)
    yield root
    shutil.rmtree(root, ignore_errors=True)


def as_nobody(command, cwd):
    """Runs a shell command as the unprivileged user."""
    done = subprocess.run(["setpriv", "--reuid", str(NOBODY), "--regid", str(NOBODY), "--clear-groups", "--",
                           "/bin/sh", "-c", command], cwd=cwd, capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, f"{command}: {done.stderr}"


def one_board_sim(root, **settings):
    return SimPlatform(root, flash_platform(board(PRIMARY), system_id=0x016C, **settings))


def revision_shown():
    return banner() + searching() + LOADED + table([table_line(PRIMARY, (1, 0x05), (1, 0x06))])


# --- the log -----------------------------------------------------------------

# name, command `nobody` runs in the sticky run folder, the -log argument
# (ROOT stands for the shared root), victim file (relative to the shared
# root; None: the data file), whether the log is taken.
LOG_CASES = [
    ("link_in_sticky_folder", "ln -s ../victim.txt run.log", "run.log", "victim.txt", False),
    ("link_in_users_own_folder", "ln -s ../victim.txt ../own/run.log", "ROOT/own/run.log", "victim.txt", False),
    ("dangling_link", "ln -s ../created.txt run.log", "run.log", "victim.txt", False),
    ("fifo_without_reader", "mkfifo run.log", "run.log", "victim.txt", False),
    ("the_data_file", None, "fwpack.dat", None, False),
    ("the_install_script", None, "tesselinstall.sh", "run/tesselinstall.sh", False),
    ("the_init_script", None, "/etc/init.d/pelord", None, False),
    ("dev_null", None, "/dev/null", "victim.txt", True),
    ("new_file", None, "run.log", "victim.txt", True),
]


@pytest.mark.parametrize("name, plant, log, victim, taken", LOG_CASES, ids=[case[0] for case in LOG_CASES])
def test_log_never_replaces_a_file_it_must_not(shared_root, name, plant, log, victim, taken):
    package = Package(shared_root / "pack")
    sim = one_board_sim(shared_root)
    sim.cwd.chmod(0o1777)
    own = shared_root / "own"
    own.mkdir()
    os.chown(own, NOBODY, NOBODY)
    if plant:
        as_nobody(plant, sim.cwd)
    log = log.replace("ROOT", str(shared_root))
    watched = {
        "the_data_file": (sim.cwd / "fwpack.dat", package.data),
        "the_init_script": (simplatform.INIT_DIR / "pelord", SERVICE_SCRIPT_SOURCE.read_bytes()),
        "the_install_script": (sim.cwd / "tesselinstall.sh", INSTALL_SCRIPT.read_bytes()),
    }.get(name, (shared_root / (victim or "victim.txt"), VICTIM_TEXT))

    run = sim.run("-revision", f"-log={log}", files=package.files(), timeout=60)

    assert (run.rc, run.stdout, run.stderr) == (0, revision_shown(), "" if taken else f" Cannot create {log} \n")
    assert watched[0].read_bytes() == watched[1]
    assert not (shared_root / "created.txt").exists()
    assert run.service_log == [CHECKSTATUS]
    if name == "new_file":
        written = sim.cwd / "run.log"
        assert stat.S_IMODE(written.stat().st_mode) == 0o600
        assert written.read_text().startswith(f"{VELMORAN} -revision -log=run.log \n")


# --- the data file -------------------------------------------------------------

# name, what `nobody` plants in the sticky run folder as data.bin (None: the
# -input argument names a device)
DATA_CASES = [
    ("fifo_without_writer", "mkfifo data.bin", "data.bin"),
    ("directory", "mkdir data.bin", "data.bin"),
    ("device_without_end", None, "/dev/zero"),
    ("one_byte_over_64_mib", f"truncate -s {64 * 1024 * 1024 + 1} data.bin", "data.bin"),
    ("four_gib_less_one", f"truncate -s {4 * 1024 ** 3 - 1} data.bin", "data.bin"),
]


@pytest.mark.parametrize("name, plant, data", DATA_CASES, ids=[case[0] for case in DATA_CASES])
def test_data_file_that_cannot_be_a_pack_is_refused_at_once(shared_root, name, plant, data):
    sim = one_board_sim(shared_root)
    sim.cwd.chmod(0o1777)
    if plant:
        as_nobody(plant, sim.cwd)
    started = time.monotonic()
    run = sim.run(f"-input={data}", stdin=b"Y\n", timeout=60)
    assert (run.rc, run.stdout, run.stderr) == (1, banner() + searching(), LOADING_FAILED)
    assert time.monotonic() - started < 30
    assert run.images == {}


# --- the service scripts -------------------------------------------------------

def plant_script_of_nobody(sim, shared_root):
    as_nobody(PLANTED_SCRIPT, sim.cwd)


def plant_link_to_roots_script(sim, shared_root):
    shutil.copy2(INSTALL_SCRIPT, shared_root / "good.sh")
    as_nobody("ln -s ../good.sh tesselinstall.sh", sim.cwd)


def world_writable_script(sim, shared_root):
    """Root's script left writable by all; `nobody` puts its line first."""
    script = sim.cwd / "tesselinstall.sh"
    shutil.copy2(INSTALL_SCRIPT, script)
    script.chmod(0o777)
    as_nobody("s=$(cat tesselinstall.sh) && printf '#!/bin/sh\\nid > pwned.txt\\n%s\\n' \"$s\" > tesselinstall.sh",
              sim.cwd)


def roots_script(sim, shared_root):
    shutil.copy2(INSTALL_SCRIPT, sim.cwd / "tesselinstall.sh")


def init_folder(tmp_path, folder_mode, script_mode):
    folder = tmp_path / "init.d"
    folder.mkdir()
    shutil.copy2(simplatform.INIT_DIR / "pelord", folder / "pelord")
    (folder / "pelord").chmod(script_mode)
    folder.chmod(folder_mode)
    return folder


NOT_RUN = "\r   Not running {}: {} \n"
# name, run folder mode, set-up, init folder (mode, pelord mode) or None,
# warning, service log
SCRIPT_CASES = [
    ("script_planted_in_sticky_folder", 0o1777, plant_script_of_nobody, None,
     NOT_RUN.format("./tesselinstall.sh", "./tesselinstall.sh belongs to another user"), [STOPUSERS, STARTUSERS]),
    ("link_planted_in_sticky_folder", 0o1777, plant_link_to_roots_script, None,
     NOT_RUN.format("./tesselinstall.sh", "./tesselinstall.sh is not a regular file"), [STOPUSERS, STARTUSERS]),
    ("script_in_world_writable_folder", 0o777, world_writable_script, None,
     NOT_RUN.format("./tesselinstall.sh", "the current directory is writable by other users"),
     [STOPUSERS, STARTUSERS]),
    ("world_writable_script", 0o755, world_writable_script, None,
     NOT_RUN.format("./tesselinstall.sh", "./tesselinstall.sh is writable by other users"),
     [STOPUSERS, STARTUSERS]),
    ("world_writable_init_script", 0o755, roots_script, (0o755, 0o777),
     NOT_RUN.format("/etc/init.d/pelord", "/etc/init.d/pelord is writable by other users"), [CHECKSTATUS]),
    ("world_writable_init_folder", 0o755, roots_script, (0o777, 0o755),
     NOT_RUN.format("/etc/init.d/pelord", "/etc/init.d is writable by other users"), [CHECKSTATUS]),
    ("roots_script_in_sticky_folder", 0o1777, roots_script, None, "", [CHECKSTATUS, STOPUSERS, STARTUSERS]),
]


@pytest.mark.parametrize("name, folder_mode, setup, init, warning, service_log", SCRIPT_CASES,
                         ids=[case[0] for case in SCRIPT_CASES])
def test_only_scripts_no_one_else_could_change_are_run(shared_root, tmp_path, monkeypatch, name, folder_mode, setup,
                                                       init, warning, service_log):
    package = Package(shared_root / "pack")
    sim = one_board_sim(shared_root)
    sim.cwd.chmod(folder_mode)
    setup(sim, shared_root)
    planted = (sim.cwd / "tesselinstall.sh").read_bytes()
    if init:
        monkeypatch.setattr(simplatform, "INIT_DIR", init_folder(tmp_path, *init))

    run = sim.run("-log=../run.log", stdin=b"Y\n", install_script="keep", files=package.files())

    assert (run.rc, run.stderr) == (0, warning)
    assert run.stdout == revision_shown() + CONTINUE + flashed_board(PRIMARY)
    assert run.service_log == service_log
    assert not (sim.cwd / PWNED).exists()
    assert (sim.cwd / "tesselinstall.sh").read_bytes() == planted
    # The probe's warning comes before the log is opened, and still reaches it.
    log = (shared_root / "run.log").read_bytes().decode()
    if warning:
        assert log.count(warning) == 1


# --- echoed words ----------------------------------------------------------------

NORMAL_HELP_START = "-d                   Allow downgrade of firmware without asking.\n"
# name, the word, how it is shown, whether it can also name a data file
# (brackets and semicolons are refused there)
ECHO_CASES = [
    ("terminal_title", "-\x1b]2;owned\x07", "-\\x1b]2;owned\\x07", False),
    ("terminal_reset", "-\x1bc\x07", "-\\x1bc\\x07", True),
    ("c1_control", "-x\u009b2J", "-x\\xc2\\x9b2J", True),
    ("bytes_not_utf8", os.fsdecode(b"-\xff\xc0\xaf"), "-\\xff\\xc0\\xaf", True),
    ("text_kept", "-caf\u00e9", "-caf\u00e9", True),
]


@pytest.mark.parametrize("name, word, shown, as_path", ECHO_CASES, ids=[case[0] for case in ECHO_CASES])
def test_echoed_words_cannot_drive_the_terminal(shared_root, options, name, word, shown, as_path):
    result = run_binary([VELMORAN, word], shared_root)
    shown_bytes = shown.encode()
    assert result.rc == 23
    assert result.stderr.encode("latin-1") == b"   OPTION INVALID   [" + shown_bytes + b"]\n\n"
    assert result.stdout.startswith(banner() + NORMAL_HELP_START)
    if not as_path:
        return

    sim = one_board_sim(shared_root)
    run = sim.run(f"-input={word[1:]}.dat", "-log=run.log", "-revision")
    cannot_find = b"\r   Cannot find " + shown_bytes[1:] + b".dat \n"
    assert (run.rc, run.stderr) == (0, "")
    assert run.stdout.encode("latin-1") == (banner() + searching()).encode() + cannot_find + \
        table([table_line(PRIMARY, (1, 0x05))]).encode()
    log = (sim.cwd / "run.log").read_bytes()
    assert log.startswith(f"{VELMORAN} ".encode() + b"-input=" + shown_bytes[1:] + b".dat -log=run.log -revision \n")
    assert cannot_find in log


# --- standard streams and inherited descriptors --------------------------------------

@pytest.mark.parametrize("closing", [">&-", "<&- >&- 2>&-"], ids=["output", "all_three"])
def test_closed_standard_streams_never_become_the_log(shared_root, monkeypatch, closing):
    """With standard output closed the XML document goes nowhere, not into
    the log that would otherwise take its place."""
    wrapper = shared_root / "closed-streams"
    wrapper.write_text(f'#!/bin/sh\nexec "{VELMORAN}" "$@" {closing}\n')
    wrapper.chmod(0o755)
    monkeypatch.setattr(simplatform, "VELMORAN", wrapper)
    package = Package(shared_root / "pack")
    sim = one_board_sim(shared_root)
    run = sim.run("-xml", "-log=run.log", files=package.files())
    assert (run.rc, run.stdout, run.stderr) == (0, "", "")
    log = (sim.cwd / "run.log").read_bytes()
    assert log.startswith(f"{VELMORAN} -xml -log=run.log \n".encode())
    assert b"<?xml" not in log and b"Inventory" not in log
    assert b"\r   Loading file completed " in log


def test_service_scripts_do_not_inherit_the_log(shared_root, monkeypatch, tmp_path):
    """Each script records the descriptors it was started with."""
    recorder = '#!/bin/sh\nls -l /proc/$$/fd/ >> "{record}"\nexec "{script}" "$@"\n'
    package = Package(shared_root / "pack")
    sim = one_board_sim(shared_root)
    record = shared_root / "descriptors.txt"
    (sim.cwd / "tesselinstall.sh").write_text(recorder.format(record=record, script=INSTALL_SCRIPT))
    (sim.cwd / "tesselinstall.sh").chmod(0o755)
    folder = tmp_path / "init.d"
    folder.mkdir()
    (folder / "pelord").write_text(recorder.format(record=record, script=simplatform.INIT_DIR / "pelord"))
    (folder / "pelord").chmod(0o755)
    monkeypatch.setattr(simplatform, "INIT_DIR", folder)

    run = sim.run("-log=run.log", stdin=b"Y\n", install_script="keep", files=package.files())

    assert (run.rc, run.stderr) == (0, "")
    listings = record.read_text()
    assert listings.count("total") == 3    # checkstatus, stopusers, startusers
    assert "run.log" not in listings
    # A daemon a script starts would otherwise hold the run lock for good.
    assert str(sim.recovery_dir / "lock") not in listings
    assert str(sim.cwd / "fwpack.dat") not in listings


# --- the state folder -----------------------------------------------------------------

def writable_by_all(folder, shared_root):
    folder.mkdir(mode=0o700)
    folder.chmod(0o777)
    # What an attacker waits with: a pipe at the record's name.
    as_nobody("mkfifo recovery", folder)


def made_by_nobody(folder, shared_root):
    as_nobody(f"mkdir -m 700 {folder.name}", folder.parent)


def link_made_by_nobody(folder, shared_root):
    as_nobody(f"mkdir -m 700 elsewhere && ln -s elsewhere {folder.name}", folder.parent)


STATE_FOLDER_CASES = [
    # name, folder name, parent mode, plant, what is refused (relative to the parent), reason
    ("writable_by_others", "state", 0o755, writable_by_all, "state", "is writable by other users"),
    ("made_by_another_user", "state", 0o1777, made_by_nobody, "state", "belongs to another user"),
    ("link_planted_in_a_shared_folder", "state", 0o1777, link_made_by_nobody, "state", "is not a directory"),
    ("under_a_folder_others_can_write", "state", 0o777, None, ".", "is writable by other users"),
    ("name_meant_for_the_terminal", "st\x1b]0;x\x07ate", 0o755, writable_by_all, "st\\x1b]0;x\\x07ate",
     "is writable by other users"),
]


@pytest.mark.parametrize("name, folder_name, parent_mode, plant, refused, reason", STATE_FOLDER_CASES,
                         ids=[case[0] for case in STATE_FOLDER_CASES])
def test_state_folder_others_could_change_is_refused_before_anything(shared_root, name, folder_name, parent_mode,
                                                                     plant, refused, reason):
    package = Package(shared_root / "pack")
    sim = one_board_sim(shared_root)
    parent = shared_root / "parent"
    parent.mkdir()
    parent.chmod(parent_mode)
    sim.recovery_dir = parent / folder_name
    if plant:
        plant(sim.recovery_dir, shared_root)
    before = sorted(os.listdir(sim.recovery_dir)) if sim.recovery_dir.is_dir() else None
    run = sim.run(stdin=b"Y\n", files=package.files(), timeout=60)

    shown = str(parent) if refused == "." else f"{parent}/{refused}"
    assert (run.rc, run.stdout) == (18, banner())
    assert run.stderr == f"\r   State folder refused: {shown} {reason} \n"
    # No script, no request, nothing made or opened in the folder.
    assert run.service_log == []
    assert run.requests == []
    assert (sorted(os.listdir(sim.recovery_dir)) if sim.recovery_dir.is_dir() else None) == before
    assert run.state.front_panel == 0xF0
