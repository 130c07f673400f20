# SPDX-License-Identifier: GPL-3.0-or-later
"""fwpack: images it makes, data files it packs, what it refuses, and the
corruptions its show command catches."""

import json
import re
import struct

import pytest

from conftest import SOURCE_DIR
from datafiles import (CRC_SIZE, FILE_HEADER, IMAGE_HEADER, SIGNATURE, SIGNATURE_OFFSET, TRANSFER_SIZE,
                       build, crc16_arc, file_header, fwpack, image_header, make_image, reseal, set_file_header)


@pytest.fixture
def two_image_file(workdir):
    make_image(workdir, "a.bin", "1.06")
    make_image(workdir, "b.bin", "2.0a", length=50000)
    return build(workdir, "fw.dat", "--rev", "1.06", "a.bin", "--type", "5", "--rev", "1.10", "b.bin")


def test_image_carries_length_revision_and_a_visible_filler(workdir):
    for length, rev, major, minor in [(None, "1.06", 1, 0x06), (70000, "2.0a", 2, 0x0A), (4, "127.99", 127, 0x99)]:
        path = make_image(workdir, "x.bin", rev, length)
        data = path.read_bytes()
        expected_length = TRANSFER_SIZE if length is None else length
        assert len(data) == expected_length
        assert struct.unpack_from("<H", data, 0)[0] == expected_length & 0xFFFF
        assert (data[2], data[3]) == (major, minor)
        filler = data[4:]
        assert all(byte not in (0x00, 0xFF) for byte in filler), "filler never looks erased or zeroed"
        if filler:
            assert len(set(filler)) > 200, "filler varies"
        assert make_image(workdir, "y.bin", rev, length).read_bytes() == data, "deterministic"


def test_build_lays_out_headers_images_and_crc(workdir, two_image_file):
    data = two_image_file
    a = (workdir / "a.bin").read_bytes()
    b = (workdir / "b.bin").read_bytes()
    header = file_header(data)
    assert header == {"version": 2, "count": 2, "length": len(data), "reserved": b"\0\0", "signature": SIGNATURE}
    first_offset = FILE_HEADER.size + 2 * IMAGE_HEADER.size
    expected = [
        dict(type=2, major=1, minor=0x06, length=len(a), offset=first_offset, crc=crc16_arc(a), blob=a),
        dict(type=5, major=1, minor=0x10, length=len(b), offset=first_offset + len(a), crc=crc16_arc(b), blob=b),
    ]
    for index, want in enumerate(expected):
        got = image_header(data, index)
        assert got["reserved0"] == 0 and got["reserved1"] == b"\0" * 4 and got["reserved2"] == b"\0" * 32
        for field in ("type", "major", "minor", "length", "offset", "crc"):
            assert got[field] == want[field], (index, field)
        assert data[want["offset"]:want["offset"] + want["length"]] == want["blob"]
    assert struct.unpack_from("<H", data, len(data) - CRC_SIZE)[0] == crc16_arc(data[:-CRC_SIZE])


def test_one_image_of_transfer_size_starts_at_68_with_00_b0(workdir):
    make_image(workdir, "a.bin", "1.06")
    data = build(workdir, "fw.dat", "--rev", "1.06", "a.bin")
    assert image_header(data, 0)["offset"] == 68
    assert data[68:70] == b"\x00\xb0"
    assert len(data) == 68 + TRANSFER_SIZE + CRC_SIZE


def test_show_describes_a_valid_file(workdir, two_image_file):
    data = two_image_file
    result = fwpack("show", "fw.dat", cwd=workdir)
    crc_a = image_header(data, 0)["crc"]
    crc_b = image_header(data, 1)["crc"]
    file_crc = struct.unpack_from("<H", data, len(data) - CRC_SIZE)[0]
    assert result.stdout == (
        f"fw.dat: {len(data)} bytes\n"
        f"  version      2\n"
        f"  images       2\n"
        f"  file length  {len(data)}\n"
        f"  signature    \"QUOR_INC\\x00\"\n"
        f"  image 0: type 2, revision 1.06, length 45056, offset 119, crc 0x{crc_a:04x} ok\n"
        f"  image 1: type 5, revision 1.10, length 50000, offset 45175, crc 0x{crc_b:04x} ok\n"
        f"  file crc     0x{file_crc:04x} ok\n"
        f"valid\n")
    assert (result.rc, result.stderr) == (0, "")


