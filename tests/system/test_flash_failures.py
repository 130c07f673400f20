# SPDX-License-Identifier: GPL-3.0-or-later
"""Flashes that fail: every way the transfer can break, what the user is told,
what the board was sent, the exit status, and the boards left untouched."""

from protocol import CHUNK_COUNT
from datafiles import FILE_HEADER, image_header, reseal
from flashing import (CLEAR, CONTINUE, FLASH_FAILED, LOADED, LOCK_PANEL, RESTORE_PANEL, Package, board,
                      board_transfer, data_requests, erasing, flash_platform, flashed_board, options, pack, progress,
                      searching, sim_image, skipped_board, table, table_line, unlock_request, ALT_UNLOCK_CODE)
from simplatform import ENABLE_IPMB, PRIMARY, SECONDARY, Fault, SimPlatform, banner, get_device_id

CHUNKS = CHUNK_COUNT
EXIT = f"{PRIMARY:02X} 20 04"
DATA = f"{PRIMARY:02X} 20 01"
UNLOCK = f"{PRIMARY:02X} 20 00"
PROCESSING = "   Processing Primary Backplane \n"
TRANSFERRED = erasing() + CLEAR + progress() + CLEAR + "\r   Flash Completed\n"


def head():
    return (banner() + searching() + LOADED + table([table_line(PRIMARY, (1, 0x05), (1, 0x06))]) + CONTINUE +
            PROCESSING)


def flash_one(tmp_path, data=None, args=(), faults=(), **board_settings):
    data = data if data is not None else Package(tmp_path / "pack").data
    sim = SimPlatform(tmp_path, flash_platform(board(PRIMARY, **board_settings), system_id=0x016C,
                                               faults=list(faults)))
    return sim.run(*args, stdin=b"Y\n", files={"fwpack.dat": data})


# Discovery's Get Device ID is answered; every one after it, from the one just
# before the flash on, times out.
SILENT_BEFORE_FLASH = [Fault(PRIMARY, 0x18, 0x01, "cc=0xC3", after=1)]


def after_identify(run):
    """The requests to the board after its Get Device ID just before the flash."""
    lines = [line for line in run.request_lines() if line.startswith(f"{PRIMARY:02X}")]
    return lines[2:]


def count(run, prefix):
    return sum(1 for line in run.request_lines() if line.startswith(prefix))


def test_board_silent_just_before_the_flash(tmp_path):
    run = flash_one(tmp_path, faults=SILENT_BEFORE_FLASH)
    assert (run.rc, run.stdout, run.stderr) == (11, head() + CLEAR, FLASH_FAILED)
    # Five attempts at Get Device ID, then EXIT_FW_XFER all the same; nothing is unlocked.
    assert [line for line in run.request_lines() if line.startswith("C0")] == (
        [get_device_id(PRIMARY)] * 6 + [EXIT] * 5)
    assert run.sleeps_ms == [200] * 10
    assert run.images == {}


def test_both_unlock_codes_refused(tmp_path):
    run = flash_one(tmp_path, unlock_refused="both")
    assert (run.rc, run.stdout, run.stderr) == (11, head() + CLEAR, FLASH_FAILED)
    assert after_identify(run) == ([unlock_request(PRIMARY)] * 5 + [unlock_request(PRIMARY, ALT_UNLOCK_CODE)] * 5 +
                                   [EXIT] * 5)
    assert run.images == {}


def test_first_unlock_code_refused_alternate_accepted(tmp_path):
    run = flash_one(tmp_path, unlock_refused="first")
    assert (run.rc, run.stderr) == (0, "")
    assert run.stdout.endswith(PROCESSING + TRANSFERRED + "\r   Checking Revision " + CLEAR +
                               "\r   Checking Revision completed\n")
    assert after_identify(run)[:6] == [unlock_request(PRIMARY)] * 5 + [unlock_request(PRIMARY, ALT_UNLOCK_CODE)]


def test_erase_that_never_ends(tmp_path):
    run = flash_one(tmp_path, erase_busy="forever")
    assert run.rc == 11
    assert run.stderr == FLASH_FAILED
    assert run.stdout == (head() + "\r   Erasing " + "." * 31 + CLEAR + "\r   Erasing " + "." * 29 + CLEAR)
    # 60 polls of two attempts, a second between polls.
    assert run.sleeps_ms == [5000] + [10, 10, 1000] * 60
    assert count(run, DATA) == 0
    assert after_identify(run)[-1] == EXIT


