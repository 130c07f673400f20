# SPDX-License-Identifier: GPL-3.0-or-later
"""The simulated platform harness: every system test runs velmoran through it.

A test describes a platform (system ID, boards with revisions, faults, driver
service state), then runs the real binary against it:

    sim = SimPlatform(tmp_path, Platform(system_id=0x016C, boards=[Board(0xC0)]))
    run = sim.run("-force", files={"fwpack.dat": data})
    assert run.rc == 0
    assert run.request_lines()[:2] == ["20 18 32 0001", "C0 18 01"]

Each run happens in `tmp_path/run` (the program's current directory, holding
the sim's tesselinstall.sh unless asked otherwise and any files given),
started by the platform's one launcher, build/sim/simrun: inside a private
mount namespace where build/sim/init.d is bind-mounted over /etc/init.d, with
the simulated libraries on LD_LIBRARY_PATH and the sleep shim preloaded, so no
specified wait is ever waited. The platform's state
folder is `tmp_path/platform`; it persists between runs of one SimPlatform,
so a second run sees what the first did.

The result (`SimRun`) holds rc/stdout/stderr, the parsed request log, the
requested sleeps in milliseconds, the service log, the platform state after
the run and each board's written flash bytes. Formats: sim/README.md.
"""

import pathlib
import shutil
import subprocess
from dataclasses import dataclass, field

import pytest

from conftest import BUILD_DIR, VELMORAN, run_binary
from protocol import (BMC_SLAVE_ADDRESS, CMD_ENABLE_MESSAGE_CHANNEL_RECEIVE, CMD_GET_DEVICE_ID, FLASH_SIZE,  # noqa: F401
                      FLASH_START, MEDIA_BAY, NETFN_APP, PRIMARY, SECONDARY)

SIM_DIR = BUILD_DIR / "sim"
SIM_VARIANTS = SIM_DIR / "variants"
INIT_DIR = SIM_DIR / "init.d"
INSTALL_SCRIPT = SIM_DIR / "tesselinstall.sh"
LAUNCHER = SIM_DIR / "simrun"
SLEEP_SHIM = BUILD_DIR / "tests" / "shim" / "libsleepshim.so"

STATE_FILE = "platform.txt"
SERVICE_FILE = "service.txt"
SERVICE_LOG = "service.log"
REQUEST_LOG = "requests.log"
SLEEP_LOG = "sleeps.log"
BOARD_IMAGES = "board_*.bin"

# The flash range the transfer protocol writes (FLASH_START, FLASH_SIZE):
# image files hold these bytes.

# Addresses, network-function bytes and commands, for readable expectations.
BMC = BMC_SLAVE_ADDRESS
ENABLE_IPMB = f"{BMC:02X} {NETFN_APP:02X} {CMD_ENABLE_MESSAGE_CHANNEL_RECEIVE:02X} 0001"


def get_device_id(address):
    """The request line of Get Device ID to a board."""
    return f"{address:02X} {NETFN_APP:02X} {CMD_GET_DEVICE_ID:02X}"


@dataclass
class Board:
    """One board on the IPMB bus. Revision bytes as the board reports them
    (bit 7 of the first: running from the boot block)."""
    address: int
    revision: tuple = (0x01, 0x05)
    silent: bool = False
    erase_busy: object = 2              # Get Device ID requests unanswered after ENTER, or "forever"
    unlock_refused: str = None          # "first" or "both"
    refuse_chunk: int = 0               # 1-based data command refused on every attempt
    refuse_exit: bool = False
    silent_after_flash: bool = False
    revision_after_flash: tuple = None

    def render(self):
        words = [f"board 0x{self.address:02X}", f"revision={_revision(self.revision)}"]
        if self.silent:
            words.append("silent")
        words.append(f"erase_busy={self.erase_busy}")
        if self.unlock_refused:
            words.append(f"unlock_refused={self.unlock_refused}")
        if self.refuse_chunk:
            words.append(f"refuse_chunk={self.refuse_chunk}")
        if self.refuse_exit:
            words.append("refuse_exit")
        if self.silent_after_flash:
            words.append("silent_after_flash")
        if self.revision_after_flash:
            words.append(f"revision_after_flash={_revision(self.revision_after_flash)}")
        return " ".join(words)


