# SPDX-License-Identifier: GPL-3.0-or-later
"""velmoran on the in-band road: a QEMU guest running Debian's kernel with its
own IPMI drivers (ipmi_si on QEMU's KCS interface, ipmi_devintf giving
/dev/ipmi0), the FreeIPMI backend in its default in-band configuration, and
ipmi_sim with the boards' module as the BMC behind QEMU's external-BMC
socket. The guest reports each run on its second serial port; the host
checks the boards afterwards over LAN with ipmitool."""

import base64
import functools
import os
import shutil
import socket
import subprocess
import time
from dataclasses import dataclass, field

import pytest

from conftest import BUILD_DIR, SOURCE_DIR
from datafiles import TRANSFER_SIZE, build, make_image
from flashing import (CHUNK, CLEAR, CONTINUE, FLASH_FAILED, LOADED, flashed_board, searching,
                      table, table_line, validate)
from ipmisim_bench import BACKEND_DIR, IpmiSimBench
from simplatform import PRIMARY, SECONDARY, banner

QEMU = "qemu-system-x86_64"
MAKE_GUEST = SOURCE_DIR / "tests" / "inband" / "make-guest.sh"
GUEST_DIR = BUILD_DIR / "tests" / "inband" / "guest"
# One boot, from QEMU's start to the guest's power-off, all its runs included.
BOOT_LIMIT_S = 420
# A working KVM reaches the kernel's panic in a few seconds.
KVM_PROBE_LIMIT_S = 30
ERASE_POLLS = 3
# As ipmitool shows them; OLD and NEW below are the same as the table shows them.
IMAGE_REVISION = "2.31"
OLD_REVISION = "1.10"
# The default in-band configuration: only the platform's ID, which no
# standard answer carries.
BACKEND_CONFIG = "system_id = 16D\n"


def qemu_unusable():
    """Why this machine cannot run QEMU at all, or None."""
    if shutil.which(QEMU) is None:
        return f"{QEMU} is not installed"
    try:
        probe = subprocess.run([QEMU, "-machine", "help"], stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT, timeout=60)
    except (OSError, subprocess.TimeoutExpired) as error:
        return f"{QEMU} cannot start: {error}"
    if probe.returncode != 0 or b"pc" not in probe.stdout:
        return f"{QEMU} cannot start: {probe.stdout.decode(errors='replace').strip()}"
    return None


UNUSABLE = qemu_unusable()
pytestmark = pytest.mark.skipif(UNUSABLE is not None,
                                reason=f"QEMU cannot run on this machine ({UNUSABLE}); "
                                "the in-band proof needs it")


@functools.cache
def accelerator():
    """KVM when it really runs a guest, TCG otherwise: a nested or restricted
    host may offer /dev/kvm and then hang or abort on the first guest
    instruction, so the guest kernel is booted once to its root-mount panic."""
    if not os.access("/dev/kvm", os.R_OK | os.W_OK):
        return "tcg"
    probe = [QEMU, "-nodefaults", "-machine", "pc,accel=kvm", "-m", "256", "-display", "none",
             "-no-reboot", "-kernel", str(GUEST_DIR / "kernel"),
             "-append", "panic=-1"]
    try:
        return "kvm" if subprocess.run(probe, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                       stderr=subprocess.DEVNULL, timeout=KVM_PROBE_LIMIT_S
                                       ).returncode == 0 else "tcg"
    except subprocess.TimeoutExpired:
        return "tcg"


def free_tcp_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


@dataclass
class GuestRun:
    rc: int
    ms: int
    stdout: str
    stderr: str
    sleeps_ms: list
    service: list
    modules: list = field(default_factory=list)


@dataclass
class Boot:
    runs: dict
    console: str
    wall_s: float

    def run(self, name):
        assert name in self.runs, f"the guest did not report {name!r}; console:\n{self.console[-4000:]}"
        return self.runs[name]


def decoded(text):
    return base64.b64decode(text).decode("latin-1")