def test_refused_data_command(tmp_path):
    cases = [
        # chunk refused, progress shown before the failure
        (1, ""),
        (22, ""),
        (23, progress(1, 1)),
        (CHUNKS, progress()),
    ]
    package = Package(tmp_path / "pack")
    for chunk, shown in cases:
        run = flash_one(tmp_path / str(chunk), data=package.data, refuse_chunk=chunk)
        assert (run.rc, run.stderr) == (11, FLASH_FAILED), chunk
        assert run.stdout == head() + erasing() + CLEAR + shown, chunk
        # 60 attempts, 20 ms apart, then no more data.
        assert count(run, DATA) == chunk - 1 + 60, chunk
        assert run.sleeps_ms == [5000, 10] + [20] * 60, chunk
        assert after_identify(run)[-1] == EXIT


def test_exit_refused_after_a_complete_transfer(tmp_path):
    run = flash_one(tmp_path, refuse_exit=True)
    assert (run.rc, run.stderr) == (14, "")
    assert run.stdout == head() + TRANSFERRED
    # No revision check follows.
    assert after_identify(run)[-5:] == [EXIT] * 5


def test_board_silent_after_the_flash(tmp_path):
    run = flash_one(tmp_path, silent_after_flash=True)
    assert (run.rc, run.stderr) == (11, "\r   Revision Check Failed \n")
    assert run.stdout == head() + TRANSFERRED + "\r   Checking Revision ..." + CLEAR
    # Four reads of five attempts each: 5 s before the first, 0.5 s before each other.
    assert run.sleeps_ms == [5000, 10, 5000] + ([200] * 5 + [500]) * 3 + [200] * 5


def test_board_reporting_another_revision(tmp_path):
    run = flash_one(tmp_path, revision_after_flash=(0x01, 0x07))
    assert (run.rc, run.stderr) == (11, "\r   Revision Check Failed    \n")
    assert run.stdout == head() + TRANSFERRED + "\r   Checking Revision " + CLEAR


def image_bytes_with_boot_block_bit():
    """The image header says 1.06; the firmware inside reports 0x81 0x06, so
    the board comes back in its boot block saying so."""
    image = bytearray(sim_image((1, 0x06)))
    image[2] = 0x81
    return pack([bytes(image)], [(1, 0x06)])


def test_board_back_in_its_boot_block_fails_the_revision_check(tmp_path):
    cases = [
        ("board reports the bit", None, {"revision_after_flash": (0x81, 0x06)}),
        ("image bytes carry the bit", image_bytes_with_boot_block_bit(), {}),
    ]
    for name, data, settings in cases:
        run = flash_one(tmp_path / name.replace(" ", "_"), data=data, **settings)
        assert (run.rc, run.stderr) == (11, "\r   Revision Check Failed    \n"), name
        assert run.stdout == head() + TRANSFERRED + "\r   Checking Revision " + CLEAR, name
        assert run.state.board(PRIMARY).revision == (0x81, 0x06), name


def test_image_with_the_boot_block_bit_is_refused_before_any_board_is_unlocked(tmp_path):
    data = bytearray(Package(tmp_path / "pack").data)
    data[FILE_HEADER.size + 7] = 0x81  # the first image header's major revision
    reseal(data)
    run = flash_one(tmp_path, data=bytes(data))
    assert (run.rc, run.stdout, run.stderr) == (
        9, banner() + searching() + LOADED + CLEAR, "\r   Failed loading Data file \n")
    # Discovery only: no unlock, no panel lock, nothing erased.
    assert run.request_lines() == [ENABLE_IPMB, get_device_id(PRIMARY)]
    assert run.images == {}
    assert run.state.board(PRIMARY).revision == (0x01, 0x05)


def corrupted_image(tmp_path):
    data = bytearray(Package(tmp_path / "pack").data)
    data[image_header(data, 0)["offset"] + 100] ^= 0xFF
    reseal(data)
    return bytes(data)


def wrong_length_marker():
    image = bytearray(sim_image((1, 0x06)))
    image[0] ^= 0x01
    return pack([bytes(image)], [(1, 0x06)])


def test_bad_images_are_refused_before_anything_is_erased(tmp_path):
    cases = [
        ("crc", corrupted_image(tmp_path), "\r   Image corruption occured \n" + FLASH_FAILED),
        ("marker", wrong_length_marker(), FLASH_FAILED),
        # The file ends before the 45056 bytes the board is always sent.
        ("short", pack([sim_image((1, 0x06), length=0x100)], [(1, 0x06)]), FLASH_FAILED),
    ]
    for name, data, errors in cases:
        run = flash_one(tmp_path / name, data=data)
        assert (run.rc, run.stderr) == (11, errors), name
        assert run.stdout == head() + CLEAR, name
        assert count(run, UNLOCK) == 0, name
        # EXIT still goes out; the board, never unlocked, refuses it.
        assert after_identify(run) == [EXIT] * 5, name
        assert run.images == {}, name
        assert run.state.board(PRIMARY).revision == (0x01, 0x05), name


