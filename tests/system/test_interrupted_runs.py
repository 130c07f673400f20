# SPDX-License-Identifier: GPL-3.0-or-later
"""Runs that are stopped, killed or started twice: a termination request
finishes the board in hand, a killed run is put right by the next one from
its recovery record, and a second run against a platform in use is turned
away before it sends anything."""

import os
import signal
import subprocess

import pytest

from flashing import (CONTINUE, LOADED, LOCK_PANEL, RESTORE_PANEL, Package, board, board_transfer,
                      flash_platform, flashed_board, options, searching, skipped_board, table, table_line, validate)
from simplatform import ENABLE_IPMB, PRIMARY, SECONDARY, Fault, Service, SimPlatform, banner, get_device_id
from test_reports import NOT_UPDATED, UPDATED, execution

STOPPED = "\r   Stopped on request: no further board is flashed \n"
SECONDARY_NOT_UPDATED = "   Secondary Backplane not updated \n"
FORCE_PRIMARY = "\r   Force flash Primary Backplane \n"
RECORD = "recovery"
DATA_CHUNKS_SENT = 1000

# Where a signal reaches the run, as a rule on the primary board's requests:
# its third Get Device ID is the first erase poll, its fifth the revision check.
PHASES = {
    "erase": (0x18, 0x01, 2),
    "data": (0x20, 0x01, DATA_CHUNKS_SENT),
    "revision_check": (0x18, 0x01, 4),
}


def two_boards(*faults):
    return flash_platform(board(PRIMARY), board(SECONDARY), faults=list(faults))


def signal_at(phase, name):
    netfn, command, after = PHASES[phase]
    return Fault(PRIMARY, netfn, command, f"signal={name}", 1, after=after)


def both_found(primary=(1, 0x05)):
    return (banner() + searching() + LOADED +
            table([table_line(PRIMARY, primary, (1, 0x06)), table_line(SECONDARY, (1, 0x05), (1, 0x06))]) +
            CONTINUE)


def lookup():
    return [ENABLE_IPMB, get_device_id(PRIMARY), get_device_id(SECONDARY)]


def read_record(sim):
    path = sim.recovery_dir / RECORD
    return path.read_text() if path.exists() else None


def without_faults(sim):
    """The platform as the run left it, the signal rule taken out for the re-run."""
    state = sim.state_dir / "platform.txt"
    state.write_text("".join(line + "\n" for line in state.read_text().splitlines()
                             if not line.startswith("fault ")))


@pytest.mark.parametrize("name", ["TERM", "HUP", "QUIT"])
@pytest.mark.parametrize("phase", sorted(PHASES))
def test_termination_request_finishes_the_board_in_hand(tmp_path, phase, name):
    package = Package(tmp_path / "pack")
    sim = SimPlatform(tmp_path, two_boards(signal_at(phase, name)))
    run = sim.run(stdin=b"Y\n", files=package.files())

    assert run.rc == 11
    assert run.stdout == both_found() + flashed_board(PRIMARY)
    assert run.stderr == STOPPED + SECONDARY_NOT_UPDATED
    assert run.request_lines() == lookup() + LOCK_PANEL + board_transfer(PRIMARY, package.image) + RESTORE_PANEL
    assert run.service_log == ["tesselinstall.sh checkstatus", "pelord stopusers", "pelord startusers"]
    assert run.state.front_panel == 0xF0
    assert (run.state.board(PRIMARY).revision, run.state.board(SECONDARY).revision) == ((1, 0x06), (1, 0x05))
    assert read_record(sim) is None

    without_faults(sim)
    again = sim.run(stdin=b"Y\n", files=package.files())
    assert (again.rc, again.stderr) == (0, "")
    assert again.stdout == (banner() + searching() + LOADED +
                            table([table_line(PRIMARY, (1, 0x06), (1, 0x06)),
                                   table_line(SECONDARY, (1, 0x05), (1, 0x06))]) +
                            CONTINUE + skipped_board(PRIMARY) + flashed_board(SECONDARY))
    assert list(again.images) == [SECONDARY]