def test_show_json_matches_the_bytes(workdir, two_image_file):
    data = two_image_file
    result = fwpack("show", "--json", "fw.dat", cwd=workdir)
    assert (result.rc, result.stderr) == (0, "")
    report = json.loads(result.stdout)
    assert report["ok"] is True and report["problems"] == []
    assert report["header"] == {"version": 2, "image_count": 2, "file_length": len(data),
                                "signature": "QUOR_INC", "signature_terminator": 0}
    for index, image in enumerate(report["images"]):
        header = image_header(data, index)
        assert (image["device_type"], image["length"], image["data_offset"], image["crc"]) == \
            (header["type"], header["length"], header["offset"], header["crc"])
        assert image["computed_crc"] == image["crc"] and image["crc_ok"] and image["flashable"]
    assert [image["revision"] for image in report["images"]] == ["1.06", "1.10"]
    assert report["file_crc"]["ok"] is True and report["trailing_bytes"] == 0


def test_show_json_reports_a_file_it_cannot_read(workdir):
    result = fwpack("show", "--json", "missing.dat", cwd=workdir)
    assert result.rc == 1
    assert json.loads(result.stdout) == {"file": "missing.dat", "ok": False,
                                         "error": "cannot open missing.dat: No such file or directory"}
    assert result.stderr == "fwpack show: cannot open missing.dat: No such file or directory\n"


def test_show_json_carries_a_foreign_signature_and_terminator(workdir, two_image_file):
    data = two_image_file
    data[SIGNATURE_OFFSET:SIGNATURE_OFFSET + 9] = b"QUOR\x01INCX"
    (workdir / "fw.dat").write_bytes(data)
    header = json.loads(fwpack("show", "--json", "fw.dat", cwd=workdir).stdout)["header"]
    assert (header["signature"], header["signature_terminator"]) == ("QUOR\u0001INC", ord("X"))


def test_version_is_the_project_version(workdir):
    cmake = (SOURCE_DIR / "CMakeLists.txt").read_text()
    version = re.search(r"^project\(velmoran VERSION (\S+)", cmake, re.MULTILINE).group(1)
    result = fwpack("--version", cwd=workdir)
    assert (result.rc, result.stdout, result.stderr) == (0, f"fwpack {version}\n", "")


def test_image_says_why_build_will_refuse_a_short_one(workdir):
    result = fwpack("image", "-o", "short.bin", "--rev", "1.00", "--length", "100", cwd=workdir)
    assert (result.rc, result.stdout) == (0, "")
    assert result.stderr == ("fwpack image: note: short.bin is 100 bytes, fewer than the 45056 a board is sent; "
                             "fwpack build will refuse it\n")
    assert len((workdir / "short.bin").read_bytes()) == 100
    refused = fwpack("build", "-o", "x.dat", "--rev", "1.00", "short.bin", cwd=workdir)
    assert refused.rc == 1 and "fewer than the 45056 a board is sent" in refused.stderr


def test_image_places_the_revision_where_asked(workdir):
    result = fwpack("image", "-o", "a.bin", "--rev", "2.31", "--rev-offset", "0x100", cwd=workdir)
    assert (result.rc, result.stderr) == (0, "")
    data = (workdir / "a.bin").read_bytes()
    plain = make_image(workdir, "b.bin", "2.31").read_bytes()
    assert (data[0x100], data[0x101]) == (2, 0x31)
    assert data[:2] == plain[:2] == b"\x00\xb0"
    filler = lambda *at: bytes(1 + (i * 37) % 253 for i in at)
    assert data[2:4] == filler(2, 3) and plain[0x100:0x102] == filler(0x100, 0x101), "filler where no revision is"
    assert data[4:0x100] == plain[4:0x100] and data[0x102:] == plain[0x102:]


