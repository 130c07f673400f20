# SPDX-License-Identifier: GPL-3.0-or-later
"""The FreeIPMI build of the management libraries against an emulated BMC
(ipmi_sim with the boards' module) over LAN 2.0: the program's request
records go in through the library entry, ipmitool checks the result."""

import os
import pathlib
import shutil
import subprocess
import tempfile
import time

import pytest

from conftest import VELMORAN, run_binary
from flashing import UNLOCK_CODE
from protocol import (CHUNK_SIZE, CMD_ENTER_FW_XFER, CMD_EXIT_FW_XFER, CMD_FW_DATA, CMD_GET_DEVICE_ID, NETFN_APP,
                      NETFN_FIRMWARE, TRANSFER_BASE_ADDRESS, TRANSFER_SIZE)
import ipmisim_bench
from ipmisim_bench import IpmiSimBench, backend_environment, write_backend_config

pytestmark = pytest.mark.skipif(bool(ipmisim_bench.missing_parts()),
                                reason="ipmi_sim bench not available: "
                                + ", ".join(ipmisim_bench.missing_parts()))

TRANSFER_BASE = TRANSFER_BASE_ADDRESS
CHUNK = CHUNK_SIZE
UNLOCK = UNLOCK_CODE.encode()
ERASE_POLLS = 3
LOCK_FOLDER = pathlib.Path("/run/velmoran")


@pytest.fixture
def bench_factory(tmp_path):
    started = []

    def start(boards={0xC0: "1.10", 0xC2: "2.05"}, **options):
        bench = IpmiSimBench(tmp_path / f"sim{len(started)}", boards, **options).start()
        started.append(bench)
        return bench
    yield start
    for bench in started:
        bench.stop()


def drive(config, lines, timeout=120):
    """Sends driver lines through the library; returns (answer lines, stderr)."""
    result = run_binary([ipmisim_bench.DRIVER], config.parent, env=backend_environment(config),
                        stdin=("\n".join(lines) + "\n").encode(), timeout=timeout)
    assert result.rc == 0, result
    return result.stdout.splitlines(), result.stderr


def hex_line(address, netfn, command, data=b""):
    return " ".join(f"{byte:x}" for byte in (address, netfn, command, *data))


def transfer_lines(address, image):
    lines = [hex_line(address, NETFN_FIRMWARE, CMD_ENTER_FW_XFER, UNLOCK)]
    lines += [hex_line(address, NETFN_APP, CMD_GET_DEVICE_ID)] * (ERASE_POLLS + 1)
    for offset in range(0, TRANSFER_SIZE, CHUNK):
        target = TRANSFER_BASE + offset
        lines.append(hex_line(address, NETFN_FIRMWARE, CMD_FW_DATA,
                              bytes([target & 0xFF, target >> 8]) + image[offset:offset + CHUNK]))
    lines.append(hex_line(address, NETFN_FIRMWARE, CMD_EXIT_FW_XFER))
    return lines


def sim_image(folder, revision):
    """An image the simulated boards read `revision` from, made by fwpack."""
    from datafiles import make_image
    return make_image(folder, "bench-image.bin", revision).read_bytes()


def firmware_revision(bench, address):
    return bench.firmware_revision(address)


@pytest.mark.parametrize("line, expected", [
    # BMC, directly: Get Device ID answers 15 data bytes (length counts 3 more).
    ("20 18 01", "1 0 18 00 20 01 02 10 02 bf 91 12 00 00 01 00 00 00 00"),
    # A board, bridged over IPMB: its own revision bytes.
    ("c0 18 01", "1 0 18 00 01 01 01 10 02 01 91 12 00 00 01 00 00 00 00"),
    ("c2 18 01", "1 0 18 00 01 01 02 05 02 01 91 12 00 00 01 00 00 00 00"),
    # Enable Message Channel Receive for channel 0.
    ("20 18 32 0 1", "1 0 5 00 00 01"),
    # A refusal comes back as the answer's completion code, not as no answer.
    ("20 18 5a", "1 0 3 c1"),
    ("c2 20 04", "1 0 3 d5"),
    # A board that is not on the IPMB: a timeout, as a BMC reports a bridged
    # request nobody answered; the BMC itself did answer.
    ("c4 18 01", "1 0 3 c3"),
])
def test_records_reach_bmc_and_boards(bench_factory, tmp_path, line, expected):
    bench = bench_factory()
    config = write_backend_config(tmp_path, bench.port)
    answers, errors = drive(config, [line])
    assert answers == [expected]
    assert errors == ""


