# SPDX-License-Identifier: GPL-3.0-or-later
"""The backplane modules' reading of velmoran's output: every document here is
printed by the real binary on the simulated platform, then read by the
collection's shared module code."""

import pathlib
import re
import signal

import pytest

import ipmisim_bench
from conftest import SOURCE_DIR, VELMORAN
from datafiles import build, make_image, reseal, set_file_header, SIGNATURE_OFFSET, FILE_HEADER
from fleet import load_module_utils
from ipmisim_bench import BACKEND_DIR, PASSWORD, USER, IpmiSimBench
from simplatform import PRIMARY, SECONDARY, MEDIA_BAY, SLEEP_SHIM, Board, Fault, Platform, SimPlatform

vm = load_module_utils()

LOG = "run.log"


@pytest.fixture(scope="module")
def data_file(tmp_path_factory):
    folder = tmp_path_factory.mktemp("pack")
    make_image(folder, "bp.bin", "1.06")
    return bytes(build(folder, "fwpack.dat", "--rev", "1.06", "bp.bin"))


def flash(tmp_path, boards, data, *options, **platform):
    """One non-interactive flash run as the update module starts it; returns
    (status, result document, log text)."""
    sim = SimPlatform(tmp_path, Platform(boards=boards, **platform))
    files = {"fwpack.dat": data} if data is not None else {}
    run = sim.run("-quiet", "-fml", *options, f"-log={LOG}", files=files)
    log = (sim.cwd / LOG).read_text(encoding="latin-1") if (sim.cwd / LOG).exists() else ""
    return run.rc, run.stdout, log


def outcomes(status, stdout, log, **policy):
    document = vm.parse_result(stdout)
    boards = vm.board_outcomes(status, vm.parse_version_table(log), document, **policy)
    return document, [(b["name"], b["ipmb_address"], b["before"], b["image"], b["after"], b["outcome"], b["message"])
                      for b in boards]


# boards, options, exit status, per board: (name, address, before, image, after, outcome, message)
RUNS = [
    ("all flashed", [Board(PRIMARY), Board(SECONDARY)], (), 0, [
        ("Primary Backplane", "0xC0", "1.05", "1.06", "1.06", "flashed", "Update Successful."),
        ("Secondary Backplane", "0xC2", "1.05", "1.06", "1.06", "flashed", "Update Successful.")]),
    ("one up to date, one flashed", [Board(PRIMARY, revision=(1, 6)), Board(SECONDARY)], (), 0, [
        ("Primary Backplane", "0xC0", "1.06", "1.06", "1.06", "up to date", "Not Updated"),
        ("Secondary Backplane", "0xC2", "1.05", "1.06", "1.06", "flashed", "Update Successful.")]),
    ("first flash fails", [Board(PRIMARY, refuse_chunk=3), Board(SECONDARY)], (), 11, [
        ("Primary Backplane", "0xC0", "1.05", "1.06", None, "failed", "Update Failed."),
        ("Secondary Backplane", "0xC2", "1.05", "1.06", "1.05", "not updated", "Not Updated")]),
    ("second flash fails", [Board(PRIMARY), Board(SECONDARY, refuse_chunk=7)], (), 11, [
        ("Primary Backplane", "0xC0", "1.05", "1.06", "1.06", "flashed", "Update Successful."),
        ("Secondary Backplane", "0xC2", "1.05", "1.06", None, "failed", "Update Failed.")]),
    ("board stays in transfer mode", [Board(PRIMARY, refuse_exit=True)], (), 14, [
        ("Primary Backplane", "0xC0", "1.05", "1.06", None, "failed", "Update Failed.")]),
    ("nothing to do", [Board(PRIMARY, revision=(1, 6)), Board(SECONDARY, revision=(1, 7))], (), 1, [
        ("Primary Backplane", "0xC0", "1.06", "1.06", "1.06", "up to date", "Not Updated"),
        ("Secondary Backplane", "0xC2", "1.07", "1.06", "1.07", "downgrade refused", "Not Updated")]),
    ("downgrade allowed", [Board(PRIMARY, revision=(1, 6)), Board(SECONDARY, revision=(1, 7))], ("-d",), 0, [
        ("Primary Backplane", "0xC0", "1.06", "1.06", "1.06", "up to date", "Not Updated"),
        ("Secondary Backplane", "0xC2", "1.07", "1.06", "1.06", "flashed", "Update Successful.")]),
    ("forced", [Board(PRIMARY, revision=(1, 6)), Board(SECONDARY, revision=(1, 7))], ("-force",), 0, [
        ("Primary Backplane", "0xC0", "1.06", "1.06", "1.06", "flashed", "Update Successful."),
        ("Secondary Backplane", "0xC2", "1.07", "1.06", "1.06", "flashed", "Update Successful.")]),
    ("boot block", [Board(PRIMARY, revision=(0x81, 0x07))], (), 0, [
        ("Primary Backplane", "0xC0", "BB1.07", "1.06", "1.06", "flashed", "Update Successful.")]),
]