def test_allow_unflashable_packs_what_build_otherwise_refuses(workdir):
    make_image(workdir, "short.bin", "1.00", length=300)
    wrong = bytearray(make_image(workdir, "wrong.bin", "1.00").read_bytes())
    wrong[0:2] = b"\x34\x12"
    (workdir / "wrong.bin").write_bytes(wrong)
    data = build(workdir, "fw.dat", "--allow-unflashable", "--rev", "1.01", "wrong.bin", "--rev", "1.00", "short.bin")
    assert [image_header(data, i)["length"] for i in (0, 1)] == [TRANSFER_SIZE, 300]
    assert image_header(data, 0)["crc"] == crc16_arc(bytes(wrong))
    shown = fwpack("show", "fw.dat", cwd=workdir)
    assert shown.rc == 1
    assert "image 0: first two data bytes read 0x1234" in shown.stderr and "image 1: only 302 bytes" in shown.stderr
    empty = (workdir / "empty.bin")
    empty.write_bytes(b"")
    refused = fwpack("build", "-o", "x.dat", "--allow-unflashable", "--rev", "1.00", "empty.bin", cwd=workdir)
    assert (refused.rc, refused.stderr) == (1, "fwpack build: empty.bin: empty; no image CRC can cover it\n")


def test_reseal_rewrites_only_the_file_crc(workdir, two_image_file):
    data = bytearray(two_image_file)
    data[200] ^= 0xFF
    (workdir / "fw.dat").write_bytes(data)
    result = fwpack("reseal", "fw.dat", cwd=workdir)
    assert (result.rc, result.stdout, result.stderr) == (0, "", "")
    resealed = (workdir / "fw.dat").read_bytes()
    assert resealed[:-CRC_SIZE] == data[:-CRC_SIZE]
    assert struct.unpack_from("<H", resealed, len(resealed) - CRC_SIZE)[0] == crc16_arc(data[:-CRC_SIZE])
    set_file_header(data, length=len(data) + 1)
    (workdir / "fw.dat").write_bytes(data)
    refused = fwpack("reseal", "fw.dat", cwd=workdir)
    assert (refused.rc, refused.stderr) == (
        1, "fwpack reseal: fw.dat: its header leaves no room for the file CRC inside the file\n")
    assert (workdir / "fw.dat").read_bytes() == data, "nothing written on a refusal"


def test_build_refuses_images_no_board_could_take(workdir):
    make_image(workdir, "short.bin", "1.00", length=TRANSFER_SIZE - 1)
    wrong = bytearray(make_image(workdir, "wrong.bin", "1.00").read_bytes())
    wrong[0:2] = b"\x34\x12"
    (workdir / "wrong.bin").write_bytes(wrong)
    cases = [
        (["--rev", "1.00", "short.bin"], "fwpack build: short.bin: 45055 bytes, fewer than the 45056 a board is sent; "
                        "it could never be flashed\n"),
        (["--patch-length", "--rev", "1.00", "short.bin"], "fwpack build: short.bin: 45055 bytes, fewer than the 45056 a board is "
                                          "sent; it could never be flashed\n"),
        (["--rev", "1.00", "wrong.bin"], "fwpack build: wrong.bin: first two bytes read 0x1234, not 0xb000 (the low 16 bits of its "
                        "length); a board would refuse it (--patch-length writes them)\n"),
        (["--rev", "1.00", "missing.bin"], "fwpack build: cannot open missing.bin: No such file or directory\n"),
    ]
    for args, stderr in cases:
        result = fwpack("build", "-o", "out.dat", *args, cwd=workdir)
        assert (result.rc, result.stdout, result.stderr) == (1, "", stderr), args
        assert not (workdir / "out.dat").exists(), "nothing written on a refusal"


def test_patch_length_fixes_the_first_two_bytes(workdir):
    image = bytearray(make_image(workdir, "a.bin", "1.06").read_bytes())
    image[0:2] = b"\xff\xff"
    (workdir / "a.bin").write_bytes(image)
    data = build(workdir, "fw.dat", "--patch-length", "--rev", "1.06", "a.bin")
    packed = data[68:68 + TRANSFER_SIZE]
    assert packed[0:2] == b"\x00\xb0" and packed[2:] == image[2:]
    assert image_header(data, 0)["crc"] == crc16_arc(packed)
    assert fwpack("show", "fw.dat", cwd=workdir).rc == 0