@pytest.mark.parametrize("system_id, expected", [
    ("16D", "1 fe 016d"),       # above one byte: the 0xFE escape
    ("42", "1 42 0000"),
    (None, "0 00 0000"),        # none configured: the program's own option decides
])
def test_host_information_reports_configured_system_id(tmp_path, system_id, expected):
    config = write_backend_config(tmp_path, 1, system_id=system_id)
    answers, errors = drive(config, ["sysid"])
    assert answers == [expected]
    assert errors == ""


@pytest.mark.parametrize("drop_data", [0, 1000])
def test_transfer_writes_image_and_revision(bench_factory, tmp_path, drop_data):
    """A whole transfer; with drop_data the board's reply to one data command
    is lost on the LAN, FreeIPMI sends the request again, and the repeated
    chunk, carrying its own address, leaves the written image the same."""
    bench = bench_factory(drop_data=drop_data, erase_polls=ERASE_POLLS)
    config = write_backend_config(tmp_path, bench.port)
    image = sim_image(tmp_path, "2.31")
    answers, errors = drive(config, transfer_lines(0xC0, image))
    assert errors == ""
    assert answers[0] == "1 0 3 00"                                  # unlock accepted
    assert answers[1:1 + ERASE_POLLS] == ["1 0 3 c3"] * ERASE_POLLS   # erasing: no answer on the IPMB
    assert answers[1 + ERASE_POLLS].startswith("1 0 18 00 ")
    assert set(answers[2 + ERASE_POLLS:]) == {"1 0 3 00"}            # every chunk and the exit
    assert bench.written_image(0xC0) == image
    chunks = TRANSFER_SIZE // CHUNK + 1
    received = int(bench.counters(0xC0)["data_commands"])
    # How often FreeIPMI repeats a lost exchange is its own affair; what
    # matters is that the repeats happened and changed nothing.
    assert received > chunks if drop_data else received == chunks
    assert firmware_revision(bench, 0xC0) == "2.31"
    assert firmware_revision(bench, 0xC2) == "2.05"                  # the other board untouched


@pytest.mark.parametrize("accept, answer", [("none", "1 0 3 cc"), ("alternate", "1 0 3 cc")])
def test_refused_unlock_code_is_a_completion_code(bench_factory, tmp_path, accept, answer):
    bench = bench_factory(accept=accept)
    config = write_backend_config(tmp_path, bench.port)
    answers, _ = drive(config, [hex_line(0xC0, NETFN_FIRMWARE, CMD_ENTER_FW_XFER, UNLOCK), hex_line(0xC0, NETFN_APP, CMD_GET_DEVICE_ID)])
    assert answers == [answer, "1 0 18 00 01 01 01 10 02 01 91 12 00 00 01 00 00 00 00"]


def test_missing_bmc_fails_in_bounded_time_and_says_so_once(tmp_path):
    port = ipmisim_bench.free_udp_port()
    config = write_backend_config(tmp_path, port, session_timeout_ms=300,
                                  retransmission_timeout_ms=100)
    started = time.monotonic()
    answers, errors = drive(config, ["20 18 01"] * 3, timeout=30)
    assert answers == ["0 0 0"] * 3
    assert errors == f"velmoran-freeipmi: no BMC answered at 127.0.0.1:{port}\n"
    assert time.monotonic() - started < 10


