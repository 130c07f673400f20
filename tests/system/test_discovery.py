# SPDX-License-Identifier: GPL-3.0-or-later
"""Finding the boards: which boards a platform carries, which of them answer,
and the runs that end before any board is looked at."""

import pytest

from flashing import table, table_line
from simplatform import (BMC, ENABLE_IPMB, MEDIA_BAY, PRIMARY, SECONDARY, SIM_DIR, SIM_VARIANTS, Board, Fault,
                         Platform, SimPlatform, banner, get_device_id)

CLEAR_LINE = "\r" + " " * 74 + "\r"
SEARCHING = "\r   Searching for devices ..." + CLEAR_LINE
NOT_SUPPORTED = "   System not supported \n"
NO_DEVICES = "\r   No devices found\n"
FAILED_LOADING = "\r   Failed loading driver \n"
IPMB_FAILED = "   IPMB enable channel failed \n"
# Without a data file the run ends after showing the boards found (exit 2).
NO_DATA_FILE = "\r   Cannot find fwpack.dat \n"
FILE_NOT_FOUND = 2
# Each board reports its own revision, so the table shows whose answer went where.
REVISIONS = {PRIMARY: (0x01, 0x05), SECONDARY: (0x02, 0x10), MEDIA_BAY: (0x81, 0x07)}
ALL_BOARDS = [Board(address, revision=revision) for address, revision in REVISIONS.items()]


def found(*addresses):
    """Standard output of a run that found `addresses` and has no data file."""
    return banner() + SEARCHING + NO_DATA_FILE + table([table_line(address, REVISIONS[address]) for address in addresses])


@pytest.mark.parametrize("system_id, asked", [
    (0x016C, [PRIMARY]),
    (0x016D, [PRIMARY, SECONDARY]),
    (0x016E, [PRIMARY, SECONDARY, MEDIA_BAY]),
    (0x017D, [PRIMARY, SECONDARY, MEDIA_BAY]),
    (0x0170, [PRIMARY, SECONDARY, MEDIA_BAY]),
])
def test_asks_exactly_the_boards_the_platform_carries(tmp_path, system_id, asked):
    # Every board answers, so only the platform table limits the questions.
    run = SimPlatform(tmp_path, Platform(system_id=system_id, boards=ALL_BOARDS)).run()
    assert (run.rc, run.stdout, run.stderr) == (FILE_NOT_FOUND, found(*asked), "")
    assert run.request_lines() == [ENABLE_IPMB] + [get_device_id(address) for address in asked]
    assert run.sleeps_ms == []


@pytest.mark.parametrize("system_id", [0x0183, 0x0184, 0x0185, 0x018A, 0x019A])
def test_platform_without_boards_asks_none_and_reports_no_devices(tmp_path, system_id):
    run = SimPlatform(tmp_path, Platform(system_id=system_id, boards=ALL_BOARDS)).run()
    assert (run.rc, run.stdout, run.stderr) == (10, banner() + SEARCHING, NO_DEVICES)
    assert run.request_lines() == [ENABLE_IPMB]


@pytest.mark.parametrize("platform", [
    Platform(system_id=0x0171),
    Platform(system_id=0x0000),
    # A plain byte is taken as it is: 0x6D is not 0x016D.
    Platform(system_id=0x016D, host_info="plain"),
    # Host information failing (0 or any value but 1) leaves system ID 0.
    Platform(system_id=0x016D, host_info="fail", host_info_failure=0),
    Platform(system_id=0x016D, host_info="fail", host_info_failure=2),
], ids=["unknown", "zero", "plain-byte", "host-info-fails", "host-info-returns-2"])
def test_unknown_platform_is_not_supported_and_no_board_is_asked(tmp_path, platform):
    run = SimPlatform(tmp_path, platform).run()
    assert (run.rc, run.stdout, run.stderr) == (24, banner(), NOT_SUPPORTED)
    assert run.request_lines() == [ENABLE_IPMB]


def test_extended_id_reported_through_escape_byte_is_recognised(tmp_path):
    run = SimPlatform(tmp_path, Platform(system_id=0x016C, host_info="escape", boards=ALL_BOARDS)).run()
    assert (run.rc, run.stdout, run.stderr) == (FILE_NOT_FOUND, found(PRIMARY), "")
    assert run.request_lines() == [ENABLE_IPMB, get_device_id(PRIMARY)]


def test_silent_board_is_skipped_after_its_attempts_and_the_others_are_found(tmp_path):
    boards = [Board(PRIMARY, revision=REVISIONS[PRIMARY]), Board(SECONDARY, silent=True),
              Board(MEDIA_BAY, revision=REVISIONS[MEDIA_BAY])]
    run = SimPlatform(tmp_path, Platform(system_id=0x016E, boards=boards)).run()
    assert (run.rc, run.stdout, run.stderr) == (FILE_NOT_FOUND, found(PRIMARY, MEDIA_BAY), "")
    assert run.request_lines() == ([ENABLE_IPMB, get_device_id(PRIMARY)] + [get_device_id(SECONDARY)] * 5 +
                                   [get_device_id(MEDIA_BAY)])
    assert run.sleeps_ms == [200] * 5