def test_board_after_a_failed_one_is_left_untouched(tmp_path):
    package = Package(tmp_path / "pack")
    sim = SimPlatform(tmp_path, flash_platform(board(PRIMARY, refuse_chunk=5), board(SECONDARY)))
    run = sim.run(stdin=b"Y\n", files=package.files())
    assert (run.rc, run.stderr) == (11, FLASH_FAILED)
    assert "Secondary Backplane \n" not in run.stdout
    assert [line for line in run.request_lines() if line.startswith("C2")] == [get_device_id(SECONDARY)]
    assert list(run.images) == [PRIMARY]
    assert run.request_lines()[-1] == "20 00 0A F0"


def test_debug_lines_tell_the_failures_apart(tmp_path, options):
    cases = [
        ({"faults": SILENT_BEFORE_FLASH}, PROCESSING + "\r   GET_DEVICE_ID ERROR while Flashing \n" + CLEAR +
         "\r   ERROR while Flashing \n"),
        ({"unlock_refused": "both"}, "\r   ENTER_FW_XFER ERROR while Flashing \n" + CLEAR +
         "\r   ERROR while Flashing \n"),
        ({"refuse_exit": True}, "\r   Flash Completed\n\r   EXIT_FW_XFER ERROR while Flashing \n"),
    ]
    for index, (settings, tail) in enumerate(cases):
        run = flash_one(tmp_path / str(index), args=("-quordebug",), **settings)
        assert run.stdout.endswith(tail), settings
        assert run.stderr == ("" if "refuse_exit" in settings else FLASH_FAILED), settings


def test_loop_ends_with_the_first_failing_pass(tmp_path, options):
    run = flash_one(tmp_path, args=("-tloop",), refuse_exit=True)
    assert (run.rc, run.stderr) == (14, "")
    assert run.stdout.count(PROCESSING) == 1
    assert count(run, UNLOCK) == 1


def test_loop_repeats_every_flashed_board_until_a_later_pass_fails(tmp_path, options):
    package = Package(tmp_path / "pack")
    # The secondary board refuses to leave transfer mode from the third pass on.
    platform = flash_platform(board(PRIMARY), board(SECONDARY),
                              faults=[Fault(SECONDARY, 0x20, 0x04, "cc=0xD5", after=2)])
    run = SimPlatform(tmp_path, platform).run("-tloop", stdin=b"Y\n", files=package.files())

    assert (run.rc, run.stderr) == (14, "")
    both = flashed_board(PRIMARY) + flashed_board(SECONDARY)
    assert run.stdout == (banner() + searching() + LOADED +
                          table([table_line(PRIMARY, (1, 0x05), (1, 0x06)),
                                 table_line(SECONDARY, (1, 0x05), (1, 0x06))]) +
                          CONTINUE + both + both + flashed_board(PRIMARY) +
                          "   Processing Secondary Backplane \n" + TRANSFERRED)
    secondary_refused = ([get_device_id(SECONDARY), unlock_request(SECONDARY)] + [get_device_id(SECONDARY)] * 2 +
                         data_requests(SECONDARY, package.image) + [f"{SECONDARY:02X} 20 04"] * 5)
    one_pass = LOCK_PANEL + board_transfer(PRIMARY, package.image) + board_transfer(SECONDARY, package.image)
    assert run.request_lines() == ([ENABLE_IPMB, get_device_id(PRIMARY), get_device_id(SECONDARY)] +
                                   (one_pass + RESTORE_PANEL) * 2 + LOCK_PANEL +
                                   board_transfer(PRIMARY, package.image) + secondary_refused + RESTORE_PANEL)


def test_loop_with_nothing_to_flash_runs_once(tmp_path, options):
    package = Package(tmp_path / "pack")
    sim = SimPlatform(tmp_path, flash_platform(board(PRIMARY, rev=(1, 0x06)), system_id=0x016C))
    run = sim.run("-tloop", stdin=b"Y\n", files=package.files())
    assert (run.rc, run.stderr) == (1, "")
    assert run.stdout == (banner() + searching() + LOADED + table([table_line(PRIMARY, (1, 0x06), (1, 0x06))]) +
                          CONTINUE + skipped_board(PRIMARY))
    assert run.request_lines() == [ENABLE_IPMB, get_device_id(PRIMARY)] + LOCK_PANEL + RESTORE_PANEL