@dataclass
class Fault:
    """An injected fault: requests matching target/netfn/command (None: any)
    get `kind` ("cc=0xC1", "driver", "noexchange", "short", "overlong"),
    the first `count` of them, or all when count is None, once `after`
    matching requests have gone through untouched."""
    target: int
    netfn: int
    command: int
    kind: str
    count: int = None
    after: int = 0

    def render(self):
        selectors = ["*" if value is None else f"0x{value:02X}" for value in (self.target, self.netfn, self.command)]
        count = "always" if self.count is None else str(self.count)
        after = f" after={self.after}" if self.after else ""
        return f"fault {' '.join(selectors)} {self.kind} {count}{after}"


@dataclass
class Service:
    """The stand-in driver service. checkstatus_exit forces the probe's exit
    status (a number, or "signal" to be killed); signal_at ("stopusers:QUIT")
    sends the program a signal while that action's script runs."""
    installed: bool = True
    running: bool = True
    users_stopped: bool = False
    checkstatus_exit: object = None
    signal_at: str = None

    def render(self):
        lines = [f"installed={int(self.installed)}", f"running={int(self.running)}",
                 f"users_stopped={int(self.users_stopped)}"]
        if self.checkstatus_exit is not None:
            lines.append(f"checkstatus_exit={self.checkstatus_exit}")
        if self.signal_at is not None:
            lines.append(f"signal_at={self.signal_at}")
        return "\n".join(lines) + "\n"

    @classmethod
    def parse(cls, text):
        values = dict(line.split("=", 1) for line in text.splitlines() if "=" in line)
        return cls(installed=values.get("installed") == "1", running=values.get("running") == "1",
                   users_stopped=values.get("users_stopped") == "1",
                   checkstatus_exit=values.get("checkstatus_exit"), signal_at=values.get("signal_at"))


def _default_boards():
    return [Board(PRIMARY), Board(SECONDARY)]


@dataclass
class Platform:
    """A whole platform. host_info: "auto" (0xFE escape above 0xFF), "plain",
    "escape" or "fail" (the entry then returns host_info_failure)."""
    system_id: int = 0x016D
    boards: list = field(default_factory=_default_boards)
    host_info: str = "auto"
    host_info_failure: int = 0
    front_panel: int = 0xF0
    bmc_silent: bool = False
    chassis_status_length: int = 4
    remote: bool = False
    faults: list = field(default_factory=list)
    service: Service = field(default_factory=Service)

    def render(self):
        host_info = self.host_info + (f" {self.host_info_failure}" if self.host_info == "fail" else "")
        lines = [f"system_id 0x{self.system_id:04X}", f"host_info {host_info}",
                 f"front_panel 0x{self.front_panel:02X}", f"bmc {'silent' if self.bmc_silent else 'answering'}",
                 f"chassis_status_length {self.chassis_status_length}"]
        lines += ["link remote"] if self.remote else []
        lines += [board.render() for board in self.boards]
        lines += [fault.render() for fault in self.faults]
        return "\n".join(lines) + "\n"

    def board(self, address):
        return next(board for board in self.boards if board.address == address)

    @classmethod
    def parse(cls, text, service=None):
        """Reads a state file as the simulated library writes it back."""
        platform = cls(boards=[], service=service or Service())
        for line in text.splitlines():
            words = line.split()
            if not words or words[0].startswith("#"):
                continue
            key, values = words[0], words[1:]
            if key == "system_id":
                platform.system_id = int(values[0], 0)
            elif key == "host_info":
                platform.host_info = values[0]
                if len(values) > 1:
                    platform.host_info_failure = int(values[1], 0)
            elif key == "front_panel":
                platform.front_panel = int(values[0], 0)
            elif key == "bmc":
                platform.bmc_silent = values[0] == "silent"
            elif key == "chassis_status_length":
                platform.chassis_status_length = int(values[0])
            elif key == "link":
                platform.remote = values[0] == "remote"
            elif key == "board":
                platform.boards.append(_parse_board(values))
            elif key == "fault":
                target, netfn, command, kind = values[:4]
                selector = [None if value == "*" else int(value, 0) for value in (target, netfn, command)]
                fault = Fault(*selector, kind)
                for word in values[4:]:
                    if word.startswith("after="):
                        fault.after = int(word[len("after="):])
                    elif word != "always":
                        fault.count = int(word)
                platform.faults.append(fault)
        return platform