def test_refused_password_gives_up_after_one_try(bench_factory, tmp_path):
    bench = bench_factory()
    config = write_backend_config(tmp_path, bench.port, password="wrong-password")
    answers, errors = drive(config, ["20 18 01"] * 5)
    assert answers == ["0 0 0"] * 5
    lines = errors.splitlines()
    assert len(lines) == 1
    assert lines[0].startswith(f"velmoran-freeipmi: the BMC at 127.0.0.1:{bench.port} "
                               "refused the session: ")


def test_a_lock_planted_where_every_user_may_write_turns_no_run_away(bench_factory, tmp_path):
    bench = bench_factory({0xC0: "1.10"})
    config = write_backend_config(tmp_path, bench.port)
    planted = pathlib.Path("/run/lock") / f"velmoran-freeipmi-lan-127.0.0.1-{bench.port}.lock"
    planted.write_text("\x1b[2J1\n")
    planted.chmod(0o666)
    holder = subprocess.Popen(["flock", "--exclusive", str(planted), "sleep", "60"])
    try:
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline and subprocess.run(["flock", "--nonblock", str(planted),
                                                              "true"]).returncode == 0:
            time.sleep(0.02)
        answers, errors = drive(config, ["20 18 01"])
    finally:
        holder.kill()
        holder.wait()
        planted.unlink()
    assert (answers, errors) == (["1 0 18 00 20 01 02 10 02 bf 91 12 00 00 01 00 00 00 00"], "")


@pytest.mark.parametrize("setup, message", [
    (lambda folder, config: config.write_text(config.read_text() + "colour = blue\n"),
     "freeipmi.conf:13: unknown setting or bad value for \"colour\""),
    (lambda folder, config: (folder / "bmc.password").chmod(0o644),
     "bmc.password: other users can access it; chmod o-rwx first"),
    (lambda folder, config: config.write_text(config.read_text() + "host = 192.0.2.66\n"),
     "freeipmi.conf:13: \"host\" is given again (first on line 3)"),
    (lambda folder, config: config.write_text(config.read_text().replace("open_session_privilege", "")),
     "freeipmi.conf:9: no value for \"workaround_flags\""),
    # What the file says is shown escaped, never sent raw to the terminal.
    (lambda folder, config: config.write_bytes(config.read_bytes() + b"col\x1b]0;owned\x07our\xff = blue\n"),
     "freeipmi.conf:13: unknown setting or bad value for \"col\\x1b]0;owned\\x07our\\xff\""),
])
def test_configuration_problems_are_named(tmp_path, setup, message):
    config = write_backend_config(tmp_path, ipmisim_bench.free_udp_port())
    setup(tmp_path, config)
    answers, errors = drive(config, ["20 18 01", "20 18 01"])
    assert answers == ["0 0 0"] * 2
    assert errors.count("velmoran-freeipmi: ") == 1
    assert message in errors
    assert "\x1b" not in errors


NOBODY = 65534
WRITABLE = "other users can write it; chmod go-w first"
OTHER_OWNER = "owned by another user; it must belong to root or to the user running velmoran"