@pytest.mark.parametrize("boards, options, status, expected", [run[1:] for run in RUNS], ids=[run[0] for run in RUNS])
def test_flash_run_outcomes_per_board(tmp_path, data_file, boards, options, status, expected):
    rc, stdout, log = flash(tmp_path, boards, data_file, *options)
    assert rc == status
    policy = {"force": "-force" in options, "allow_downgrade": "-d" in options}
    document, boards_seen = outcomes(rc, stdout, log, **policy)
    assert boards_seen == expected
    assert document["reboot_required"] == any(board[5] == "flashed" for board in expected)
    assert vm.program_version(log) == "1.09"


def test_platform_with_three_boards_lists_the_media_bay(tmp_path, data_file):
    rc, stdout, log = flash(tmp_path, [Board(PRIMARY), Board(SECONDARY), Board(MEDIA_BAY, revision=(1, 6))],
                            data_file, system_id=0x016E)
    assert rc == 0
    _, seen = outcomes(rc, stdout, log)
    assert [(board[0], board[1], board[5]) for board in seen] == [
        ("Primary Backplane", "0xC0", "flashed"), ("Secondary Backplane", "0xC2", "flashed"),
        ("Media Bay", "0xC4", "up to date")]


def patched(data, change):
    changed = bytearray(data)
    change(changed)
    return bytes(changed)


def crc_broken(data):
    data[-1] ^= 0x80


def signature_broken(data):
    data[SIGNATURE_OFFSET] = ord("q")
    reseal(data)


def version_3(data):
    set_file_header(data, version=3)
    reseal(data)


def other_device_type(data):
    data[FILE_HEADER.size + 1] = 5
    data[FILE_HEADER.size + 2] = 0
    reseal(data)


# exit status, how the run is made to fail, the result document's message,
# whether the version table (and so the boards) reached the log
FAILURES = [
    (2, dict(data=None), (2, "File Not Found"), True),
    (5, dict(change=crc_broken), (5, "CRC Failed"), False),
    (6, dict(change=signature_broken), (6, "Data File Not Recognized"), False),
    (9, dict(change=other_device_type), (9, "Bad Data"), False),
    # No board answered: the result document lists none and carries no message.
    (10, dict(boards=[Board(PRIMARY, silent=True), Board(SECONDARY, silent=True)]), None, False),
    (15, dict(change=version_3), (15, "Version Not Supported"), False),
    (23, dict(options=("-bogus",)), None, False),
    (24, dict(platform={"system_id": 0x0001}), None, False),
]


@pytest.mark.parametrize("status, how, message, table", FAILURES, ids=[str(case[0]) for case in FAILURES])
def test_failed_runs_report_status_meaning_and_message(tmp_path, data_file, status, how, message, table):
    data = how.get("data", data_file)
    if "change" in how:
        data = patched(data_file, how["change"])
    boards = how.get("boards", [Board(PRIMARY), Board(SECONDARY)])
    rc, stdout, log = flash(tmp_path, boards, data, *how.get("options", ()), **how.get("platform", {}))
    assert rc == status
    assert vm.exit_meaning(rc) not in ("success", "failed")
    if status == 23:
        assert stdout.strip() == "" or "SVMExecution" not in stdout
        return
    document = vm.parse_result(stdout)
    assert document["boards"] == []
    if message is None:
        assert document["status"] is None          # the empty form
    else:
        assert (document["status"]["id"], document["status"]["text"]) == message
    rows = vm.parse_version_table(log)
    assert bool(rows) == table
    if table:
        seen = vm.board_outcomes(rc, rows, document)
        assert [(b["name"], b["before"], b["image"], b["outcome"]) for b in seen] == [
            ("Primary Backplane", "1.05", None, "no image"), ("Secondary Backplane", "1.05", None, "no image")]
    assert vm.log_tail(tmp_path / "run" / LOG)