def test_boards_not_reached_are_reported_in_the_log_and_the_document(tmp_path, options):
    package = Package(tmp_path / "pack")
    sim = SimPlatform(tmp_path, two_boards(signal_at("data", "TERM")))
    run = sim.run("-fml", "-log=run.log", files=package.files())

    assert (run.rc, run.stderr) == (11, "")
    assert run.stdout == execution((PRIMARY, "1.05", "1.06", UPDATED), (SECONDARY, "1.05", "1.06", NOT_UPDATED),
                                   reboot=True)
    validate(run.stdout, tmp_path)
    assert (sim.cwd / "run.log").read_bytes().decode().endswith(STOPPED + SECONDARY_NOT_UPDATED)


def test_loop_stopped_between_passes_ends_with_success(tmp_path, options):
    package = Package(tmp_path / "pack")
    # The request arrives while the first pass puts the front panel back.
    sim = SimPlatform(tmp_path, two_boards(Fault(0x20, 0x00, 0x0A, "signal=TERM", 1, after=2)))
    run = sim.run("-tloop", stdin=b"Y\n", files=package.files())

    assert (run.rc, run.stderr) == (0, STOPPED)
    assert run.stdout == both_found() + flashed_board(PRIMARY) + flashed_board(SECONDARY)
    assert run.request_lines() == (lookup() + LOCK_PANEL + board_transfer(PRIMARY, package.image) +
                                   board_transfer(SECONDARY, package.image) + RESTORE_PANEL)


def test_loop_stopped_within_a_later_pass_fails_the_pass(tmp_path, options):
    package = Package(tmp_path / "pack")
    # Second pass, during the primary board's data.
    sim = SimPlatform(tmp_path, two_boards(Fault(PRIMARY, 0x20, 0x01, "signal=HUP", 1, after=2253 + 10)))
    run = sim.run("-tloop", stdin=b"Y\n", files=package.files())

    assert (run.rc, run.stderr) == (11, STOPPED + SECONDARY_NOT_UPDATED)
    assert run.stdout == both_found() + flashed_board(PRIMARY) + flashed_board(SECONDARY) + flashed_board(PRIMARY)
    one_pass = board_transfer(PRIMARY, package.image) + board_transfer(SECONDARY, package.image)
    assert run.request_lines() == (lookup() + LOCK_PANEL + one_pass + RESTORE_PANEL + LOCK_PANEL +
                                   board_transfer(PRIMARY, package.image) + RESTORE_PANEL)


def test_termination_outside_the_flash_run_keeps_its_default_action(tmp_path):
    package = Package(tmp_path / "pack")
    # During the board lookup, before anything is locked or stopped.
    sim = SimPlatform(tmp_path, two_boards(Fault(PRIMARY, 0x18, 0x01, "signal=TERM", 1)))
    run = sim.run(stdin=b"Y\n", files=package.files())

    assert run.rc == -signal.SIGTERM
    assert run.request_lines() == [ENABLE_IPMB, get_device_id(PRIMARY)]
    assert run.service_log == ["tesselinstall.sh checkstatus"]
    assert read_record(sim) is None


def expected_record(pid, start, boot):
    return (f"velmoran-recovery 1\npid {pid}\nstart {start}\nboot {boot}\npanel locked 0xF0\n"
            "users stopped\nboard 0xC0 Primary Backplane\n")


def boot_id():
    with open("/proc/sys/kernel/random/boot_id") as file:
        return file.read().strip()


KILLED_REVISION = {"erase": (0x81, 0x05), "data": (0x81, 0x05), "revision_check": (0x01, 0x06)}


