# SPDX-License-Identifier: GPL-3.0-or-later
"""Data files the program refuses or accepts: every corruption of a file made
with fwpack, with the exact console text and exit status of the real binary,
and a file packed by fwpack, used by the program and described by fwpack."""

import struct

import pytest

from protocol import DATA_FILE_RESERVED_OFFSET
from datafiles import (CRC_SIZE, FILE_HEADER, IMAGE_HEADER, SIGNATURE_OFFSET, TRANSFER_SIZE, build,
                       crc16_arc, fwpack, image_header, make_image, reseal, set_file_header)
from flashing import (CLEAR, CONTINUE, LOADED, board, flash_platform, flashed_board, options, searching, table,
                      table_line)
from simplatform import PRIMARY, SECONDARY, SimPlatform, banner

LOADING = "\r   Loading file, please wait " + CLEAR + "\r   Loading file completed "
CRC_FAILED = "   CRC Failed \n"
CRC_COMPLETE = "   CRC Complete \n"
INTEGRITY = "\r   Data Integrity check failed \n"
BAD_READ = "\r   Bad read from file \n"
NOT_RECOGNIZED = "\r   Data file not recognized \n"
NOT_SUPPORTED = "\r   Data file version not supported \n"
FAILED_LOADING = "\r   Failed loading Data file \n"
RESERVED_OFFSET = DATA_FILE_RESERVED_OFFSET   # the file header's two reserved bytes


def good_file(folder):
    folder.mkdir()
    make_image(folder, "image.bin", "1.06")
    return build(folder, "fwpack.dat", "--rev", "1.06", "image.bin")


def changed(**fields):
    def change(data):
        set_file_header(data, **fields)
        reseal(data)
    return change


def signature_byte(offset, value):
    def change(data):
        data[SIGNATURE_OFFSET + offset] = value
        reseal(data)
    return change


def wrong_signature_and_version(data):
    data[SIGNATURE_OFFSET] = ord("q")
    changed(version=3)(data)


def truncated_image_headers(data):
    """A sealed file that ends 30 bytes into its first image header."""
    length = FILE_HEADER.size + 30
    del data[length:]
    set_file_header(data, length=length)
    reseal(data)


def header_only(data):
    """A file of exactly the 17 header bytes that passes every header check:
    the reserved bytes are chosen so that the CRC of bytes 0 to 14 equals the
    last two signature bytes, which then serve as the stored file CRC."""
    del data[FILE_HEADER.size:]
    set_file_header(data, length=FILE_HEADER.size)
    stored = struct.unpack_from("<H", data, FILE_HEADER.size - CRC_SIZE)[0]
    before = crc16_arc(data[:RESERVED_OFFSET])
    for reserved in range(0x10000):
        set_file_header(data, reserved=struct.pack("<H", reserved))
        if crc16_arc(data[RESERVED_OFFSET:FILE_HEADER.size - CRC_SIZE], before) == stored:
            return
    raise AssertionError("no reserved value seals a header-only file")


def other_device_type(data):
    offset = FILE_HEADER.size + 1
    struct.pack_into("<H", data, offset, 5)
    reseal(data)


# name, change to a good file, exit status, standard output after the load
# message, standard error
REFUSALS = [
    ("version 3", changed(version=3), 15, CLEAR, NOT_SUPPORTED),
    ("signature letter", signature_byte(0, ord("q")), 6, CLEAR, NOT_RECOGNIZED),
    ("signature terminator", signature_byte(8, ord("X")), 6, CLEAR, NOT_RECOGNIZED),
    ("signature and version", wrong_signature_and_version, 6, CLEAR, NOT_RECOGNIZED),
    ("file CRC", lambda d: d.__setitem__(-1, d[-1] ^ 0x80), 5, CRC_FAILED, INTEGRITY),
    ("file CRC high byte first", lambda d: d.__setitem__(slice(-2, None), d[-2:][::-1]), 5, CRC_FAILED,
     INTEGRITY),
    ("file length 0", lambda d: set_file_header(d, length=0), 5, CRC_FAILED, INTEGRITY),
    ("file length 2", lambda d: set_file_header(d, length=2), 5, CRC_FAILED, INTEGRITY),
    ("stored CRC half past the end", lambda d: set_file_header(d, length=len(d) + 1), 5, CRC_FAILED,
     BAD_READ + INTEGRITY),
    ("file length far past the end", lambda d: set_file_header(d, length=0xFFFFFFFF), 5, CRC_FAILED, INTEGRITY),
    ("image count 0", changed(count=0), 17, CRC_COMPLETE, BAD_READ),
    ("truncated image headers", truncated_image_headers, 17, CRC_COMPLETE, BAD_READ),
    ("nothing after the file header", header_only, 1, CRC_COMPLETE, ""),
    ("truncated file header", lambda d: d.__delitem__(slice(10, None)), 17, CLEAR, BAD_READ + FAILED_LOADING),
    ("empty file", lambda d: d.clear(), 17, CLEAR, BAD_READ + FAILED_LOADING),
    ("no image for the boards", other_device_type, 9, CRC_COMPLETE, ""),
]


