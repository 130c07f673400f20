# SPDX-License-Identifier: GPL-3.0-or-later
"""What a flashing run prints and sends, built from the protocol's own pieces,
for the system tests of updates, policies, failures and reports."""

import pathlib
import struct
import subprocess
import tempfile

import pytest

from conftest import SOURCE_DIR
from datafiles import TRANSFER_SIZE, build, make_image
from protocol import CHUNK_SIZE, TRANSFER_BASE_ADDRESS
from simplatform import PRIMARY, SECONDARY, MEDIA_BAY, Board, Platform, SimPlatform, banner


# The build's default unlock codes (VELMORAN_UNLOCK_CODE, VELMORAN_ALT_UNLOCK_CODE),
# as the boards accept them; the test command builds with the defaults.
UNLOCK_CODE = "BPFW"
ALT_UNLOCK_CODE = "BPUP"

SCHEMA = SOURCE_DIR / "schema" / "velmoran.xsd"
CLEAR = "\r" + " " * 74 + "\r"
NAMES = {PRIMARY: "Primary Backplane", SECONDARY: "Secondary Backplane", MEDIA_BAY: "Media Bay"}
CONTINUE = "   Continue ? Y/N: "
TABLE_HEADER = "\n   Firmware Versions                                 Current     Image\n"
LOADED = ("\r   Loading file, please wait " + CLEAR + "\r   Loading file completed " +
          "   CRC " + "Complete \n")
FLASH_FAILED = "\n   Flash Failed\n"
CHUNK = CHUNK_SIZE
TRAILER_TYPE = 0xFFFF
FLASH_BASE = TRANSFER_BASE_ADDRESS


def searching(rows=3):
    return "\r   Searching for devices " + "." * rows + CLEAR


def revision(major, minor):
    return f"{major}.{minor:02x}"


def table_line(address, current, image=None):
    name_part = f"    {NAMES[address]} "
    name_part += "." * (50 - len(name_part))
    major, minor = current
    boot_block = major & 0x80
    if image:
        form = "   BB{:2d}.{:02x}     {:2d}.{:02x}  " if boot_block else "   {:2d}.{:02x}      {:2d}.{:02x}   "
        return name_part + form.format(major & 0x7F if boot_block else major, minor, *image) + "\n"
    form = "   BB{:2d}.{:02x}      N/A  " if boot_block else "   {:2d}.{:02x}        N/A   "
    return name_part + form.format(major & 0x7F if boot_block else major, minor) + "\n"


def table(lines):
    return TABLE_HEADER + "".join(lines) + ("\n" if lines else "")


def progress(first=1, last=100):
    return "".join(f"\r   Flash {percent}% Completed" for percent in range(first, last + 1))


def erasing(dots=1):
    return "\r   Erasing " + "." * dots + "completed"


def flashed_board(address, erase_dots=1):
    """Console output of one board flashed and verified."""
    return ("   Processing " + NAMES[address] + " \n" + erasing(erase_dots) + CLEAR + progress() + CLEAR +
            "\r   Flash Completed\n" + "\r   Checking Revision " + CLEAR + "\r   Checking Revision completed\n")


def skipped_board(address):
    return "   Skipping flash of " + NAMES[address] + " as versions are same. \n"


def unlock_request(address, code=UNLOCK_CODE):
    return f"{address:02X} 20 00 {code.encode().hex().upper()}"


def data_requests(address, image):
    """The firmware data commands that send `image` (at least the transfer
    size), its first two bytes patched to the transfer size."""
    sent = bytearray(image[:TRANSFER_SIZE])
    sent[0:2] = struct.pack("<H", TRANSFER_SIZE)
    lines = []
    for offset in range(0, TRANSFER_SIZE, CHUNK):
        data = struct.pack("<H", FLASH_BASE + offset) + sent[offset:offset + CHUNK]
        lines.append(f"{address:02X} 20 01 {data.hex().upper()}")
    return lines


def board_transfer(address, image, erase_attempts=2):
    """Every request of one successful board flash, attempts included."""
    return ([f"{address:02X} 18 01", unlock_request(address)] + [f"{address:02X} 18 01"] * erase_attempts +
            data_requests(address, image) + [f"{address:02X} 20 04", f"{address:02X} 18 01"])


LOCK_PANEL = ["20 00 01", "20 00 0A F1", "20 00 0A F5"]
RESTORE_PANEL = ["20 00 0A F0"]


class Package:
    """A data file made with fwpack from one simulated image."""

    def __init__(self, folder, rev="1.06", length=None):
        folder = pathlib.Path(folder)
        folder.mkdir(parents=True, exist_ok=True)
        path = make_image(folder, "image.bin", rev, length)
        self.image = path.read_bytes()
        self.data = bytes(build(folder, "fwpack.dat", "--rev", rev, "image.bin"))
        major, minor = rev.split(".")
        self.revision = (int(major), int(minor, 16))

    def files(self):
        return {"fwpack.dat": self.data}


def pack(images, revisions, trailer=b""):
    """A data file fwpack packs as given, for layouts the program refuses to
    flash: `images` are placed after the headers in order, each header
    carrying its own length and CRC; `trailer` follows inside the file, as
    one more image of a type no board has."""
    with tempfile.TemporaryDirectory() as name:
        folder = pathlib.Path(name)
        args = ["--allow-unflashable"]
        for index, (image, (major, minor)) in enumerate(zip(images, revisions)):
            (folder / f"{index}.bin").write_bytes(image)
            args += ["--type", "2", "--rev", f"{major}.{minor:02x}", f"{index}.bin"]
        if trailer:
            (folder / "trailer.bin").write_bytes(trailer)
            args += ["--type", str(TRAILER_TYPE), "--rev", "0.00", "trailer.bin"]
        return bytes(build(folder, "packed.dat", *args))


def sim_image(rev, length=TRANSFER_SIZE):
    """Image bytes as a simulated board understands them (fwpack image): length marker, revision, filler."""
    with tempfile.TemporaryDirectory() as name:
        folder = pathlib.Path(name)
        return make_image(folder, "image.bin", revision(*rev), length).read_bytes()


def flash_platform(*boards, **settings):
    return Platform(boards=list(boards), **settings)


def board(address, rev=(0x01, 0x05), **settings):
    """A board whose erase is over after the first poll's first attempt."""
    settings.setdefault("erase_busy", 1)
    return Board(address, revision=rev, **settings)


def validate(document, folder):
    """Validates an XML document against the program's schema."""
    path = pathlib.Path(folder) / "document.xml"
    path.write_text(document)
    check = subprocess.run(["xmllint", "--noout", "--schema", str(SCHEMA), str(path)],
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    assert check.returncode == 0, check.stdout + document


@pytest.fixture
def options():
    """The banner, for a test whose run needs the command line understood."""
    return banner()