@pytest.mark.parametrize("phase", sorted(PHASES))
def test_killed_run_is_put_right_and_its_board_flashed_by_the_next(tmp_path, phase):
    package = Package(tmp_path / "pack")
    sim = SimPlatform(tmp_path, two_boards(signal_at(phase, "KILL")))
    run = sim.run(stdin=b"Y\n", files=package.files())

    assert run.rc == -signal.SIGKILL
    # Left as a killed run leaves it: panel locked, users stopped, board half done.
    assert run.state.front_panel == 0xF5
    assert run.state.service.users_stopped
    assert run.state.board(PRIMARY).revision == KILLED_REVISION[phase]
    sent = patched_image(package.image)
    if phase == "erase":
        assert run.images[PRIMARY] == b"\xFF" * len(sent)
    elif phase == "data":
        written = DATA_CHUNKS_SENT * 20
        assert run.images[PRIMARY] == sent[:written] + b"\xFF" * (len(sent) - written)
    else:
        assert run.images[PRIMARY] == sent
    record = read_record(sim)
    pid = int(record.split("\n")[1].split()[1])
    start, boot = record_identity(record)
    assert start.isdigit() and boot == boot_id()
    assert record == expected_record(pid, start, boot)

    without_faults(sim)
    again = sim.run(stdin=b"Y\n", files=package.files())
    assert again.rc == 0
    assert again.stderr == (f"\r   Recovered from interrupted run (process {pid}): front panel restored to 0xF0, "
                            "service users restarted, Primary Backplane left mid-transfer \n")
    if phase == "revision_check":
        # The transfer was complete: the board already runs the new image.
        assert again.stdout == (banner() + searching() + LOADED +
                                table([table_line(PRIMARY, (1, 0x06), (1, 0x06)),
                                       table_line(SECONDARY, (1, 0x05), (1, 0x06))]) +
                                CONTINUE + skipped_board(PRIMARY) + flashed_board(SECONDARY))
        flashed = board_transfer(SECONDARY, package.image)
    else:
        assert again.stdout == (both_found(primary=(0x81, 0x05)) + FORCE_PRIMARY + flashed_board(PRIMARY) +
                                flashed_board(SECONDARY))
        flashed = board_transfer(PRIMARY, package.image) + board_transfer(SECONDARY, package.image)
    # The saved byte goes back before anything is read, so the lock reads it as found.
    assert again.request_lines() == ["20 00 0A F0"] + lookup() + LOCK_PANEL + flashed + RESTORE_PANEL
    assert again.service_log == ["tesselinstall.sh checkstatus", "pelord startusers", "pelord stopusers",
                                 "pelord startusers"]
    assert again.state.front_panel == 0xF0
    assert [again.state.board(address).revision for address in (PRIMARY, SECONDARY)] == [(1, 0x06)] * 2
    assert read_record(sim) is None


def patched_image(image):
    from test_update import patched
    return patched(image)


def record_identity(record):
    lines = record.split("\n")
    return lines[2].split()[1], lines[3].split()[1]


def test_record_names_only_what_was_changed(tmp_path):
    """A record whose run had locked the panel but not yet stopped the users."""
    package = Package(tmp_path / "pack")
    sim = SimPlatform(tmp_path, two_boards())
    sim.recovery_dir.mkdir(mode=0o700)
    dead = subprocess.Popen(["true"])
    dead.wait()
    (sim.recovery_dir / RECORD).write_text(
        f"velmoran-recovery 1\npid {dead.pid}\nstart 1\nboot unknown\npanel locked 0xF4\n"
        "users untouched\nboard none\n")
    (sim.recovery_dir / RECORD).chmod(0o600)
    run = sim.run(stdin=b"n\n", files=package.files())

    assert (run.rc, run.stderr) == (1, f"\r   Recovered from interrupted run (process {dead.pid}): "
                                       "front panel restored to 0xF4 \n")
    assert run.request_lines()[:2] == ["20 00 0A F4", ENABLE_IPMB]
    assert run.service_log == ["tesselinstall.sh checkstatus"]
    assert read_record(sim) is None


def hostile_records(folder, target):
    """name -> how to plant it; each is reported and never acted on."""
    good = expected_record(1, 1, "unknown").replace("0xF0", "0x00")

    def symlink():
        target.write_text(good)
        (folder / RECORD).symlink_to(target)

    def foreign():
        (folder / RECORD).write_text(good)
        os.chown(folder / RECORD, 1000, 1000)

    def garbage():
        (folder / RECORD).write_text(good.replace("users stopped", "users maybe"))

    def writable():
        (folder / RECORD).write_text(good)
        (folder / RECORD).chmod(0o666)

    def fifo():
        os.mkfifo(folder / RECORD, 0o600)

    return {
        "symbolic_link": (symlink, "it is a symbolic link"),
        "not_owned_by_root": (foreign, "it is not owned by root"),
        "garbage": (garbage, "it is not a recovery record"),
        "writable_by_others": (writable, "others may write to it"),
        "fifo": (fifo, "it is not a regular file"),
    }


