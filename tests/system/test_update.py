# SPDX-License-Identifier: GPL-3.0-or-later
"""Updating boards: what the console shows, what is sent, what each board
ends up holding, and a second run that finds the boards up to date."""

import struct

from datafiles import TRANSFER_SIZE
from flashing import (CONTINUE, LOADED, LOCK_PANEL, RESTORE_PANEL, Package, board, board_transfer,
                      flash_platform, flashed_board, pack, searching, sim_image, skipped_board, table,
                      table_line)
from simplatform import ENABLE_IPMB, PRIMARY, SECONDARY, MEDIA_BAY, Fault, SimPlatform, banner, get_device_id


def patched(image):
    return struct.pack("<H", TRANSFER_SIZE) + image[2:TRANSFER_SIZE]


def test_one_board_is_updated_and_verified(tmp_path):
    package = Package(tmp_path / "pack")
    sim = SimPlatform(tmp_path, flash_platform(board(PRIMARY), system_id=0x016C))
    run = sim.run(stdin=b"Y\n", files=package.files())

    assert run.stderr == ""
    assert run.stdout == (banner() + searching() + LOADED + table([table_line(PRIMARY, (1, 0x05), (1, 0x06))]) +
                          CONTINUE + flashed_board(PRIMARY))
    assert run.rc == 0
    assert run.request_lines() == ([ENABLE_IPMB, get_device_id(PRIMARY)] + LOCK_PANEL +
                                   board_transfer(PRIMARY, package.image) + RESTORE_PANEL)
    # The erase settles, one poll attempt fails, the new firmware boots.
    assert run.sleeps_ms == [5000, 10, 5000]
    assert run.images[PRIMARY] == patched(package.image)
    assert run.state.board(PRIMARY).revision == (0x01, 0x06)
    assert run.service_log == ["tesselinstall.sh checkstatus", "pelord stopusers", "pelord startusers"]


def test_two_boards_are_updated_in_turn_then_found_up_to_date(tmp_path):
    package = Package(tmp_path / "pack")
    sim = SimPlatform(tmp_path, flash_platform(board(PRIMARY), board(SECONDARY)))
    run = sim.run(stdin=b"Y\n", files=package.files())

    assert (run.rc, run.stderr) == (0, "")
    assert run.stdout == (banner() + searching() + LOADED +
                          table([table_line(PRIMARY, (1, 0x05), (1, 0x06)),
                                 table_line(SECONDARY, (1, 0x05), (1, 0x06))]) +
                          CONTINUE + flashed_board(PRIMARY) + flashed_board(SECONDARY))
    assert run.request_lines() == ([ENABLE_IPMB, get_device_id(PRIMARY), get_device_id(SECONDARY)] + LOCK_PANEL +
                                   board_transfer(PRIMARY, package.image) +
                                   board_transfer(SECONDARY, package.image) + RESTORE_PANEL)
    assert run.images == {PRIMARY: patched(package.image), SECONDARY: patched(package.image)}

    again = sim.run(stdin=b"Y\n", files=package.files())
    assert (again.rc, again.stderr) == (1, "")
    assert again.stdout == (banner() + searching() + LOADED +
                            table([table_line(PRIMARY, (1, 0x06), (1, 0x06)),
                                   table_line(SECONDARY, (1, 0x06), (1, 0x06))]) +
                            CONTINUE + skipped_board(PRIMARY) + skipped_board(SECONDARY))
    assert again.request_lines() == ([ENABLE_IPMB, get_device_id(PRIMARY), get_device_id(SECONDARY)] +
                                     LOCK_PANEL + RESTORE_PANEL)
    assert again.service_log == ["tesselinstall.sh checkstatus"]
    assert again.images == {}