def _revision(revision):
    return f"{revision[0]:02X}.{revision[1]:02X}"


def _parse_revision(text):
    major, minor = text.split(".")
    return (int(major, 16), int(minor, 16))


def _parse_board(words):
    board = Board(int(words[0], 0))
    for word in words[1:]:
        key, _, value = word.partition("=")
        if key in ("revision", "revision_after_flash"):
            setattr(board, key, _parse_revision(value))
        elif key in ("silent", "refuse_exit", "silent_after_flash"):
            setattr(board, key, True)
        elif key == "erase_busy":
            board.erase_busy = value if value == "forever" else int(value)
        elif key == "refuse_chunk":
            board.refuse_chunk = int(value)
        elif key == "unlock_refused":
            board.unlock_refused = value
    return board


@dataclass(frozen=True)
class Request:
    """One request handed to the IPMI entry."""
    target: int
    netfn: int
    command: int
    data: bytes

    def __str__(self):
        line = f"{self.target:02X} {self.netfn:02X} {self.command:02X}"
        return line + (f" {self.data.hex().upper()}" if self.data else "")

    @classmethod
    def parse(cls, line):
        words = line.split()
        data = bytes.fromhex(words[3]) if len(words) > 3 else b""
        return cls(int(words[0], 16), int(words[1], 16), int(words[2], 16), data)


@dataclass
class SimRun:
    rc: int
    stdout: str
    stderr: str
    requests: list          # Request, in the order the library got them
    sleeps_ms: list         # every requested sleep, in milliseconds
    service_log: list       # "tesselinstall.sh checkstatus", "pelord start", ...
    state: Platform         # the platform as the run left it
    images: dict            # board address -> its FLASH_SIZE flash bytes, for boards written

    def request_lines(self):
        return [str(request) for request in self.requests]

    def requests_to(self, target):
        return [request for request in self.requests if request.target == target]


_isolation = None
_runtimes = None


def _sanitizer_runtimes():
    """A sanitizer build of velmoran needs its runtime first in the preload list."""
    global _runtimes
    if _runtimes is None:
        listing = subprocess.run(["ldd", str(VELMORAN)], stdout=subprocess.PIPE, text=True).stdout
        _runtimes = [line.split("=>")[1].split()[0] for line in listing.splitlines()
                     if "=>" in line and line.split()[0].startswith("libasan")]
    return _runtimes


def namespace_available():
    """Whether this process may run the binary in a private mount namespace."""
    global _isolation
    if _isolation is None:
        try:
            probe = subprocess.run(["unshare", "--mount", "--propagation", "private", "--", "true"],
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30)
            _isolation = probe.returncode == 0
        except OSError:
            _isolation = False
    return _isolation