def test_library_missing_gives_the_empty_document(tmp_path, data_file):
    sim = SimPlatform(tmp_path)
    empty = tmp_path / "no-library"
    empty.mkdir()
    run = sim.run("-quiet", "-fml", f"-log={LOG}", files={"fwpack.dat": data_file}, libraries=[empty])
    assert run.rc == 27
    document = vm.parse_result(run.stdout)
    assert (document["boards"], document["status"]) == ([], None)
    assert vm.exit_meaning(27) == "management library not loaded or IPMB channel not enabled"
    assert vm.failure_message(27, run.stderr) == \
        "velmoran ended with status 27: management library not loaded or IPMB channel not enabled"
    # A backend's own line leads; velmoran's own (blank-led) lines do not.
    assert vm.failure_message(27, "velmoran-freeipmi: no BMC answered at 192.0.2.1:623\n"
                                  "\r   IPMB enable channel failed \n") == (
        "velmoran-freeipmi: no BMC answered at 192.0.2.1:623; check velmoran_bmc_host (option bmc_host) and "
        "velmoran_bmc_port (option bmc_port) (velmoran ended with status 27: management library not loaded or "
        "IPMB channel not enabled)")
    assert vm.failure_message(11, "\r   IPMB enable channel failed \n") == \
        "velmoran ended with status 11: flash failed (IPMB enable channel failed)"


def test_inventory_documents(tmp_path, data_file):
    sim = SimPlatform(tmp_path / "two", Platform(boards=[Board(PRIMARY, revision=(1, 0x10)),
                                                         Board(SECONDARY, revision=(0x82, 0x01))]))
    run = sim.run("-xml")
    assert run.rc == 0
    assert vm.parse_inventory(run.stdout) == {"status": None, "boards": [
        {"name": "Primary Backplane", "revision": "1.10"}, {"name": "Secondary Backplane", "revision": "0.00"}]}

    silent = SimPlatform(tmp_path / "silent", Platform(boards=[Board(PRIMARY, silent=True)]))
    run = silent.run("-xml")
    assert run.rc == 0
    assert vm.parse_inventory(run.stdout) == {"status": None, "boards": []}

    broken = SimPlatform(tmp_path / "crc")
    run = broken.run("-xml", files={"fwpack.dat": patched(data_file, crc_broken)})
    assert run.rc == 5
    assert vm.parse_inventory(run.stdout)["status"] == {"id": 5, "text": "CRC Failed", "result": False}


@pytest.mark.parametrize("revisions, force, downgrade, expected", [
    (((1, 5), (1, 6)), False, False, ["flashed", "up to date"]),
    (((1, 7), (0x81, 0x06)), False, False, ["downgrade refused", "flashed"]),
    (((1, 7), (1, 6)), False, True, ["flashed", "up to date"]),
    (((1, 7), (1, 6)), True, False, ["flashed", "flashed"]),
])
def test_revision_table_and_policy_decide_what_would_be_flashed(tmp_path, data_file, revisions, force, downgrade,
                                                                expected):
    sim = SimPlatform(tmp_path, Platform(boards=[Board(PRIMARY, revision=revisions[0]),
                                                 Board(SECONDARY, revision=revisions[1])]))
    run = sim.run("-revision", files={"fwpack.dat": data_file})
    assert run.rc == 0
    rows = vm.parse_version_table(run.stdout)
    assert [row["name"] for row in rows] == ["Primary Backplane", "Secondary Backplane"]
    assert [vm.decide(row, force, downgrade) for row in rows] == expected
    assert run.state.boards[0].revision == revisions[0]           # nothing flashed


def test_exit_meanings_are_the_readme_table():
    readme = (SOURCE_DIR / "README.md").read_text()
    paragraph = readme[readme.index("Exit status: 0 on success"):]
    paragraph = " ".join(paragraph[:paragraph.index("\n\n")].split())
    listed = dict((int(code), text.strip()) for code, text in
                  re.findall(r"(\d+) ([a-zA-Z][^,.]*?)(?=, \d+ |\.$|, |\.)", paragraph.split("result code:")[1]))
    assert listed == {code: text for code, text in vm.EXIT_MEANINGS.items() if code != 0}


