# SPDX-License-Identifier: GPL-3.0-or-later
"""Data files for system tests: made, and resealed after a change by hand,
with the real fwpack, then read and patched here byte by byte. The CRC below
is a bit-at-a-time reference kept independent of the program's table, and
every file fwpack makes or reseals for a test is held to it, so a fault in
the table the program and fwpack share fails every test that uses a data
file; nothing here writes a file of its own."""

import struct
import tempfile
from pathlib import Path

from conftest import BUILD_DIR, run_binary
from protocol import (DATA_FILE_CRC_SIZE, DATA_FILE_SIGNATURE_OFFSET, FILE_HEADER_SIZE, IMAGE_HEADER_SIZE,  # noqa: F401
                      SIGNATURE, TRANSFER_SIZE)

FWPACK = BUILD_DIR / "tools" / "fwpack"

FILE_HEADER = struct.Struct("<BBI2s9s")       # version, count, length, reserved, signature
IMAGE_HEADER = struct.Struct("<BH4sBBHII32s")  # reserved, type, reserved, major, minor, crc, length, offset, reserved
SIGNATURE_OFFSET = DATA_FILE_SIGNATURE_OFFSET
CRC_SIZE = DATA_FILE_CRC_SIZE
# The records' layouts above are read field by field; their sizes are the documented ones.
assert (FILE_HEADER.size, IMAGE_HEADER.size) == (FILE_HEADER_SIZE, IMAGE_HEADER_SIZE)


def crc16_arc(data, crc=0):
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def fwpack(*args, cwd):
    return run_binary([FWPACK, *args], cwd)


def make_image(folder, name, rev, length=None):
    args = ["image", "-o", name, "--rev", rev]
    if length is not None:
        args += ["--length", str(length)]
    result = fwpack(*args, cwd=folder)
    note = "" if length is None or length >= TRANSFER_SIZE else (
        f"fwpack image: note: {name} is {length} bytes, fewer than the {TRANSFER_SIZE} a board is sent; "
        "fwpack build will refuse it\n")
    assert (result.rc, result.stderr) == (0, note), result
    return folder / name


def build(folder, name, *image_args):
    result = fwpack("build", "-o", name, *image_args, cwd=folder)
    assert (result.rc, result.stderr) == (0, ""), result
    data = bytearray((folder / name).read_bytes())
    for index in range(file_header(data)["count"]):
        header = image_header(data, index)
        covered = bytes(data[header["offset"]:header["offset"] + header["length"]])
        assert header["crc"] == crc16_arc(covered), (
            f"fwpack wrote image {index}'s CRC as 0x{header['crc']:04x}; CRC-16/ARC of its bytes is "
            f"0x{crc16_arc(covered):04x}")
    assert_file_crc(data)
    return data


def assert_file_crc(data):
    """The file CRC where the header's file length puts it is CRC-16/ARC of all before it."""
    length = file_header(data)["length"]
    stored, = struct.unpack_from("<H", data, length - CRC_SIZE)
    expected = crc16_arc(bytes(data[:length - CRC_SIZE]))
    assert stored == expected, f"fwpack wrote the file CRC as 0x{stored:04x}; CRC-16/ARC says 0x{expected:04x}"


def file_header(data):
    version, count, length, reserved, signature = FILE_HEADER.unpack_from(data, 0)
    return {"version": version, "count": count, "length": length, "reserved": reserved, "signature": signature}


def image_header(data, index):
    fields = IMAGE_HEADER.unpack_from(data, FILE_HEADER.size + index * IMAGE_HEADER.size)
    names = ["reserved0", "type", "reserved1", "major", "minor", "crc", "length", "offset", "reserved2"]
    return dict(zip(names, fields))


def set_file_header(data, **fields):
    header = file_header(data)
    header.update(fields)
    FILE_HEADER.pack_into(data, 0, header["version"], header["count"], header["length"],
                          header["reserved"], header["signature"])


def reseal(data):
    """Writes the file CRC again where the header's file length puts it (fwpack reseal)."""
    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "resealed.dat"
        path.write_bytes(data)
        result = fwpack("reseal", path.name, cwd=folder)
        assert (result.rc, result.stderr) == (0, ""), result
        data[:] = path.read_bytes()
    assert_file_crc(data)