class SimPlatform:
    """A simulated platform in `root`; run() starts velmoran against it."""

    def __init__(self, root, platform=None):
        self.root = pathlib.Path(root)
        self.state_dir = self.root / "platform"
        self.cwd = self.root / "run"
        # The program's own state folder (its recovery record).
        self.recovery_dir = self.root / "state"
        # Mounted over /etc/velmoran when a test makes it (signing.py);
        # otherwise the launcher's own: no policy and no trusted key.
        self.config_dir = self.root / "config"
        self.state_dir.mkdir(parents=True, exist_ok=True)
        self.cwd.mkdir(parents=True, exist_ok=True)
        # Root runs ./tesselinstall.sh only from a folder no one else can write.
        self.cwd.chmod(0o755)
        self.platform = platform or Platform()
        (self.state_dir / STATE_FILE).write_text(self.platform.render())
        (self.state_dir / SERVICE_FILE).write_text(self.platform.service.render())

    def run(self, *args, stdin=b"", install_script=True, files=None, libraries=None, timeout=120):
        """Runs velmoran with `args`. files: {name: bytes} put into the current
        directory; libraries: the loader's whole search path (default: just
        build/sim; see SIM_VARIANTS for libraries without their entry);
        install_script=False leaves out ./tesselinstall.sh, "keep" leaves the
        folder's own one as the test put it there."""
        argv, env = self.prepare(*args, install_script=install_script, files=files, libraries=libraries)
        result = run_binary(argv, self.cwd, stdin=stdin, env=env, timeout=timeout)
        return self._collect(result)

    def collect(self, rc, stdout, stderr):
        """The SimRun of a run started from prepare()'s command line."""
        class _Done:
            pass
        done = _Done()
        done.rc, done.stdout, done.stderr = rc, stdout, stderr
        return self._collect(done)

    def prepare(self, *args, install_script=True, files=None, libraries=None, fresh=True):
        """The command line and environment of a run, the platform's folder
        made ready for it (fresh=False keeps the logs of a run still going)."""
        if not namespace_available():
            pytest.skip("needs root and a private mount namespace (unshare --mount)")
        for log in (REQUEST_LOG, SLEEP_LOG, SERVICE_LOG) if fresh else ():
            (self.state_dir / log).unlink(missing_ok=True)
        # The library never reads the images back, and `images` must show only
        # what this run wrote, not what an earlier run left behind.
        for image in self.state_dir.glob(BOARD_IMAGES) if fresh else ():
            image.unlink()
        script = self.cwd / "tesselinstall.sh"
        if install_script != "keep":
            script.unlink(missing_ok=True)
            if install_script:
                shutil.copy2(INSTALL_SCRIPT, script)
                script.chmod(0o755)
        for name, content in (files or {}).items():
            (self.cwd / name).write_bytes(content)

        search_path = [SIM_DIR] if libraries is None else libraries
        env = {
            "SLEEPSHIM_LOG": str(self.state_dir / SLEEP_LOG),
            "QRXSIM_LOG": str(self.state_dir / REQUEST_LOG),
            "VELMORAN_STATE_DIR": str(self.recovery_dir),
        }
        # Only velmoran (and what it starts) gets the shim, not the tools
        # that set the namespace up; a sanitizer runtime must come first.
        argv = [LAUNCHER, "--libraries", ":".join(str(folder) for folder in search_path), "--init-dir", INIT_DIR]
        if self.config_dir.exists():
            argv += ["--config-dir", self.config_dir]
        for library in _sanitizer_runtimes() + [str(SLEEP_SHIM)]:
            argv += ["--preload", library]
        argv += [self.state_dir / STATE_FILE, VELMORAN, *args]
        return argv, env

    def _read(self, name):
        path = self.state_dir / name
        return path.read_text() if path.exists() else ""

    def _collect(self, result):
        service = Service.parse(self._read(SERVICE_FILE))
        images = {}
        for path in self.state_dir.glob(BOARD_IMAGES):
            images[int(path.stem.split("_")[1], 16)] = path.read_bytes()
        sleeps = []
        for line in self._read(SLEEP_LOG).split():
            microseconds = int(line)
            sleeps.append(microseconds // 1000 if microseconds % 1000 == 0 else microseconds / 1000)
        return SimRun(
            rc=result.rc, stdout=result.stdout, stderr=result.stderr,
            requests=[Request.parse(line) for line in self._read(REQUEST_LOG).splitlines() if line],
            sleeps_ms=sleeps,
            service_log=self._read(SERVICE_LOG).splitlines(),
            state=Platform.parse(self._read(STATE_FILE), service),
            images=images)


_banner = None


def banner():
    """The version banner that option translation prints ahead of a run's own
    output, as `-version` prints it. Tests expect it at the start of standard
    output; a build that prints no banner is broken, and every test asking
    for it fails."""
    global _banner
    if _banner is None:
        import tempfile
        with tempfile.TemporaryDirectory() as root:
            stdout = SimPlatform(root).run("-version").stdout
        assert stdout.startswith("\n   Velmoran Version:"), f"velmoran -version printed {stdout!r}: the build is broken"
        _banner = stdout
    return _banner