def test_board_missing_from_the_bus_counts_as_silent(tmp_path):
    # The platform carries two backplanes but only the secondary is there.
    run = SimPlatform(tmp_path, Platform(system_id=0x016D, boards=[Board(SECONDARY, revision=REVISIONS[SECONDARY])])).run()
    assert (run.rc, run.stdout, run.stderr) == (FILE_NOT_FOUND, found(SECONDARY), "")
    assert run.request_lines() == [ENABLE_IPMB] + [get_device_id(PRIMARY)] * 5 + [get_device_id(SECONDARY)]


def test_all_carried_boards_silent_reports_no_devices(tmp_path):
    boards = [Board(PRIMARY, silent=True)]
    run = SimPlatform(tmp_path, Platform(system_id=0x016C, boards=boards)).run()
    assert (run.rc, run.stdout, run.stderr) == (10, banner() + SEARCHING, NO_DEVICES)
    assert run.request_lines() == [ENABLE_IPMB] + [get_device_id(PRIMARY)] * 5
    assert run.sleeps_ms == [200] * 5


@pytest.mark.parametrize("kind", ["cc=0xC0", "driver", "noexchange", "short", "overlong"])
def test_board_answering_after_failed_attempts_is_found(tmp_path, kind):
    # Two failed attempts of any kind, then an answer: the third attempt counts.
    platform = Platform(system_id=0x016C, boards=[Board(MEDIA_BAY), Board(PRIMARY, revision=REVISIONS[PRIMARY])],
                        faults=[Fault(PRIMARY, 0x18, 0x01, kind, 2)])
    run = SimPlatform(tmp_path, platform).run()
    assert (run.rc, run.stdout, run.stderr) == (FILE_NOT_FOUND, found(PRIMARY), "")
    assert run.request_lines() == [ENABLE_IPMB] + [get_device_id(PRIMARY)] * 3
    assert run.sleeps_ms == [200, 200]


@pytest.mark.parametrize("libraries", [
    [],
    [SIM_VARIANTS / "no_ipmi_entry", SIM_DIR],
    [SIM_VARIANTS / "no_host_info_entry", SIM_DIR],
], ids=["no-library", "no-ipmi-entry", "no-host-info-entry"])
def test_library_that_cannot_be_loaded_ends_the_run_with_27(tmp_path, libraries):
    run = SimPlatform(tmp_path).run(libraries=[tmp_path / "empty"] + libraries)
    assert (run.rc, run.stdout, run.stderr) == (27, banner(), FAILED_LOADING)
    assert run.requests == []


def test_base_library_missing_alone_fails_the_load(tmp_path):
    only_ipmi = tmp_path / "only_ipmi"
    only_ipmi.mkdir()
    (only_ipmi / "libqrxipm32.so").symlink_to(SIM_DIR / "libqrxipm32.so")
    run = SimPlatform(tmp_path).run(libraries=[only_ipmi])
    assert (run.rc, run.stdout, run.stderr) == (27, banner(), FAILED_LOADING)


@pytest.mark.parametrize("platform", [
    Platform(faults=[Fault(BMC, 0x18, 0x32, "cc=0xC1")]),
    Platform(faults=[Fault(BMC, 0x18, 0x32, "driver")]),
    Platform(faults=[Fault(BMC, 0x18, 0x32, "noexchange")]),
    Platform(faults=[Fault(BMC, 0x18, 0x32, "short")]),
    Platform(faults=[Fault(BMC, 0x18, 0x32, "overlong")]),
    Platform(bmc_silent=True),
], ids=["refused", "driver-error", "not-carried-out", "short-answer", "overlong-answer", "silent-bmc"])
def test_ipmb_channel_not_enabled_ends_the_run_with_27(tmp_path, platform):
    run = SimPlatform(tmp_path, platform).run()
    assert (run.rc, run.stdout, run.stderr) == (27, banner(), IPMB_FAILED)
    assert run.request_lines() == [ENABLE_IPMB] * 5
    assert run.sleeps_ms == [200] * 5


def test_ipmb_channel_enabled_on_the_last_attempt(tmp_path):
    platform = Platform(system_id=0x016C, boards=[Board(PRIMARY)], faults=[Fault(BMC, 0x18, 0x32, "cc=0xC0", 4)])
    run = SimPlatform(tmp_path, platform).run()
    assert run.request_lines()[:6] == [ENABLE_IPMB] * 5 + [get_device_id(PRIMARY)]
    assert run.sleeps_ms[:4] == [200] * 4
    assert IPMB_FAILED not in run.stderr