def parse_results(text):
    runs = {}
    current = {}
    for line in text.replace("\r", "").splitlines():
        key, _, value = line.partition(" ")
        if key == "case":
            current = {}
        elif key == "end":
            runs[value] = GuestRun(
                rc=int(current["rc"]), ms=int(current["ms"]), stdout=decoded(current["stdout"]),
                stderr=decoded(current["stderr"]),
                sleeps_ms=[int(us) // 1000 for us in current["sleeps"].split()],
                service=decoded(current["service"]).splitlines(),
                modules=current["modules"].split())
        else:
            current[key] = value
    return runs


@pytest.fixture(scope="module")
def guest():
    """The guest's kernel and initramfs, built (or found current) once."""
    made = subprocess.run(["bash", str(MAKE_GUEST), str(BUILD_DIR), str(GUEST_DIR)],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=300)
    assert made.returncode == 0, made.stderr
    return GUEST_DIR


def pack(folder, files):
    """A newc archive of `files` (guest path -> bytes or text), which the
    kernel unpacks over the guest's image."""
    root = folder / "root"
    for path, content in files.items():
        target = root / path.lstrip("/")
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_bytes(content if isinstance(content, bytes) else content.encode())
    listing = subprocess.run(["find", ".", "-mindepth", "1"], cwd=root, check=True,
                             stdout=subprocess.PIPE).stdout
    archive = subprocess.run(["cpio", "--quiet", "-o", "-H", "newc", "-R", "0:0"], cwd=root,
                             input=listing, stdout=subprocess.PIPE, check=True).stdout
    return archive


def boot(guest_dir, folder, bench, cases, files):
    """Boots the guest against `bench` with `cases` (shell lines run by the
    guest's init) and `files`; returns what the guest reported."""
    folder.mkdir(parents=True, exist_ok=True)
    initrd = folder / "initrd.cpio"
    initrd.write_bytes((guest_dir / "initramfs.cpio").read_bytes()
                       + pack(folder, {**files, "/cases.sh": cases}))
    console, results = folder / "console.txt", folder / "results.txt"
    command = [
        QEMU, "-nodefaults", "-machine", f"pc,accel={accelerator()}", "-m", "256",
        "-display", "none", "-no-reboot",
        "-kernel", str(guest_dir / "kernel"), "-initrd", str(initrd),
        "-append", "console=ttyS0 quiet panic=-1",
        "-chardev", f"socket,id=bmc-link,host=127.0.0.1,port={bench.vm_port},reconnect=1",
        "-device", "ipmi-bmc-extern,chardev=bmc-link,id=bmc0",
        "-device", "isa-ipmi-kcs,bmc=bmc0",
        "-serial", f"file:{console}", "-serial", f"file:{results}",
    ]
    started = time.monotonic()
    qemu = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, timeout=BOOT_LIMIT_S)
    wall = time.monotonic() - started
    console_text = console.read_text(errors="replace") if console.exists() else ""
    assert qemu.returncode == 0, qemu.stdout.decode(errors="replace") + console_text
    report = results.read_text(errors="replace") if results.exists() else ""
    assert "\ndone " in "\n" + report.replace("\r", ""), f"the guest did not finish:\n{console_text}"
    return Boot(parse_results(report), console_text, wall)


def start_bench(folder, boards, **options):
    return IpmiSimBench(folder, boards, vm_port=free_tcp_port(), erase_polls=ERASE_POLLS,
                        **options).start()


def data_file(folder):
    """fwpack.dat with one simulated image; returns (file bytes, image bytes)."""
    folder.mkdir(parents=True, exist_ok=True)
    image = make_image(folder, "image.bin", IMAGE_REVISION)
    data = build(folder, "fwpack.dat", "--rev", IMAGE_REVISION, image.name)
    return bytes(data), image.read_bytes()


def test_closing_the_library_unloads_it_and_keeps_freeipmi_loaded():
    """What lets the driver service go right after the program closes the
    library: the library, and with it its session, is gone; FreeIPMI and
    libgcrypt stay for the rest of the process."""
    check = subprocess.run(
        ["/usr/bin/python3", "-c",
         "import ctypes, _ctypes, sys\n"
         "_ctypes.dlclose(ctypes.CDLL(sys.argv[1])._handle)\n"
         "maps = open('/proc/self/maps').read()\n"
         "print([name in maps for name in ('libqrxipm32', 'libfreeipmi', 'libgcrypt')])\n",
         str(BACKEND_DIR / "libqrxipm32.so")],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=60)
    assert (check.stdout, check.stderr) == ("[False, True, True]\n", "")


# --- boot 1: both backplanes answer and take the unlock code ---------------

UPDATE_CASES = """
run_case revision -revision < /dev/null
run_case inventory -xml < /dev/null
echo Y | run_case update
run_case after -revision < /dev/null
ipmi_unload
run_case unloaded -revision < /dev/null
ipmi_load
"""


@pytest.fixture(scope="module")
def update_boot(guest, tmp_path_factory):
    folder = tmp_path_factory.mktemp("update")
    data, image = data_file(folder / "data")
    bench = start_bench(folder / "bmc", {PRIMARY: OLD_REVISION, SECONDARY: OLD_REVISION})
    try:
        result = boot(guest, folder / "guest", bench, UPDATE_CASES, {
            "/root/fwpack.dat": data, "/etc/velmoran/freeipmi.conf": BACKEND_CONFIG})
        checks = {address: (bench.firmware_revision(address), bench.written_image(address),
                            bench.counters(address)) for address in (PRIMARY, SECONDARY)}
    finally:
        bench.stop()
    print(f"\nin-band update boot: {result.wall_s:.1f} s wall; two-board update in the guest: "
          f"{result.runs['update'].ms if 'update' in result.runs else '?'} ms")
    return result, checks, image


OLD = (0x01, 0x10)
NEW = (0x02, 0x31)


def table_of(current, boards=(PRIMARY, SECONDARY)):
    return table([table_line(address, current, NEW) for address in boards])