def test_run_that_outlasts_its_time_is_ended_with_sigterm(tmp_path, monkeypatch):
    status, _, _, timed_out, seconds = vm.run_program(["sleep", "30"], tmp_path, {"PATH": "/usr/bin:/bin"}, 1)
    assert (status, timed_out) == (-15, True) and seconds < 10
    # One that ignores SIGTERM is killed after the grace time.
    monkeypatch.setattr(vm, "TERM_GRACE_SECONDS", 1)
    stubborn = "import signal, time; signal.signal(signal.SIGTERM, signal.SIG_IGN); time.sleep(30)"
    status, _, _, timed_out, seconds = vm.run_program(["/usr/bin/python3", "-c", stubborn], tmp_path,
                                                      {"PATH": "/usr/bin:/bin"}, 1)
    assert (status, timed_out) == (-9, True) and seconds < 10
    assert vm.exit_meaning(-9) == "ended by signal 9"


def test_lan_configuration_lives_in_a_private_folder_removed_on_every_path():
    params = {"bmc_host": "192.0.2.10", "bmc_port": 6230, "bmc_user": "fwadmin", "bmc_password": "s3cret",
              "cipher_suite": 17, "privilege": "operator", "workaround_flags": ["intel_2_0_session"],
              "session_timeout_ms": 3000, "retransmission_timeout_ms": None, "system_id": "16D"}
    with pytest.raises(RuntimeError):
        with vm.PrivateFolder() as folder:
            config = vm.freeipmi_config(folder, params)
            kept = pathlib.Path(folder.path)
            assert kept.stat().st_mode & 0o777 == 0o700
            password = kept / "bmc.password"
            assert password.read_text() == "s3cret\n" and password.stat().st_mode & 0o777 == 0o600
            assert pathlib.Path(config).read_text() == (
                "interface = lan\nhost = 192.0.2.10\nport = 6230\nuser = fwadmin\n"
                f"password_file = {password}\ncipher_suite = 17\nprivilege = operator\n"
                "workaround_flags = intel_2_0_session\nsession_timeout_ms = 3000\nsystem_id = 16D\n")
            raise RuntimeError("the run went wrong")
    assert not kept.exists()


# Where velmoran is killed, as a rule on a board's requests: its fifth data
# command, or its third Get Device ID (the first erase poll).
FW_DATA = (0x20, 0x01, 5)
ERASE_POLL = (0x18, 0x01, 2)


def kill_at(address, where):
    netfn, command, after = where
    return Fault(address, netfn, command, "signal=KILL", 1, after=after)


# boards, where the run is killed, the board the recovery record names, and
# per board: (name, after, outcome, message)
KILLS = [
    ("in the first board's data", [Board(PRIMARY), Board(SECONDARY)], kill_at(PRIMARY, FW_DATA),
     "Primary Backplane", [("Primary Backplane", None, "failed", vm.MESSAGE_LEFT_MID_TRANSFER),
                           ("Secondary Backplane", "1.05", "not updated", None)]),
    ("in the second board's data", [Board(PRIMARY), Board(SECONDARY)], kill_at(SECONDARY, FW_DATA),
     "Secondary Backplane", [("Primary Backplane", "1.06", "flashed", vm.MESSAGE_CHECKED_BEFORE_END),
                             ("Secondary Backplane", None, "failed", vm.MESSAGE_LEFT_MID_TRANSFER)]),
    ("in the second board's erase, the first up to date", [Board(PRIMARY, revision=(1, 6)), Board(SECONDARY)],
     kill_at(SECONDARY, ERASE_POLL), "Secondary Backplane",
     [("Primary Backplane", "1.06", "up to date", "Not Updated"),
      ("Secondary Backplane", None, "failed", vm.MESSAGE_LEFT_MID_TRANSFER)]),
]


@pytest.mark.parametrize("boards, fault, in_transfer, expected", [kill[1:] for kill in KILLS],
                         ids=[kill[0] for kill in KILLS])
def test_killed_run_is_read_from_its_log_and_recovery_record(tmp_path, data_file, boards, fault, in_transfer,
                                                             expected):
    sim = SimPlatform(tmp_path, Platform(boards=boards, faults=[fault]))
    run = sim.run("-quiet", "-fml", f"-log={LOG}", files={"fwpack.dat": data_file})
    assert (run.rc, run.stdout) == (-signal.SIGKILL, "")
    with pytest.raises(vm.VelmoranOutputError):
        vm.parse_result(run.stdout)
    record = vm.record_left_by_this_run(sim.recovery_dir)
    assert (record["board_name"], record["users"]) == (in_transfer, "stopped")
    log = (sim.cwd / LOG).read_text(encoding="latin-1")
    boards_seen = vm.board_outcomes(run.rc, vm.parse_version_table(log), None,
                                    progress=vm.flash_progress(log), in_transfer=record["board_name"])
    assert [(b["name"], b["after"], b["outcome"], b["message"]) for b in boards_seen] == expected

    # Without the record, the log alone still shows the board begun and not finished.
    alone = vm.board_outcomes(run.rc, vm.parse_version_table(log), None, progress=vm.flash_progress(log))
    assert [b["outcome"] for b in alone] == [board[2] for board in expected]