@pytest.mark.parametrize("name, corrupt, rc, shown, errors", REFUSALS, ids=[case[0] for case in REFUSALS])
def test_refused_data_file_stops_the_run_before_the_table(tmp_path, name, corrupt, rc, shown, errors):
    data = good_file(tmp_path / "pack")
    corrupt(data)
    run = SimPlatform(tmp_path, flash_platform(board(PRIMARY), board(SECONDARY))).run(
        stdin=b"Y\n", files={"fwpack.dat": bytes(data)})
    assert (run.rc, run.stdout, run.stderr) == (rc, banner() + searching() + LOADING + shown, errors)
    assert run.images == {}


def test_refusal_in_quiet_mode_shows_only_the_errors(tmp_path, options):
    data = good_file(tmp_path / "pack")
    data[-1] ^= 0x80
    run = SimPlatform(tmp_path, flash_platform(board(PRIMARY))).run("-quiet", files={"fwpack.dat": bytes(data)})
    assert (run.rc, run.stdout, run.stderr) == (5, "", INTEGRITY)


def test_bytes_after_the_file_length_are_not_checked(tmp_path, options):
    data = good_file(tmp_path / "pack") + bytes(range(256)) * 4
    run = SimPlatform(tmp_path, flash_platform(board(PRIMARY), system_id=0x016C)).run(
        "-revision", files={"fwpack.dat": bytes(data)})
    assert (run.rc, run.stderr) == (0, "")
    assert run.stdout == banner() + searching() + LOADED + table([table_line(PRIMARY, (1, 0x05), (1, 0x06))])


def test_file_packed_by_fwpack_is_flashed_then_described(tmp_path):
    """fwpack build -> velmoran -> fwpack show over one file: the board takes
    the first image of its type, not the first image in the file."""
    folder = tmp_path / "pack"
    folder.mkdir()
    make_image(folder, "other.bin", "3.00", length=TRANSFER_SIZE + 10)
    image = make_image(folder, "backplane.bin", "1.07").read_bytes()
    data = build(folder, "fwpack.dat", "--type", "5", "--rev", "3.00", "other.bin",
                 "--rev", "1.07", "backplane.bin", "--rev", "1.08", "backplane.bin")

    sim = SimPlatform(tmp_path, flash_platform(board(PRIMARY), system_id=0x016C))
    run = sim.run(stdin=b"Y\n", files={"fwpack.dat": bytes(data)})
    assert (run.rc, run.stderr) == (0, "")
    assert run.stdout == (banner() + searching() + LOADED + table([table_line(PRIMARY, (1, 0x05), (1, 0x07))]) +
                          CONTINUE + flashed_board(PRIMARY))
    assert run.images[PRIMARY] == image
    assert run.state.board(PRIMARY).revision == (1, 0x07)

    shown = fwpack("show", "fwpack.dat", cwd=folder)
    first = FILE_HEADER.size + 3 * IMAGE_HEADER.size
    crcs = [image_header(data, index)["crc"] for index in range(3)]
    file_crc = struct.unpack_from("<H", data, len(data) - CRC_SIZE)[0]
    assert (shown.rc, shown.stderr) == (0, "")
    assert shown.stdout == (
        f"fwpack.dat: {len(data)} bytes\n"
        f"  version      2\n"
        f"  images       3\n"
        f"  file length  {len(data)}\n"
        f"  signature    \"QUOR_INC\\x00\"\n"
        f"  image 0: type 5, revision 3.00, length {TRANSFER_SIZE + 10}, offset {first}, crc 0x{crcs[0]:04x} ok\n"
        f"  image 1: type 2, revision 1.07, length {TRANSFER_SIZE}, offset {first + TRANSFER_SIZE + 10}, "
        f"crc 0x{crcs[1]:04x} ok\n"
        f"  image 2: type 2, revision 1.08, length {TRANSFER_SIZE}, offset {first + 2 * TRANSFER_SIZE + 10}, "
        f"crc 0x{crcs[1]:04x} ok\n"
        f"  file crc     0x{file_crc:04x} ok\n"
        f"valid\n")


def test_missing_file_in_quiet_mode_still_reaches_the_log(tmp_path, options):
    sim = SimPlatform(tmp_path, flash_platform(board(PRIMARY), system_id=0x016C))
    run = sim.run("-quiet", "-log=run.txt", "-input=absent.dat")
    assert (run.rc, run.stdout, run.stderr) == (2, "", "")
    log = (sim.cwd / "run.txt").read_bytes()
    assert b"\r   Cannot find absent.dat \n" in log