def as_nobody(command, cwd):
    done = subprocess.run(["setpriv", "--reuid", str(NOBODY), "--regid", str(NOBODY), "--clear-groups", "--",
                           "/bin/sh", "-c", command], cwd=cwd, capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, f"{command}: {done.stderr}"


@pytest.fixture
def sticky_folder():
    """A sticky world-writable folder below /tmp, where `nobody` may plant
    files beside root's (pytest's own folders are private to root)."""
    if os.geteuid() != 0:
        pytest.skip("needs root to play another user")
    folder = pathlib.Path(tempfile.mkdtemp(prefix="velmoran-backend-", dir="/tmp"))
    folder.chmod(0o1777)
    yield folder
    shutil.rmtree(folder, ignore_errors=True)


# name, what root's files become or what `nobody` plants (in the folder,
# before the run), the file named, the rule broken
TRUST_CASES = [
    ("configuration_link_planted", "mv freeipmi.conf real.conf", "ln -s real.conf freeipmi.conf",
     "freeipmi.conf", "a symbolic link; name the file itself"),
    ("configuration_planted", "rm freeipmi.conf",
     "printf 'interface = lan\\nhost = 192.0.2.66\\nuser = admin\\npassword_file = bmc.password\\n' "
     "> freeipmi.conf", "freeipmi.conf", OTHER_OWNER),
    ("configuration_fifo_planted", "rm freeipmi.conf", "mkfifo freeipmi.conf", "freeipmi.conf",
     "not a regular file"),
    ("configuration_world_writable", "chmod 646 freeipmi.conf", None, "freeipmi.conf", WRITABLE),
    ("password_group_writable", "chmod 660 bmc.password", None, "bmc.password", WRITABLE),
    ("password_planted", "rm bmc.password", "echo guessed > bmc.password && chmod 600 bmc.password",
     "bmc.password", OTHER_OWNER),
    ("password_fifo_planted", "rm bmc.password", "mkfifo -m 600 bmc.password", "bmc.password",
     "not a regular file"),
    ("password_link_planted", "mv bmc.password real.password", "ln -s real.password bmc.password",
     "bmc.password", "a symbolic link; name the file itself"),
]


@pytest.mark.parametrize("name, by_root, by_nobody, named, rule", TRUST_CASES, ids=[case[0] for case in TRUST_CASES])
def test_files_another_user_could_have_changed_are_refused(sticky_folder, name, by_root, by_nobody, named, rule):
    config = write_backend_config(sticky_folder, ipmisim_bench.free_udp_port())
    subprocess.run(["/bin/sh", "-c", by_root], cwd=sticky_folder, check=True)
    if by_nobody:
        as_nobody(by_nobody, sticky_folder)
    started = time.monotonic()
    answers, errors = drive(config, ["20 18 01", "20 18 01"], timeout=60)
    assert answers == ["0 0 0"] * 2
    assert errors == f"velmoran-freeipmi: {sticky_folder / named}: {rule}\n"
    assert time.monotonic() - started < 30


# --- velmoran itself on the FreeIPMI backend -------------------------------

SLEEP_SHIM = ipmisim_bench.BUILD_DIR / "tests" / "shim" / "libsleepshim.so"
CLEAR = "\r" + " " * 74 + "\r"
BANNER = "\n   Velmoran Version:  1.09 \n   Copyright (c) 2026 The Velmoran Developers\n"
PROGRAM_ONLY = pytest.mark.skipif(not SLEEP_SHIM.exists(),
                                  reason="the sleep shim is not built; the program's waits would be real")


def data_file(folder, revision):
    """fwpack.dat with one simulated image of `revision`; returns the image bytes."""
    from datafiles import build, make_image
    image = make_image(folder, "image.bin", revision)
    build(folder, "fwpack.dat", "--rev", revision, image.name)
    return image.read_bytes()


def run_velmoran(folder, config, *arguments, stdin=b"Y\n"):
    environment = dict(backend_environment(config), LD_PRELOAD=str(SLEEP_SHIM))
    return run_binary([VELMORAN, *arguments], folder, stdin=stdin, env=environment,
                      timeout=300)


def flashed_board_text(name):
    progress = "".join(f"\r   Flash {percent}% Completed" for percent in range(1, 101))
    return (f"   Processing {name} \n\r   Erasing ..completed{CLEAR}{progress}{CLEAR}\r"
            f"   Flash Completed\n\r   Checking Revision {CLEAR}\r   Checking Revision completed\n")


@PROGRAM_ONLY
@pytest.mark.parametrize("drop_data", [0, 700])
def test_velmoran_updates_two_boards_over_lan(bench_factory, tmp_path, drop_data):
    """With drop_data one data reply per board is lost on the LAN on the way."""
    bench = bench_factory({0xC0: "1.10", 0xC2: "1.10"}, erase_polls=ERASE_POLLS,
                          drop_data=drop_data)
    config = write_backend_config(tmp_path, bench.port)
    image = data_file(tmp_path, "2.31")
    run = run_velmoran(tmp_path, config)
    table = ("\n   Firmware Versions                                 Current     Image\n"
             "    Primary Backplane ............................    1.10       2.31   \n"
             "    Secondary Backplane ..........................    1.10       2.31   \n")
    assert run.stdout == (BANNER + f"\r   Searching for devices ...{CLEAR}"
                          + f"\r   Loading file, please wait {CLEAR}"
                          + "\r   Loading file completed    CRC Complete \n" + table
                          + "\n   Continue ? Y/N: " + flashed_board_text("Primary Backplane")
                          + flashed_board_text("Secondary Backplane"))
    assert (run.stderr, run.rc) == ("", 0)
    # The program sends the image with its first two bytes replaced by 0x00 0xB0.
    expected = b"\x00\xb0" + image[2:TRANSFER_SIZE]
    for address in (0xC0, 0xC2):
        assert firmware_revision(bench, address) == "2.31"
        assert bench.written_image(address) == expected
        assert int(bench.counters(address)["enters"]) == 1


SCRIPT_LOGGING_ITS_CALLS = '#!/bin/sh\necho "$0 $1" >> "$(dirname "$0")/service.log"\n'


@PROGRAM_ONLY
@pytest.mark.parametrize("interface, calls", [("lan", []), ("inband", ["./tesselinstall.sh checkstatus"])])
def test_only_an_inband_run_uses_this_servers_driver_service(bench_factory, tmp_path, interface, calls):
    """Over the LAN the BMC is another server's: the install script beside
    the run is never called; in-band it is, as with the maker's library."""
    script = tmp_path / "tesselinstall.sh"
    script.write_text(SCRIPT_LOGGING_ITS_CALLS)
    script.chmod(0o755)
    data_file(tmp_path, "2.31")
    if interface == "lan":
        config = write_backend_config(tmp_path, bench_factory({0xC0: "1.10"}, erase_polls=ERASE_POLLS).port)
    else:
        config = tmp_path / "inband.conf"
        config.write_text("interface = inband\n")
        config.chmod(0o600)
    run = run_velmoran(tmp_path, config, "-revision")
    log = tmp_path / "service.log"
    assert (log.read_text().splitlines() if log.exists() else []) == calls
    if interface == "lan":
        assert (run.stderr, run.rc) == ("", 0)


@PROGRAM_ONLY
def test_velmoran_flashes_the_board_that_answers(bench_factory, tmp_path):
    bench = bench_factory({0xC0: "1.10"}, erase_polls=ERASE_POLLS)
    config = write_backend_config(tmp_path, bench.port)
    data_file(tmp_path, "2.31")
    run = run_velmoran(tmp_path, config, "-q")
    assert (run.stdout, run.stderr, run.rc) == ("", "", 0)
    assert firmware_revision(bench, 0xC0) == "2.31"
    assert bench.written_image(0xC2) is None


@PROGRAM_ONLY
def test_velmoran_reports_refused_unlock_codes(bench_factory, tmp_path):
    bench = bench_factory({0xC0: "1.10", 0xC2: "1.10"}, accept="none")
    config = write_backend_config(tmp_path, bench.port)
    data_file(tmp_path, "2.31")
    run = run_velmoran(tmp_path, config, "-q")
    assert (run.stdout, run.stderr, run.rc) == ("", "\n   Flash Failed\n", 11)
    assert firmware_revision(bench, 0xC0) == "1.10"
    assert bench.counters(0xC0) == {}


@PROGRAM_ONLY
def test_velmoran_without_boards_finds_none(bench_factory, tmp_path):
    bench = bench_factory({})
    config = write_backend_config(tmp_path, bench.port)
    data_file(tmp_path, "2.31")
    run = run_velmoran(tmp_path, config)
    assert (run.stdout, run.stderr, run.rc) == (
        BANNER + f"\r   Searching for devices ...{CLEAR}", "\r   No devices found\n", 10)


@PROGRAM_ONLY
def test_velmoran_without_bmc_ends_in_bounded_time(tmp_path):
    port = ipmisim_bench.free_udp_port()
    config = write_backend_config(tmp_path, port, session_timeout_ms=300,
                                  retransmission_timeout_ms=100)
    data_file(tmp_path, "2.31")
    started = time.monotonic()
    run = run_velmoran(tmp_path, config)
    assert (run.stdout, run.stderr, run.rc) == (
        BANNER, f"velmoran-freeipmi: no BMC answered at 127.0.0.1:{port}\n"
                "   IPMB enable channel failed \n", 27)
    assert time.monotonic() - started < 20


BMC_GONE = ("velmoran-freeipmi: no BMC answered at 127.0.0.1:{port}\n"
            "velmoran-freeipmi: the session with the BMC was lost and no new one could be opened; "
            "no further requests are sent\n")


@PROGRAM_ONLY
@pytest.mark.parametrize("die", ["erase", "data:500"])
def test_velmoran_ends_quickly_when_the_bmc_dies(bench_factory, tmp_path, die):
    """The emulated BMC is killed mid-erase or mid-data; the backend's own
    default timeouts apply."""
    bench = bench_factory({0xC0: "1.10", 0xC2: "1.10"}, erase_polls=ERASE_POLLS, die=die)
    config = write_backend_config(tmp_path, bench.port, session_timeout_ms=None,
                                  retransmission_timeout_ms=None)
    data_file(tmp_path, "2.31")
    started = time.monotonic()
    run = run_velmoran(tmp_path, config)
    elapsed = time.monotonic() - started

    assert (run.stderr, run.rc) == (BMC_GONE.format(port=bench.port) + "\n   Flash Failed\n", 11)
    assert "   Processing Primary Backplane \n" in run.stdout
    assert "Secondary" not in run.stdout.split("Continue ? Y/N: ")[1]
    assert elapsed < 60
    # The failure path ran: the panel's restore was tried and could not be
    # sent, so the record keeps it for the next run; the users were restarted.
    record = (tmp_path / ".velmoran-state" / "recovery").read_text().splitlines()
    assert record[4:] == ["panel locked 0xF0", "users untouched", "board none"]


@PROGRAM_ONLY
def test_second_run_on_the_same_bmc_is_turned_away(bench_factory, tmp_path):
    bench = bench_factory({0xC0: "1.10"}, erase_polls=ERASE_POLLS)
    config = write_backend_config(tmp_path, bench.port)
    data_file(tmp_path, "2.31")
    LOCK_FOLDER.mkdir(mode=0o755, exist_ok=True)
    lock = LOCK_FOLDER / f"velmoran-freeipmi-lan-127.0.0.1-{bench.port}.lock"
    holder = subprocess.Popen(["flock", "--exclusive", str(lock), "sh", "-c", 'echo $PPID > "$0"; sleep 60',
                               str(lock)])
    try:
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline and not (lock.exists() and lock.read_text().strip()):
            time.sleep(0.02)
        holder_pid = lock.read_text().strip()
        run = run_velmoran(tmp_path, config)
    finally:
        holder.kill()
        holder.wait()
    assert (run.stdout, run.rc) == (BANNER, 27)
    assert run.stderr == (f"velmoran-freeipmi: the BMC at 127.0.0.1 port {bench.port} is in use by process "
                          f"{holder_pid}\n   IPMB enable channel failed \n")
    assert bench.counters(0xC0) == {}
    assert firmware_revision(bench, 0xC0) == "1.10"