# The driver service is up when the program starts: only the probe runs,
# plus stopusers and startusers around a flash.
PROBE_ONLY = ["tesselinstall.sh checkstatus"]
IPMI_MODULES = ["ipmi_devintf", "ipmi_msghandler", "ipmi_si"]


def test_revision_only_run_reads_both_boards_through_the_kernel_driver(update_boot):
    run = update_boot[0].run("revision")
    assert (run.rc, run.stderr) == (0, "")
    assert run.stdout == banner() + searching() + LOADED + table_of(OLD)
    assert (run.sleeps_ms, run.service) == ([], PROBE_ONLY)


def test_inventory_lists_both_boards(update_boot, tmp_path):
    run = update_boot[0].run("inventory")
    assert (run.rc, run.stderr, run.sleeps_ms) == (0, "", [])
    device = ('   <Device componentID="3967" display="Backplane">\n'
              '      <Application componentType="FRMW" version="1.10" display="{}"/>\n'
              '   </Device>\n')
    assert run.stdout == ('<?xml version="1.0" encoding="UTF-8"?>\n<SVMInventory lang="en">\n'
                          + device.format("Primary Backplane")
                          + device.format("Secondary Backplane") + "</SVMInventory>\n")
    validate(run.stdout, tmp_path)


def test_update_flashes_both_boards_in_band(update_boot):
    run = update_boot[0].run("update")
    assert (run.rc, run.stderr) == (0, "")
    assert run.stdout == (banner() + searching() + LOADED + table_of(OLD) + CONTINUE
                          + flashed_board(PRIMARY, erase_dots=2)
                          + flashed_board(SECONDARY, erase_dots=2))
    # Per board: the erase wait; the first poll's two attempts answered busy
    # and the second left after it; one more busy answer on the next poll;
    # the pause before the revision check.
    per_board = [5000, 10, 10, 1000, 10, 5000]
    assert run.sleeps_ms == per_board * 2
    assert run.service == PROBE_ONLY + ["pelord stopusers", "pelord startusers"]


def test_boards_hold_the_image_read_back_over_lan(update_boot):
    _, checks, image = update_boot
    expected = b"\x00\xb0" + image[2:TRANSFER_SIZE]
    for address in (PRIMARY, SECONDARY):
        revision, written, counters = checks[address]
        assert revision == IMAGE_REVISION
        assert written == expected
        assert (counters["enters"], counters["data_commands"]) == ("1", str(-(-TRANSFER_SIZE // CHUNK)))


def test_revision_after_update_shows_the_new_firmware(update_boot):
    run = update_boot[0].run("after")
    assert (run.rc, run.stderr) == (0, "")
    assert run.stdout == banner() + searching() + LOADED + table_of(NEW)


def test_install_script_loads_the_kernel_driver_and_unloads_it_again(update_boot):
    """With the IPMI modules unloaded the probe reports the driver as not
    installed: the run installs it, reads the boards and uninstalls it."""
    run = update_boot[0].run("unloaded")
    assert (run.rc, run.stderr) == (0, "")
    assert run.stdout == banner() + searching() + LOADED + table_of(NEW)
    assert run.service == ["tesselinstall.sh checkstatus", "tesselinstall.sh install",
                           "tesselinstall.sh uninstall"]
    assert run.modules == []
    assert update_boot[0].run("after").modules == IPMI_MODULES


# --- boot 2: the secondary backplane is silent, unlock codes refused -------

REFUSED_CASES = """
echo Y | run_case refused
"""


@pytest.fixture(scope="module")
def refused_boot(guest, tmp_path_factory):
    folder = tmp_path_factory.mktemp("refused")
    data, _ = data_file(folder / "data")
    bench = start_bench(folder / "bmc", {PRIMARY: OLD_REVISION}, accept="none")
    try:
        result = boot(guest, folder / "guest", bench, REFUSED_CASES, {
            "/root/fwpack.dat": data, "/etc/velmoran/freeipmi.conf": BACKEND_CONFIG})
        checks = (bench.firmware_revision(PRIMARY), bench.counters(PRIMARY))
    finally:
        bench.stop()
    return result, checks


def test_silent_board_is_skipped_and_refused_unlock_fails_the_flash(refused_boot):
    run = refused_boot[0].run("refused")
    assert run.stdout == (banner() + searching() + LOADED + table_of(OLD, [PRIMARY]) + CONTINUE
                          + "   Processing Primary Backplane \n" + CLEAR)
    assert (run.stderr, run.rc) == (FLASH_FAILED, 11)
    # Five attempts at the silent board, five at each unlock code, and five
    # at the EXIT_FW_XFER of the failure path, which the board refuses too.
    assert run.sleeps_ms == [200] * 5 + [200] * 10 + [200] * 5
    # Each attempt at the silent board is one send that the kernel gives up
    # on after about 2 s; with the kernel's own resends it would be 10 s
    # each, 50 s for the board.
    assert 5000 <= run.ms < 30000, run.ms
    assert run.service == PROBE_ONLY + ["pelord stopusers", "pelord startusers"]
    revision, counters = refused_boot[1]
    assert revision == OLD_REVISION
    assert counters == {}