@pytest.mark.parametrize("args, message", [
    (["build", "--rev", "1.06", "a.bin"], "fwpack build: no output file given (-o FILE)"),
    (["build", "-o", "x.dat", "a.bin"], "fwpack build: no revision given for 'a.bin' (--rev M.mm before it)"),
    (["build", "-o", "x.dat", "--type", "2", "a.bin"],
     "fwpack build: no revision given for 'a.bin' (--rev M.mm before it)"),
    (["build", "-o", "x.dat", "--rev", "1.06", "a.bin", "b.bin"],
     "fwpack build: no revision given for 'b.bin' (--rev M.mm before it)"),
    (["build", "-o", "x.dat"], "fwpack build: no image given"),
    (["build", "-o"], "fwpack build: -o needs a file name"),
    (["build", "-o", "x.dat", "--rev", "1.06", "a.bin", "--type", "5"],
     "fwpack build: --type or --rev after the last image applies to no image"),
    (["build", "-o", "x.dat", "--rev", "1.6", "a.bin"],
     "fwpack build: --rev needs a revision M.mm such as 1.06 or 2.0a, not '1.6'"),
    (["build", "-o", "x.dat", "--rev=128.00", "a.bin"],
     "fwpack build: --rev needs a revision M.mm such as 1.06 or 2.0a, not '128.00'"),
    (["build", "-o", "x.dat", "--rev", "1.0g", "a.bin"],
     "fwpack build: --rev needs a revision M.mm such as 1.06 or 2.0a, not '1.0g'"),
    (["build", "-o", "x.dat", "--type", "65536", "a.bin"],
     "fwpack build: --type needs a device type from 0 to 65535, not '65536'"),
    (["build", "-o", "x.dat", "--type", "-1", "a.bin"],
     "fwpack build: --type needs a device type from 0 to 65535, not '-1'"),
    (["build", "-o", "x.dat", "--compress", "a.bin"], "fwpack build: unknown option '--compress'"),
    (["image", "-o", "x.bin"], "fwpack image: no revision given (--rev M.mm)"),
    (["image", "--rev", "1.06"], "fwpack image: no output file given (-o FILE)"),
    (["image", "-o", "x.bin", "--rev", "1.06", "--length", "3"],
     "fwpack image: --length needs a number from 4 to 16777216, not '3'"),
    (["image", "-o", "x.bin", "--rev", "1.06", "extra"], "fwpack image: unexpected argument 'extra'"),
    (["show"], "fwpack show: no file given"),
    (["show", "a.dat", "b.dat"], "fwpack show: only one file can be shown, not also 'b.dat'"),
    (["image", "-o", "x.bin", "--rev", "1.06", "--rev-offset", "1"],
     "fwpack image: --rev-offset needs a byte offset of at least 2, not '1'"),
    (["image", "-o", "x.bin", "--rev", "1.06", "--rev-offset", "100", "--length", "101"],
     "fwpack image: --length needs a number from 102 to 16777216, not '101'"),
    (["build", "-o", "x.dat", "--patch-length", "--allow-unflashable", "--rev", "1.06", "a.bin"],
     "fwpack build: --patch-length and --allow-unflashable exclude each other"),
    (["reseal"], "fwpack reseal: no file given"),
    (["reseal", "--fast", "a.dat"], "fwpack reseal: unknown option '--fast'"),
    (["pack"], "fwpack: unknown command 'pack'"),
    ([], "fwpack: no command given"),
])
def test_usage_errors_name_the_problem(workdir, args, message):
    make_image(workdir, "a.bin", "1.06")
    result = fwpack(*args, cwd=workdir)
    command = args[0] + " " if args and args[0] in ("build", "image", "reseal", "show") else ""
    assert (result.rc, result.stdout) == (2, "")
    assert result.stderr == f"{message}\nTry 'fwpack {command}--help'.\n"
    assert not (workdir / "x.dat").exists() and not (workdir / "x.bin").exists()


@pytest.mark.parametrize("args", [["--help"], ["help"], ["build", "--help"], ["image", "-h"], ["show", "--help"],
                                  ["reseal", "--help"]])