@pytest.mark.parametrize("kind", ["symbolic_link", "not_owned_by_root", "garbage", "writable_by_others", "fifo"])
def test_hostile_record_is_reported_and_never_trusted(tmp_path, kind):
    package = Package(tmp_path / "pack")
    sim = SimPlatform(tmp_path, flash_platform(board(PRIMARY), system_id=0x016C))
    sim.recovery_dir.mkdir(mode=0o700)
    target = tmp_path / "elsewhere"
    plant, reason = hostile_records(sim.recovery_dir, target)[kind]
    plant()
    run = sim.run(stdin=b"Y\n", files=package.files())

    assert run.rc == 0
    assert run.stderr == f"\r   Recovery record {sim.recovery_dir / RECORD} ignored: {reason} \n"
    # Nothing was sent from it: the run begins as any run does.
    assert run.request_lines() == ([ENABLE_IPMB, get_device_id(PRIMARY)] + LOCK_PANEL +
                                   board_transfer(PRIMARY, package.image) + RESTORE_PANEL)
    assert run.service_log == ["tesselinstall.sh checkstatus", "pelord stopusers", "pelord startusers"]
    # The run's own record replaced the planted name and went with the run.
    assert not os.path.lexists(sim.recovery_dir / RECORD)
    if kind == "symbolic_link":
        assert target.read_text() == expected_record(1, 1, "unknown").replace("0xF0", "0x00")


# The run stops itself (SIGSTOP) in the middle of the primary board's data.
STOP_IN_DATA = Fault(PRIMARY, 0x20, 0x01, "signal=STOP", 1, after=DATA_CHUNKS_SENT)


def start_run_that_stops(sim, package):
    """Starts a run that answers Y on a platform carrying STOP_IN_DATA, and
    returns it once it has stopped itself, holding the platform."""
    argv, env = sim.prepare(files=package.files())
    run = subprocess.Popen(argv, cwd=sim.cwd, env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE)
    run.stdin.write(b"Y\n")
    run.stdin.close()
    run.stdin = None
    assert os.WIFSTOPPED(os.waitpid(run.pid, os.WUNTRACED)[1])
    return run


@pytest.mark.parametrize("service", [Service(), Service(running=False)], ids=["running", "started_by_the_first"])
def test_second_run_is_turned_away_while_the_first_holds_the_platform(tmp_path, service):
    package = Package(tmp_path / "pack")
    sim = SimPlatform(tmp_path, flash_platform(board(PRIMARY), board(SECONDARY), faults=[STOP_IN_DATA],
                                               service=service))
    first = start_run_that_stops(sim, package)
    try:
        record = read_record(sim)
        assert record.startswith(f"velmoran-recovery 1\npid {first.pid}\n")
        state_before = (sim.state_dir / "platform.txt").read_text()
        requests_before = (sim.state_dir / "requests.log").read_text()
        services_before = (sim.state_dir / "service.log").read_text()

        argv, env = sim.prepare(files=package.files(), fresh=False)
        second = subprocess.run(argv, cwd=sim.cwd, env=env, input=b"Y\n", stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, timeout=60)
        assert second.returncode == 27
        assert second.stdout.decode() == banner()
        assert second.stderr.decode() == f"\r   Another run holds {sim.recovery_dir / 'lock'}: process {first.pid} \n"
        # Nothing reached the platform, no script ran, and the panel and the
        # service are as the first run left them.
        assert (sim.state_dir / "requests.log").read_text() == requests_before
        assert (sim.state_dir / "platform.txt").read_text() == state_before
        assert (sim.state_dir / "service.log").read_text() == services_before
        assert Service.parse((sim.state_dir / "service.txt").read_text()).running
        # The first run's record is left alone.
        assert read_record(sim) == record
    finally:
        os.kill(first.pid, signal.SIGCONT)
        stdout, stderr = first.communicate(timeout=120)
    run = sim.collect(first.returncode, stdout.decode("latin-1"), stderr.decode("latin-1"))
    assert (run.rc, run.stderr) == (0, "")
    assert run.stdout == both_found() + flashed_board(PRIMARY) + flashed_board(SECONDARY)
    assert run.state.service.running == service.running
    assert run.request_lines() == (lookup() + LOCK_PANEL + board_transfer(PRIMARY, package.image) +
                                   board_transfer(SECONDARY, package.image) + RESTORE_PANEL)
    assert read_record(sim) is None