def test_recovery_record_of_an_earlier_run_or_boot_is_not_this_runs(tmp_path):
    boot = pathlib.Path("/proc/sys/kernel/random/boot_id").read_text().strip()
    record = "velmoran-recovery 1\npid 77\nstart {start}\nboot {boot}\npanel locked 0xF0\nusers stopped\n{board}\n"
    later = 1 << 62
    secondary = "board 0xC2 Secondary Backplane"
    cases = [
        (record.format(start=later, boot=boot, board=secondary), ("0xC2", "Secondary Backplane")),
        (record.format(start=later, boot=boot, board="board none"), (None, None)),
        (record.format(start=1, boot=boot, board=secondary), None),
        (record.format(start=later, boot="0" * 36, board=secondary), None),
        (record.format(start=later, boot=boot, board="board C2"), None),
        ("", None),
    ]
    for text, expected in cases:
        (tmp_path / "recovery").write_text(text)
        found = vm.record_left_by_this_run(tmp_path)
        assert (found and (found["board_address"], found["board_name"])) == expected, text


def lan_params(port, **changed):
    params = {"backend": "lan", "bmc_host": "127.0.0.1", "bmc_port": port, "bmc_user": USER,
              "bmc_password": PASSWORD, "cipher_suite": 3, "privilege": "admin",
              "workaround_flags": ["open_session_privilege"], "session_timeout_ms": 1000,
              "retransmission_timeout_ms": 200, "system_id": "16D", "library_path": str(BACKEND_DIR),
              "state_dir": None, "program_environment": {"LD_PRELOAD": str(SLEEP_SHIM)}}
    params.update(changed)
    return params


STATUS_27 = " (velmoran ended with status 27: management library not loaded or IPMB channel not enabled)"
# What is wrong, whether a BMC answers, the settings, and the message.
CAUSES = [
    ("nothing answers", False, {},
     "velmoran-freeipmi: no BMC answered at 127.0.0.1:{port}; check velmoran_bmc_host (option bmc_host) and "
     "velmoran_bmc_port (option bmc_port)" + STATUS_27),
    ("wrong password", True, {"bmc_password": "not-the-password"},
     re.compile(r"velmoran-freeipmi: the BMC at 127\.0\.0\.1:{port} refused the session: [^;]*password[^;]*; "
                r"check velmoran_bmc_password \(option bmc_password\)" + re.escape(STATUS_27))),
    ("empty host", False, {"bmc_host": ""},
     "velmoran-freeipmi: line 2 of the FreeIPMI configuration the module wrote: no value for \"host\"; check "
     "velmoran_bmc_host (option bmc_host)" + STATUS_27),
]


@pytest.mark.skipif(bool(ipmisim_bench.missing_parts()), reason="ipmi_sim bench not available")
@pytest.mark.parametrize("answers, changed, expected", [cause[1:] for cause in CAUSES], ids=[c[0] for c in CAUSES])
def test_lan_failure_leads_with_the_backends_cause_and_the_variable_to_fix(tmp_path, data_file, answers, changed,
                                                                           expected):
    bench = IpmiSimBench(tmp_path / "bmc", {0xC0: "1.05"}).start() if answers else None
    try:
        port = bench.port if bench else ipmisim_bench.free_udp_port()
        params = lan_params(port, **changed)
        (tmp_path / "fwpack.dat").write_bytes(data_file)
        with vm.PrivateFolder() as folder:
            environment = vm.program_environment(dict(params, state_dir=str(tmp_path / "state")), folder)
            status, _, stderr, _, _ = vm.run_program(
                [str(VELMORAN), "-quiet", "-fml", f"-input={tmp_path / 'fwpack.dat'}", f"-log={tmp_path / LOG}"],
                folder.path, environment, 60)
            message = vm.failure_message(status, stderr, folder.path, params)
            private = folder.path
    finally:
        if bench:
            bench.stop()
    assert status == 27
    assert private not in message
    if isinstance(expected, str):
        assert message == expected.format(port=port)
    else:
        assert re.fullmatch(expected.pattern.replace("{port}", str(port)), message), message