def test_help_goes_to_stdout(workdir, args):
    result = fwpack(*args, cwd=workdir)
    assert (result.rc, result.stderr) == (0, "")
    assert result.stdout.startswith("Usage: fwpack ")


def flip_image_byte(data):
    offset = image_header(data, 0)["offset"]
    data[offset + 100] ^= 0x01
    reseal(data)


def corrupt_version(data):
    set_file_header(data, version=3)
    reseal(data)


def corrupt_signature(data, offset, value):
    data[SIGNATURE_OFFSET + offset] = value
    reseal(data)


def zero_image_count(data):
    set_file_header(data, count=0)
    reseal(data)


def append_bytes(data):
    data += b"\x01\x02\x03"


def set_image_field(name, value):
    fields = {"length": 11, "offset": 15}
    def change(data):
        struct.pack_into("<I", data, FILE_HEADER.size + fields[name], value)
        reseal(data)
    return change


def set_image_major(value):
    def change(data):
        data[FILE_HEADER.size + 7] = value
        reseal(data)
    return change


@pytest.mark.parametrize("corrupt, problems", [
    (corrupt_version, ["version 3 is not supported (only 2)"]),
    (lambda d: corrupt_signature(d, 0, ord("q")),
     ['signature is "qUOR_INC\\x00", not "QUOR_INC" and a zero byte']),
    (lambda d: corrupt_signature(d, 8, ord("X")),
     ['signature is "QUOR_INCX", not "QUOR_INC" and a zero byte']),
    (lambda d: d.__setitem__(-1, d[-1] ^ 0x80), ["file CRC {stored} stored, {computed} computed"]),
    (flip_image_byte, ["image 0: CRC {image_stored} stored, {image_computed} computed"]),
    (zero_image_count, ["image count is 0"]),
    (append_bytes, ["3 bytes after the file length are not covered by the file CRC"]),
    (set_image_field("length", 0), ["image 0: length is 0, which no image CRC can cover",
                                    "image 0: first two data bytes read 0xb000, not 0x0000 (the low 16 bits of its "
                                    "length)"]),
    (set_image_field("offset", 0xFFFFFFF0), ["image 0: data (offset 4294967280, length 45056) is not inside the file",
                                             "image 0: only 0 bytes from its data offset, fewer than the 45056 a "
                                             "board is sent"]),
    (lambda d: d.__delitem__(slice(40, None)),
     ["file length 45126 is beyond the end of the file (40 bytes)", "image headers run past the end of the file: 1 declared, 0 fit"]),
    (lambda d: d.__delitem__(slice(10, None)), ["file is 10 bytes, shorter than the 17-byte header"]),
    (set_image_major(0x81), ["image 0: major revision byte 0x81 has bit 7 set, which a board reports only from its "
                             "boot block"]),
])
def test_show_catches_corruptions(workdir, corrupt, problems):
    make_image(workdir, "a.bin", "1.06")
    data = build(workdir, "fw.dat", "--rev", "1.06", "a.bin")
    corrupt(data)
    (workdir / "fw.dat").write_bytes(data)
    values = {}
    if len(data) >= 68 + TRANSFER_SIZE + CRC_SIZE:
        values["stored"] = f"0x{struct.unpack_from('<H', data, len(data) - CRC_SIZE)[0]:04x}"
        values["computed"] = f"0x{crc16_arc(data[:-CRC_SIZE]):04x}"
        header = image_header(data, 0)
        values["image_stored"] = f"0x{header['crc']:04x}"
        values["image_computed"] = f"0x{crc16_arc(data[68:68 + header['length']]):04x}"
    result = fwpack("show", "fw.dat", cwd=workdir)
    assert result.rc == 1
    assert result.stdout.endswith("INVALID\n")
    expected = "".join(f"fwpack show: fw.dat: {problem.format(**values)}\n" for problem in problems)
    assert result.stderr == expected
    report = json.loads(fwpack("show", "--json", "fw.dat", cwd=workdir).stdout)
    assert report["ok"] is False and report["problems"] == [p.format(**values) for p in problems]