def test_platforms_of_their_own_are_never_kept_waiting(tmp_path):
    """Two runs at once against two platforms: neither is turned away."""
    package = Package(tmp_path / "pack")
    first_sim = SimPlatform(tmp_path / "first", two_boards(STOP_IN_DATA))
    second_sim = SimPlatform(tmp_path / "second", flash_platform(board(PRIMARY), system_id=0x016C))
    first = start_run_that_stops(first_sim, package)
    try:
        second = second_sim.run(stdin=b"Y\n", files=package.files())
        assert (second.rc, second.stderr) == (0, "")
    finally:
        os.kill(first.pid, signal.SIGCONT)
        first.communicate(timeout=120)
    assert first.returncode == 0


def test_reader_gone_does_not_end_the_run(tmp_path):
    package = Package(tmp_path / "pack")
    sim = SimPlatform(tmp_path, two_boards())
    argv, env = sim.prepare(files=package.files())
    reader, writer = os.pipe()
    os.close(reader)
    try:
        done = subprocess.run(argv, cwd=sim.cwd, env=env, input=b"Y\n", stdout=writer, stderr=subprocess.PIPE,
                              timeout=120)
    finally:
        os.close(writer)
    run = sim.collect(done.returncode, "", done.stderr.decode("latin-1"))
    assert (run.rc, run.stderr) == (0, "")
    assert run.request_lines() == (lookup() + LOCK_PANEL + board_transfer(PRIMARY, package.image) +
                                   board_transfer(SECONDARY, package.image) + RESTORE_PANEL)
    assert run.service_log == ["tesselinstall.sh checkstatus", "pelord stopusers", "pelord startusers"]
    assert run.state.front_panel == 0xF0


def start_run_at_the_prompt(sim, package, question, *args, answers=b""):
    """Starts a run, gives it `answers`, and returns it once it asks `question`."""
    argv, env = sim.prepare(*args, files=package.files())
    run = subprocess.Popen(argv, cwd=sim.cwd, env=env, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE)
    run.stdin.write(answers)
    run.stdin.flush()
    shown = b""
    while not shown.endswith(question.encode()):
        chunk = os.read(run.stdout.fileno(), 4096)
        assert chunk, f"the run ended before its question: {shown!r}"
        shown += chunk
    return run, shown


FLASH_PRIMARY = "\r   Flash Primary Backplane (Y/N)? "
FLASH_SECONDARY = "\r   Flash Secondary Backplane (Y/N)? "
SERVICE_CHANGES = {
    "started": (Service(running=False), ["tesselinstall.sh checkstatus", "pelord start", "pelord stop"]),
    "installed": (Service(installed=False, running=False),
                  ["tesselinstall.sh checkstatus", "tesselinstall.sh install", "tesselinstall.sh uninstall"]),
}
# At "Continue ? Y/N", or at a -prompt question after a Y: every question
# still to come is then answered no, without waiting for input.
QUESTIONS = {
    "continue": (CONTINUE, (), b"", ""),
    "flash_question": (FLASH_PRIMARY, ("-prompt",), b"Y\n", FLASH_PRIMARY + FLASH_SECONDARY),
}
STOP_CASES = ([(name, "started", "continue") for name in ("INT", "TERM", "HUP", "QUIT")] +
              [("TERM", "installed", "continue"), ("QUIT", "started", "flash_question"),
               ("INT", "installed", "flash_question")])


@pytest.mark.parametrize("name, change, question", STOP_CASES, ids=["-".join(case) for case in STOP_CASES])
def test_stop_at_a_question_puts_the_service_back(tmp_path, name, change, question):
    package = Package(tmp_path / "pack")
    service, log = SERVICE_CHANGES[change]
    asked, args, answers, questions_shown = QUESTIONS[question]
    sim = SimPlatform(tmp_path, two_boards())
    (sim.state_dir / "service.txt").write_text(service.render())
    run, shown = start_run_at_the_prompt(sim, package, asked, *args, answers=answers)
    try:
        # While asked, the run has noted the service change it made.
        assert read_record(sim).endswith(f"service {change}\n")
        os.kill(run.pid, getattr(signal, "SIG" + name))
        # The input stays open, as a terminal's would: no later question waits on it.
        run.wait(timeout=60)
        stdout, stderr = run.stdout.read(), run.stderr.read()
    finally:
        run.kill()
        run.stdin.close()
    done = sim.collect(run.returncode, (shown + stdout).decode("latin-1"), stderr.decode("latin-1"))
    assert done.rc == -getattr(signal, "SIG" + name)
    assert done.stdout == both_found() + questions_shown
    assert done.stderr == ""
    assert done.service_log == log
    assert done.request_lines() == lookup()
    assert (done.state.service.installed, done.state.service.running) == (service.installed, False)
    assert done.state.front_panel == 0xF0
    assert read_record(sim) is None