def test_short_image_is_sent_whole_range_with_its_length_patched(tmp_path):
    image = sim_image((1, 0x06), length=0x8000)
    trailer = bytes(range(256)) * 0x30
    data = pack([image], [(1, 0x06)], trailer=trailer)
    sim = SimPlatform(tmp_path, flash_platform(board(PRIMARY), system_id=0x016C))
    run = sim.run(stdin=b"Y\n", files={"fwpack.dat": data})

    assert (run.rc, run.stderr) == (0, "")
    # The 45056 bytes run on past the image into what follows it in the file.
    assert run.images[PRIMARY] == patched(image + trailer)


def test_media_bay_is_updated_on_a_three_board_platform(tmp_path):
    package = Package(tmp_path / "pack")
    sim = SimPlatform(tmp_path, flash_platform(board(PRIMARY, rev=(1, 0x06)), board(SECONDARY, rev=(1, 0x06)),
                                               board(MEDIA_BAY), system_id=0x016E))
    run = sim.run(stdin=b"Y\n", files=package.files())
    assert (run.rc, run.stderr) == (0, "")
    assert run.stdout.endswith(CONTINUE + skipped_board(PRIMARY) + skipped_board(SECONDARY) +
                               flashed_board(MEDIA_BAY))
    assert list(run.images) == [MEDIA_BAY]


def test_answers_come_through_standard_input(tmp_path):
    package = Package(tmp_path / "pack")
    cases = [
        # typed, prompts shown, exit status, boards written
        (b"yes\n\nx\nY\n", 4, 0, [PRIMARY]),
        (b"n\n", 1, 1, []),
        (b"N\nY\n", 1, 1, []),
        (b"", 1, 1, []),          # input ended: nobody said yes
    ]
    for index, (typed, prompts, rc, written) in enumerate(cases):
        sim = SimPlatform(tmp_path / str(index), flash_platform(board(PRIMARY), system_id=0x016C))
        run = sim.run(stdin=typed, files=package.files())
        head = banner() + searching() + LOADED + table([table_line(PRIMARY, (1, 0x05), (1, 0x06))])
        assert run.stdout.startswith(head + CONTINUE * prompts), typed
        assert (run.rc, run.stderr, list(run.images)) == (rc, "", written), typed
        if not written:
            assert run.stdout == head + CONTINUE * prompts


def test_power_button_is_locked_and_restored_around_the_run(tmp_path):
    package = Package(tmp_path / "pack")
    cases = [
        # platform settings, panel requests
        ({}, ["20 00 01", "20 00 0A F1", "20 00 0A F5", "20 00 0A F0"]),
        # The BMC refuses the first lock (all five attempts): the diagnostic
        # button alone is locked, and the saved byte still comes back.
        ({"faults": [Fault(0x20, 0x00, 0x0A, "cc=0xC1", 5)]},
         ["20 00 01"] + ["20 00 0A F1"] * 5 + ["20 00 0A F4", "20 00 0A F0"]),
        # Without the front-panel byte nothing is locked or restored.
        ({"chassis_status_length": 3}, ["20 00 01"]),
    ]
    for index, (settings, panel) in enumerate(cases):
        sim = SimPlatform(tmp_path / str(index), flash_platform(board(PRIMARY), system_id=0x016C, **settings))
        run = sim.run(stdin=b"Y\n", files=package.files())
        assert (run.rc, run.stderr) == (0, ""), settings
        assert [line for line in run.request_lines() if line.startswith("20 00")] == panel, settings
        assert run.state.front_panel == 0xF0


def test_boot_block_board_is_flashed_back_to_life(tmp_path):
    package = Package(tmp_path / "pack")
    sim = SimPlatform(tmp_path, flash_platform(board(PRIMARY, rev=(0x81, 0x06)), system_id=0x016C))
    run = sim.run(stdin=b"Y\n", files=package.files())
    assert (run.rc, run.stderr) == (0, "")
    assert run.stdout == (banner() + searching() + LOADED + table([table_line(PRIMARY, (0x81, 0x06), (1, 0x06))]) +
                          CONTINUE + "\r   Force flash Primary Backplane \n" + flashed_board(PRIMARY))
    assert "BB 1.06      1.06  " in run.stdout
    assert run.state.board(PRIMARY).revision == (0x01, 0x06)
