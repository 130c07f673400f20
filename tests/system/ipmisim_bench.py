# SPDX-License-Identifier: GPL-3.0-or-later
"""An emulated BMC on loopback for the FreeIPMI backend's tests and benchmark:
ipmi_sim with the boards' module, on ports and in a folder of its own, plus
the backend's configuration pointing at it."""

import os
import pathlib
import shutil
import socket
import subprocess
import time

BUILD_DIR = pathlib.Path(os.environ.get("VELMORAN_BUILD_DIR", "../../build")).resolve()
BACKEND_DIR = BUILD_DIR / "backends" / "freeipmi"
MODULE = BUILD_DIR / "tests" / "ipmisim" / "ipmisim_boards.so"
DRIVER = BUILD_DIR / "tests" / "ipmisim" / "hapi_driver"
USER = "velmoran"
PASSWORD = "bench-secret"
READY_TIMEOUT_S = 10.0


def missing_parts():
    """What this bench needs but cannot find, or an empty list."""
    missing = [tool for tool in ("ipmi_sim", "ipmitool") if shutil.which(tool) is None]
    for path in (BACKEND_DIR / "libqrxipm32.so", BACKEND_DIR / "libqrxbas32.so", MODULE, DRIVER):
        if not path.exists():
            missing.append(str(path))
    return missing


def port_is_free(port):
    """True when nothing holds the UDP port. ipmi_sim binds with address
    reuse, so a second one on a taken port would start silently."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        try:
            probe.bind(("127.0.0.1", port))
        except OSError:
            return False
    return True


def free_udp_port():
    for _ in range(20):
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
            probe.bind(("127.0.0.1", 0))
            port = probe.getsockname()[1]
        if port_is_free(port):
            return port
    raise RuntimeError("no free UDP port on loopback")


def write_backend_config(folder, port, password=PASSWORD, system_id="16D",
                         session_timeout_ms=2000, retransmission_timeout_ms=200, extra=""):
    """Writes the backend's configuration and password file; returns its path."""
    password_file = folder / "bmc.password"
    password_file.write_text(password + "\n")
    password_file.chmod(0o600)
    lines = [
        "# test bench",
        "interface = lan",
        "host = 127.0.0.1",
        f"port = {port}",
        f"user = {USER}",
        f"password_file = {password_file}",
        "cipher_suite = 3",
        "privilege = admin",
        "workaround_flags = open_session_privilege",
    ]
    # None: the backend's own defaults.
    if session_timeout_ms is not None:
        lines.append(f"session_timeout_ms = {session_timeout_ms}")
    if retransmission_timeout_ms is not None:
        lines.append(f"retransmission_timeout_ms = {retransmission_timeout_ms}")
    if system_id is not None:
        lines.append(f"system_id = {system_id}")
    config = folder / "freeipmi.conf"
    config.write_text("\n".join(lines) + "\n" + extra)
    return config


class IpmiSimBench:
    """One ipmi_sim: BMC at 0x20 and a board at each address of `boards`
    (address -> revision text such as "1.10"). `options` go to the module.
    With `vm_port` the BMC also serves a virtual machine's system interface
    (QEMU's ipmi-bmc-extern) on that loopback TCP port."""

    def __init__(self, folder, boards, vm_port=None, **options):
        self.folder = pathlib.Path(folder)
        self.boards = dict(boards)
        self.vm_port = vm_port
        self.options = options
        self.state = self.folder / "boards"
        self.port = None
        self.process = None

    def start(self):
        self.state.mkdir(parents=True, exist_ok=True)
        (self.folder / "persist").mkdir(exist_ok=True)
        self.port = free_udp_port()
        revisions = ",".join(f"{address:x}:{revision}" for address, revision in self.boards.items())
        words = [f"state={self.state}", f"rev={revisions}"]
        words += [f"{key}={value}" for key, value in self.options.items()]
        lan_conf = self.folder / "lan.conf"
        lan_conf.write_text("\n".join([
            'name "velmoran-bench"',
            "set_working_mc 0x20",
            "  startlan 1",
            f"    addr 127.0.0.1 {self.port}",
            "    priv_limit admin",
            "    allowed_auths_admin none md2 md5 straight",
            "    guid a123456789abcdefa123456789abcdef",
            "  endlan",
            *([f"  serial kcs 127.0.0.1 {self.vm_port} codec VM"] if self.vm_port else []),
            f'  loadlib "{MODULE}" "{" ".join(words)}"',
            f'  user 2 true "{USER}" "{PASSWORD}" admin 10 none md2 md5 straight',
        ]) + "\n")
        emu = ["mc_setbmc 0x20",
               "mc_add 0x20 0 no-device-sdrs 0x01 1 0 0xbf 0x1291 0x0001",
               "mc_enable 0x20"]
        for address in self.boards:
            emu += [f"mc_add 0x{address:x} 1 no-device-sdrs 0x01 1 0 0x01 0x1291 0x0100",
                    f"mc_enable 0x{address:x}"]
        emu_file = self.folder / "bench.emu"
        emu_file.write_text("\n".join(emu) + "\n")
        environment = dict(os.environ, LD_PRELOAD=str(MODULE))
        self.process = subprocess.Popen(
            ["ipmi_sim", "-n", "-c", str(lan_conf), "-f", str(emu_file),
             "-s", str(self.folder / "persist")],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
            env=environment)
        self._wait_ready()
        return self

    def _wait_ready(self):
        # A real bridged request proves the whole path, a bound port does not.
        target = next(iter(self.boards), 0x20)
        deadline = time.monotonic() + READY_TIMEOUT_S
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError("ipmi_sim ended: " + self.process.stderr.read().decode())
            if self.ipmitool("-b", "0", "-t", f"0x{target:x}", "raw", "0x06", "0x01",
                             timeout=5).returncode == 0:
                return
            time.sleep(0.05)
        self.stop()
        raise RuntimeError("ipmi_sim did not answer a bridged Get Device ID")

    def ipmitool(self, *arguments, timeout=30, stdin=None):
        # -C 3: without it ipmitool waits seconds for a cipher-suite fallback.
        command = ["ipmitool", "-I", "lanplus", "-C", "3", "-H", "127.0.0.1",
                   "-p", str(self.port), "-U", USER, "-P", PASSWORD, *arguments]
        return subprocess.run(command, input=stdin, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, timeout=timeout, text=True)

    def firmware_revision(self, address):
        """A board's firmware revision as ipmitool's bridged `mc info` shows it."""
        shown = self.ipmitool("-b", "0", "-t", f"0x{address:x}", "mc", "info")
        assert shown.returncode == 0, shown.stderr
        return next(line.split(":", 1)[1].strip() for line in shown.stdout.splitlines()
                    if line.startswith("Firmware Revision"))

    def written_image(self, address):
        path = self.state / f"board_{address:02x}.bin"
        return path.read_bytes() if path.exists() else None

    def counters(self, address):
        path = self.state / f"board_{address:02x}.txt"
        if not path.exists():
            return {}
        return dict(line.split("=", 1) for line in path.read_text().split())

    def stop(self):
        if self.process is not None and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        if self.process is not None and self.process.stderr is not None:
            self.process.stderr.close()
        self.process = None


def backend_environment(config):
    """The environment under which a program loads the FreeIPMI backend."""
    return {"LD_LIBRARY_PATH": str(BACKEND_DIR), "VELMORAN_FREEIPMI_CONFIG": str(config)}