def test_killed_run_that_started_the_service_has_it_stopped_by_the_next(tmp_path):
    package = Package(tmp_path / "pack")
    sim = SimPlatform(tmp_path, flash_platform(board(PRIMARY), board(SECONDARY), faults=[signal_at("data", "KILL")],
                                               service=Service(running=False)))
    run = sim.run(stdin=b"Y\n", files=package.files())
    assert run.rc == -signal.SIGKILL
    assert run.state.service.running
    pid = int(read_record(sim).split("\n")[1].split()[1])
    assert read_record(sim).endswith("board 0xC0 Primary Backplane\nservice started\n")

    without_faults(sim)
    again = sim.run(stdin=b"Y\n", files=package.files())
    assert again.rc == 0
    assert again.stderr == (f"\r   Recovered from interrupted run (process {pid}): front panel restored to 0xF0, "
                            "service users restarted, Primary Backplane left mid-transfer, "
                            "driver service to be stopped at the end \n")
    # The service was up, so this run started nothing; it stops what the killed one started.
    assert again.service_log == ["tesselinstall.sh checkstatus", "pelord startusers", "pelord stopusers", "pelord stop"]
    assert not again.state.service.running
    assert read_record(sim) is None


def in_state_folder_namespace(argv, folder, setup):
    """argv run in a mount namespace of its own where `setup` (shell text,
    the folder as $0) has made the state folder a small tmpfs."""
    script = f"mount -t tmpfs -o size=4k,mode=0700 tmpfs \"$0\" || exit 99; {setup}; exec \"$@\""
    return ["unshare", "--mount", "--propagation", "private", "--", "/bin/sh", "-c", script, str(folder),
            *[str(word) for word in argv]]


FILL = "head -c 65536 /dev/zero > \"$0/fill\" 2>/dev/null; true"
READ_ONLY = "mount -o remount,ro \"$0\" || exit 99"


@pytest.mark.parametrize("setup, service, log, requests, told", [
    (READ_ONLY, Service(running=False), [], [], "lock"),
    (FILL, Service(running=False), ["tesselinstall.sh checkstatus"], [], "record"),
    (FILL, Service(), ["tesselinstall.sh checkstatus"], lookup() + LOCK_PANEL[:1], "record"),
], ids=["read_only", "full_before_the_service_start", "full_before_the_panel_lock"])
def test_state_folder_that_cannot_take_the_record_changes_nothing(tmp_path, setup, service, log, requests, told):
    package = Package(tmp_path / "pack")
    sim = SimPlatform(tmp_path, flash_platform(board(PRIMARY), board(SECONDARY), service=service))
    sim.recovery_dir.mkdir(mode=0o700)
    argv, env = sim.prepare(files=package.files())
    done = subprocess.run(in_state_folder_namespace(argv, sim.recovery_dir, setup), cwd=sim.cwd, env=env,
                          input=b"Y\n", stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
    run = sim.collect(done.returncode, done.stdout.decode("latin-1"), done.stderr.decode("latin-1"))

    assert run.rc == 18
    if told == "lock":
        assert run.stderr == f"\r   Cannot lock {sim.recovery_dir / 'lock'}: Read-only file system \n"
    elif requests:
        assert run.stderr == (f"\r   Cannot write the recovery record {sim.recovery_dir / RECORD}: nothing is changed \n"
                              + NOT_UPDATED_BOTH)
    else:
        assert run.stderr == f"\r   Cannot write the recovery record {sim.recovery_dir / RECORD}: nothing is changed \n"
    assert run.service_log == log
    assert run.request_lines() == requests
    assert (run.state.service.running, run.state.service.users_stopped) == (service.running, False)
    assert run.state.front_panel == 0xF0
    assert run.images == {}


NOT_UPDATED_BOTH = "   Primary Backplane not updated \n" + SECONDARY_NOT_UPDATED
