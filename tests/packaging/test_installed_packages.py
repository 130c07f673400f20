# SPDX-License-Identifier: GPL-3.0-or-later
"""The Debian packages as an administrator meets them: installed with dpkg on
a throwaway copy of this system, the installed programs run from there (never
the build tree's), the FreeIPMI backend chosen through the loader
configuration the package made, and removal putting the loader back."""

import os
import pathlib
import shutil
import subprocess
import sys

import pytest

from throwaway_root import ThrowawayRoot

PACKAGE_DIR = pathlib.Path(os.environ["VELMORAN_PACKAGE_DIR"])
BUILD_DIR = pathlib.Path(os.environ.get("VELMORAN_BUILD_DIR", "../../build")).resolve()
SOURCE_DIR = pathlib.Path(os.environ.get("VELMORAN_SOURCE_DIR", "../..")).resolve()
SLEEP_SHIM = BUILD_DIR / "tests" / "shim" / "libsleepshim.so"
MULTIARCH = subprocess.run(["dpkg-architecture", "-qDEB_HOST_MULTIARCH"], check=True,
                           capture_output=True, text=True).stdout.strip()
PRIVATE_DIR = f"/usr/lib/{MULTIARCH}/velmoran"
FREEIPMI_CHOICE = f"{PRIVATE_DIR}/freeipmi/ld.so.conf"
SYSTEM_CHOICE = "/usr/share/velmoran-freeipmi/system-library.conf"
BACKEND_LINK = "/etc/ld.so.conf.d/00-velmoran-backend.conf"
VERSION = subprocess.run(["dpkg-parsechangelog", "-l", str(SOURCE_DIR / "debian" / "changelog"),
                          "-S", "Version"], check=True, capture_output=True, text=True).stdout.strip()
BANNER = f"\n   Velmoran Version:  {VERSION} \n   Copyright (c) 2026 The Velmoran Developers\n"
CLEAR = "\r" + " " * 74 + "\r"
LOADED = (f"\r   Loading file, please wait {CLEAR}"
          "\r   Loading file completed    CRC Complete \n")

sys.path.insert(0, str(SOURCE_DIR / "tests" / "system"))
import ipmisim_bench  # noqa: E402  the bench of the system tests, found through the path above
from ipmisim_bench import IpmiSimBench, write_backend_config  # noqa: E402


ARCH = subprocess.run(["dpkg-architecture", "-qDEB_HOST_ARCH"], check=True,
                      capture_output=True, text=True).stdout.strip()
ALL_PACKAGES = ("velmoran", "velmoran-freeipmi", "velmoran-sim")


def package(name):
    return PACKAGE_DIR / f"{name}_{VERSION}_{ARCH}.deb"


@pytest.fixture
def shared(tmp_path):
    """A host folder seen at the same path inside the root, holding the
    packages to install."""
    for name in ALL_PACKAGES:
        shutil.copy(package(name), tmp_path)
    return tmp_path


@pytest.fixture
def blank_root(shared):
    root = ThrowawayRoot(shared)
    yield root
    root.close()


def install(root, shared, *names):
    return root.check(["dpkg", "-i", *[shared / package(name).name for name in names]])


@pytest.fixture
def installed(blank_root, shared):
    install(blank_root, shared, *ALL_PACKAGES)
    return blank_root


def table(*rows):
    head = "\n   Firmware Versions                                 Current     Image\n"
    return head + "".join(f"    {name} {'.' * (45 - len(name))}    {current}       {image}   \n"
                          for name, current, image in rows) + "\n"


def flashed(name):
    """What the console shows for one board flashed after one erase poll."""
    progress = "".join(f"\r   Flash {percent}% Completed" for percent in range(1, 101))
    return (f"   Processing {name} \n\r   Erasing .completed{CLEAR}{progress}{CLEAR}"
            f"\r   Flash Completed\n\r   Checking Revision {CLEAR}\r   Checking Revision completed\n")


def library_folders(root):
    """Where the loader's cache finds each management library file."""
    cache = root.check(["ldconfig", "-p"]).stdout
    found = {}
    for line in cache.splitlines():
        words = line.split()
        if words and words[0] in ("libqrxipm32.so", "libqrxbas32.so"):
            found.setdefault(words[0], []).append(str(pathlib.Path(words[-1]).parent))
    return found


def test_files_land_where_debian_keeps_them(installed):
    for path in ["/usr/sbin/velmoran", "/usr/bin/fwpack", "/usr/sbin/velmoran-sim-run",
                 f"{PRIVATE_DIR}/freeipmi/libqrxipm32.so", f"{PRIVATE_DIR}/freeipmi/libqrxbas32.so",
                 f"{PRIVATE_DIR}/sim/libqrxipm32.so", f"{PRIVATE_DIR}/sim/libqrxbas32.so",
                 f"{PRIVATE_DIR}/sim/tesselinstall.sh", f"{PRIVATE_DIR}/sim/init.d/pelord",
                 "/usr/share/velmoran/velmoran.xsd",
                 "/usr/share/man/man8/velmoran.8.gz", "/usr/share/man/man1/fwpack.1.gz",
                 "/usr/share/man/man5/velmoran-freeipmi.conf.5.gz",
                 "/usr/share/man/man8/velmoran-sim-run.8.gz",
                 "/usr/share/bash-completion/completions/velmoran",
                 "/usr/share/bash-completion/completions/fwpack",
                 "/usr/share/bash-completion/completions/velmoran-sim-run",
                 "/usr/share/doc/velmoran/copyright", "/usr/share/doc/velmoran-freeipmi/copyright",
                 "/usr/share/doc/velmoran-sim/copyright", "/usr/share/doc/velmoran-sim/README.md.gz"]:
        assert installed.path(path).is_file(), f"{path} is not installed"
    config = installed.path("/etc/velmoran/freeipmi.conf").stat()
    assert (oct(config.st_mode & 0o7777), config.st_uid, config.st_gid) == ("0o640", 0, 0)
    conffiles = installed.check(["dpkg-query", "-W", "-f=${Conffiles}", "velmoran-freeipmi"]).stdout
    assert "/etc/velmoran/freeipmi.conf" in conffiles
    depends = installed.check(["dpkg-query", "-W", "-f=${Depends}", "velmoran-freeipmi"]).stdout
    assert f"velmoran (= {VERSION})" in depends and "libfreeipmi" in depends, depends
    # Neither backend is on the loader's default path by itself.
    assert not installed.path(f"/usr/lib/{MULTIARCH}/libqrxipm32.so").exists()


def test_installed_velmoran_reports_the_packaged_version(installed):
    result = installed.run(["velmoran", "-version"])
    assert (result.stdout, result.stderr, result.rc) == (BANNER, "", 0)
    packaged = installed.check(["dpkg-query", "-W", "-f=${Version}", "velmoran"]).stdout
    assert packaged == VERSION


def test_freeipmi_backend_is_what_the_loader_finds(installed):
    assert library_folders(installed) == {"libqrxipm32.so": [f"{PRIVATE_DIR}/freeipmi"],
                                          "libqrxbas32.so": [f"{PRIVATE_DIR}/freeipmi"]}
    query = installed.check(["update-alternatives", "--query", "velmoran-backend"]).stdout
    assert f"Link: {BACKEND_LINK}" in query
    assert "Status: auto" in query and f"Value: {FREEIPMI_CHOICE}" in query


def rehearsal(installed, shared, platform_text):
    """A platform file in a folder of its own, and a run folder holding a data
    file of one 1.06 image made by the installed fwpack; returned with the
    settings that record the run's waits instead of waiting them."""
    platform = shared / "platform" / "platform.txt"
    platform.parent.mkdir()
    platform.write_text(platform_text)
    run = shared / "run"
    run.mkdir()
    installed.check(["fwpack", "image", "-o", "bp.bin", "--rev", "1.06"], cwd=run)
    installed.check(["fwpack", "build", "-o", "fwpack.dat", "--rev", "1.06", "bp.bin"], cwd=run)
    return platform, run, {"LD_PRELOAD": SLEEP_SHIM, "SLEEPSHIM_LOG": shared / "sleeps.log"}


def test_sim_run_updates_the_simulated_platform(installed, shared):
    platform, run, waits = rehearsal(installed, shared, "system_id 0x016D\n"
                                     "board 0xC0 revision=01.05 erase_busy=1\n"
                                     "board 0xC2 revision=01.05 erase_busy=1\n")
    # The real state folder holds what a real run would act on; a rehearsal never looks there.
    # It starts empty here, whatever the host's own state folder holds.
    installed.check(["rm", "-rf", "/var/lib/velmoran"])
    installed.check(["mkdir", "-m", "0700", "/var/lib/velmoran"])
    installed.check(["sh", "-c", "echo planted > /var/lib/velmoran/recovery"])

    update = installed.run(["velmoran-sim-run", platform], cwd=run, env=waits, stdin=b"Y\n")
    assert (update.stdout, update.stderr, update.rc) == (
        BANNER + f"\r   Searching for devices ...{CLEAR}" + LOADED
        + table(("Primary Backplane", "1.05", "1.06"), ("Secondary Backplane", "1.05", "1.06"))
        + "   Continue ? Y/N: " + flashed("Primary Backplane") + flashed("Secondary Backplane"),
        "", 0)
    assert "board 0xC0 revision=01.06" in platform.read_text()
    assert "board 0xC2 revision=01.06" in platform.read_text()
    service = (platform.parent / "service.log").read_text().splitlines()
    assert service == ["tesselinstall.sh checkstatus", "pelord stopusers", "pelord startusers"]
    # The stand-ins were the run's only: nothing left in the folder or in /etc/init.d.
    assert not (run / "tesselinstall.sh").exists()
    assert not installed.path("/etc/init.d/pelord").exists()
    # The rehearsal's locks are in its own state folder, root's alone; the real one is as it was.
    assert not list(platform.parent.glob("*.lock"))
    state = platform.parent / "platform.txt.velmoran"
    assert (oct(state.stat().st_mode & 0o7777), state.stat().st_uid) == ("0o700", 0)
    assert (state / "qrxsim.lock").is_file() and not (state / "recovery").exists()
    assert sorted(path.name for path in installed.path("/var/lib/velmoran").iterdir()) == ["recovery"]

    again = installed.run(["velmoran-sim-run", platform, "-revision"], cwd=run, env=waits)
    assert (again.stdout, again.stderr, again.rc) == (
        BANNER + f"\r   Searching for devices ...{CLEAR}" + LOADED
        + table(("Primary Backplane", "1.06", "1.06"), ("Secondary Backplane", "1.06", "1.06")), "", 0)


def test_killed_rehearsal_is_put_right_by_the_next_rehearsal_alone(installed, shared):
    platform, run, waits = rehearsal(installed, shared, "system_id 0x016D\nboard 0xC0 revision=01.05 erase_busy=1\n"
                                     "fault 0xC0 0x20 0x01 signal=KILL 1 after=10\n")

    killed = installed.run(["velmoran-sim-run", platform, "-quiet"], cwd=run, env=waits)
    assert killed.rc == 128 + 9, killed
    record = (platform.parent / "platform.txt.velmoran" / "recovery").read_text().splitlines()
    pid = record[1].split()[1]
    assert not installed.path("/var/lib/velmoran/recovery").exists()

    platform.write_text("".join(line + "\n" for line in platform.read_text().splitlines()
                                if not line.startswith("fault ")))
    again = installed.run(["velmoran-sim-run", platform, "-quiet"], cwd=run, env=waits)
    assert (again.rc, again.stderr) == (0, f"\r   Recovered from interrupted run (process {pid}): front panel "
                                           "restored to 0xF0, service users restarted, Primary Backplane left "
                                           "mid-transfer \n")
    assert "board 0xC0 revision=01.06" in platform.read_text()
    assert not (platform.parent / "platform.txt.velmoran" / "recovery").exists()


def test_installed_velmoran_flashes_a_file_signed_with_an_installed_key(installed, shared):
    """The policy and the empty trust store as the package ships them; an
    administrator installs a maker's key and requires signatures."""
    from signing import ed25519_key  # noqa: E402  tests/system, on the path above
    conffiles = installed.check(["dpkg-query", "-W", "-f=${Conffiles}", "velmoran"]).stdout
    assert "/etc/velmoran/velmoran.conf" in conffiles
    store = installed.path("/etc/velmoran/pki")
    assert store.is_dir() and list(store.iterdir()) == []
    assert (oct(store.stat().st_mode & 0o7777), store.stat().st_uid) == ("0o755", 0)

    public, secret = ed25519_key(shared / "maker", "maker")
    installed.check(["install", "-m", "0644", public, "/etc/velmoran/pki/maker.ed25519"])
    installed.check(["sed", "-i", "s/^require_signature = no$/require_signature = yes/", "/etc/velmoran/velmoran.conf"])
    platform, run, waits = rehearsal(installed, shared, "system_id 0x016C\nboard 0xC0 revision=01.05 erase_busy=1\n")

    unsigned = installed.run(["velmoran-sim-run", platform], cwd=run, env=waits, stdin=b"Y\n")
    assert (unsigned.stderr, unsigned.rc) == (
        "\r   Data file not trusted: no catalog fwpack.dat.jcat, and /etc/velmoran/velmoran.conf requires a "
        "signature \n", 28)
    assert "board 0xC0 revision=01.05" in platform.read_text()

    installed.check(["fwpack", "sign", "fwpack.dat", public, secret], cwd=run)
    signed = installed.run(["velmoran-sim-run", platform], cwd=run, env=waits, stdin=b"Y\n")
    assert (signed.stdout, signed.stderr, signed.rc) == (
        BANNER + f"\r   Searching for devices ...{CLEAR}" + LOADED
        + table(("Primary Backplane", "1.05", "1.06"))
        + "\r   Data file signed by maker.ed25519 \n"
        + "   Continue ? Y/N: " + flashed("Primary Backplane"), "", 0)
    assert "board 0xC0 revision=01.06" in platform.read_text()


def test_sim_run_needs_a_platform_file(installed, shared):
    result = installed.run(["velmoran-sim-run", shared / "absent.txt"], cwd=shared)
    assert (result.stdout, result.stderr, result.rc) == (
        "", f"velmoran-sim-run: {shared}/absent.txt: no such platform file\n", 2)


def test_sim_run_refuses_a_state_folder_others_could_write(installed, shared):
    platform = shared / "platform.txt"
    platform.write_text("system_id 0x016D\nboard 0xC0 revision=01.05\n")
    for name, make in [("writable by all", lambda path: path.mkdir(mode=0o777)),
                       ("a link", lambda path: path.symlink_to("/var/lib/velmoran"))]:
        state = shared / "platform.txt.velmoran"
        make(state)
        if not state.is_symlink():
            state.chmod(0o777)
        result = installed.run(["velmoran-sim-run", platform, "-revision"], cwd=shared)
        assert (result.stdout, result.stderr, result.rc) == (
            "", f"velmoran-sim-run: {state}: the state folder must be a folder of root's that no other user "
            "can write\n", 2), name
        assert not (shared / "service.log").exists(), name
        if state.is_symlink():
            state.unlink()
        else:
            state.rmdir()


@pytest.mark.skipif(bool(ipmisim_bench.missing_parts()),
                    reason="ipmi_sim bench not built: " + ", ".join(ipmisim_bench.missing_parts()))
def test_installed_velmoran_drives_ipmi_sim_through_the_packaged_backend(installed, shared):
    bench = IpmiSimBench(shared / "bench", {0xC0: "1.10", 0xC2: "1.10"}, erase_polls=3).start()
    try:
        # The administrator's configuration, in the file the package installed.
        config = write_backend_config(shared, bench.port)
        password = pathlib.Path("/etc/velmoran/bmc.password")
        installed.check(["install", "-m", "0600", shared / "bmc.password", password])
        text = config.read_text().replace(str(shared / "bmc.password"), str(password))
        config.write_text(text)
        installed.check(["install", "-m", "0640", config, "/etc/velmoran/freeipmi.conf"])
        run = shared / "run"
        run.mkdir()
        installed.check(["fwpack", "image", "-o", "bp.bin", "--rev", "2.31"], cwd=run)
        installed.check(["fwpack", "build", "-o", "fwpack.dat", "--rev", "2.31", "bp.bin"], cwd=run)

        # No LD_LIBRARY_PATH and no configuration variable: the loader's own
        # configuration picks the backend.
        shown = installed.run(["velmoran", "-revision"], cwd=run)
        assert (shown.stdout, shown.stderr, shown.rc) == (
            BANNER + f"\r   Searching for devices ...{CLEAR}" + LOADED
            + table(("Primary Backplane", "1.10", "2.31"), ("Secondary Backplane", "1.10", "2.31")),
            "", 0)

        flashed = installed.run(["velmoran", "-quiet"], cwd=run, timeout=300,
                                env={"LD_PRELOAD": SLEEP_SHIM})
        assert (flashed.stdout, flashed.stderr, flashed.rc) == ("", "", 0)
        for address in (0xC0, 0xC2):
            shown = bench.ipmitool("-b", "0", "-t", f"0x{address:x}", "mc", "info")
            assert "Firmware Revision         : 2.31" in shown.stdout, shown
    finally:
        bench.stop()


def test_removal_puts_the_loader_back(installed, shared):
    before = installed.check(["cat", "/etc/ld.so.cache"]).stdout
    installed.check(["dpkg", "-r", "velmoran-freeipmi"])
    assert library_folders(installed) == {}
    assert not installed.path(BACKEND_LINK).exists() and not installed.path(BACKEND_LINK).is_symlink()
    assert installed.run(["update-alternatives", "--query", "velmoran-backend"]).rc != 0
    result = installed.run(["velmoran", "-revision"], cwd=shared)
    assert (result.stdout, result.stderr, result.rc) == (BANNER, "\r   Failed loading driver \n", 27)
    assert before != installed.check(["cat", "/etc/ld.so.cache"]).stdout

    # The configuration stays until the package is purged.
    assert installed.path("/etc/velmoran/freeipmi.conf").exists()
    installed.check(["dpkg", "-P", "velmoran-freeipmi", "velmoran-sim", "velmoran"])
    assert not installed.path("/etc/velmoran/freeipmi.conf").exists()
    assert not installed.path("/usr/sbin/velmoran").exists()


STATE_DIR = "/var/lib/velmoran"
RECORD = f"{STATE_DIR}/recovery"


def test_purge_leaves_nothing_behind(installed):
    # An administrator's choice remembered across a removal, and a record
    # that an interrupted run left: both are state that only a purge ends.
    installed.check(["update-alternatives", "--set", "velmoran-backend", SYSTEM_CHOICE])
    installed.check(["dpkg", "-r", "velmoran-freeipmi"])
    assert installed.changed_paths("velmoran-freeipmi") != []
    installed.check(["mkdir", "-p", STATE_DIR])
    installed.check(["cp", "/etc/hostname", RECORD])

    purged = installed.check(["dpkg", "-P", "velmoran-freeipmi", "velmoran-sim", "velmoran"])
    assert "velmoran: purged the recovery record of an interrupted run; see velmoran(8), SAFETY.\n" in purged.stderr
    assert installed.changed_paths("velmoran") == []
    assert installed.run(["update-alternatives", "--query", "velmoran-backend"]).rc != 0


def place_makers_library(root, present):
    """The simulated build stands in for the maker's library in a folder the
    loader searches by default."""
    for name in ("libqrxipm32.so", "libqrxbas32.so"):
        if present:
            root.check(["cp", f"{PRIVATE_DIR}/sim/{name}", f"/usr/local/lib/{name}"])
        else:
            root.check(["rm", "-f", f"/usr/local/lib/{name}"])
    root.check(["ldconfig"])


def backend_choice(root):
    query = root.check(["update-alternatives", "--query", "velmoran-backend"]).stdout
    status = next(line.split(": ", 1)[1] for line in query.splitlines() if line.startswith("Status: "))
    value = next(line.split(": ", 1)[1] for line in query.splitlines() if line.startswith("Value: "))
    return status, value


FREEIPMI_FOLDERS = {"libqrxipm32.so": [f"{PRIVATE_DIR}/freeipmi"], "libqrxbas32.so": [f"{PRIVATE_DIR}/freeipmi"]}
MAKERS_FOLDERS = {"libqrxipm32.so": ["/usr/local/lib"], "libqrxbas32.so": ["/usr/local/lib"]}


@pytest.mark.parametrize("maker_before, hand_choice, maker_after, choice, folders", [
    # No choice by hand: every configure follows the maker's library.
    (False, None, True, ("manual", SYSTEM_CHOICE), MAKERS_FOLDERS),
    (True, None, False, ("auto", FREEIPMI_CHOICE), FREEIPMI_FOLDERS),
    # The administrator's choice outlives the removal, whatever the loader finds.
    (True, FREEIPMI_CHOICE, True, ("manual", FREEIPMI_CHOICE),
     {name: [f"{PRIVATE_DIR}/freeipmi", "/usr/local/lib"] for name in MAKERS_FOLDERS}),
    (False, SYSTEM_CHOICE, False, ("manual", SYSTEM_CHOICE), {}),
], ids=["maker-appears", "maker-goes", "hand-freeipmi-beside-maker", "hand-system-alone"])
def test_reinstall_keeps_the_administrators_choice(blank_root, shared, maker_before, hand_choice,
                                                   maker_after, choice, folders):
    root = blank_root
    install(root, shared, "velmoran", "velmoran-sim")
    place_makers_library(root, maker_before)
    install(root, shared, "velmoran-freeipmi")
    if hand_choice:
        root.check(["update-alternatives", "--set", "velmoran-backend", hand_choice])
    root.check(["dpkg", "-r", "velmoran-freeipmi"])
    place_makers_library(root, maker_after)

    again = install(root, shared, "velmoran-freeipmi")
    assert backend_choice(root) == choice
    told = "velmoran-freeipmi: the loader already finds /usr/local/lib/libqrx" in again.stderr
    assert told == (hand_choice is None and maker_after)
    assert library_folders(root) == folders


def test_failed_removal_puts_the_choice_back(installed):
    # What dpkg runs when a removal fails after the prerm.
    installed.check(["update-alternatives", "--set", "velmoran-backend", SYSTEM_CHOICE])
    installed.check(["/var/lib/dpkg/info/velmoran-freeipmi.prerm", "remove"])
    installed.check(["/var/lib/dpkg/info/velmoran-freeipmi.postinst", "abort-remove"])
    assert backend_choice(installed) == ("manual", SYSTEM_CHOICE)
    query = installed.check(["update-alternatives", "--query", "velmoran-backend"]).stdout
    assert f"Alternative: {FREEIPMI_CHOICE}" in query and f"Alternative: {SYSTEM_CHOICE}" in query


def test_binary_only_rebuild_packages_the_same_program(blank_root, tmp_path):
    rebuilt = pathlib.Path(os.environ["VELMORAN_BINNMU_DIR"])
    deb = rebuilt / f"velmoran_{VERSION}+b1_{ARCH}.deb"
    assert deb.is_file(), f"no binary-only rebuild in {rebuilt}"
    shutil.copy(deb, tmp_path)
    blank_root.check(["dpkg", "-i", tmp_path / deb.name])
    packaged = blank_root.check(["dpkg-query", "-W", "-f=${Version}", "velmoran"]).stdout
    assert packaged == f"{VERSION}+b1"
    result = blank_root.run(["velmoran", "-version"])
    assert (result.stdout, result.stderr, result.rc) == (BANNER, "", 0)


def test_autopkgtest_passes_on_the_built_packages(blank_root, shared):
    # The null runner tests the system it runs on: here, the throwaway root.
    tree = pathlib.Path(os.environ["VELMORAN_TREE_DIR"])
    assert (tree / "debian" / "tests" / "control").is_file(), f"no source tree in {tree}"
    shutil.copytree(tree, shared / "tree")
    summary = shared / "summary"
    result = blank_root.run(["autopkgtest", "--summary-file", summary, f"{shared / 'tree'}/",
                             *[shared / package(name).name for name in ALL_PACKAGES], "--", "null"],
                            timeout=1800)
    assert result.rc == 0, result
    assert [line.split()[:2] for line in summary.read_text().splitlines()] == [
        ["simulated-update", "PASS"], ["freeipmi-ipmi-sim", "PASS"]]


def test_makers_library_already_on_the_path_is_kept(blank_root, shared):
    # The simulated build stands in for the maker's library in a folder the
    # loader searches by default.
    root = blank_root
    install(root, shared, "velmoran", "velmoran-sim")
    for name in ("libqrxipm32.so", "libqrxbas32.so"):
        root.check(["cp", f"{PRIVATE_DIR}/sim/{name}", f"/usr/local/lib/{name}"])
    root.check(["ldconfig"])

    result = install(root, shared, "velmoran-freeipmi")
    assert "velmoran-freeipmi: the loader already finds /usr/local/lib/libqrx" in result.stderr
    assert library_folders(root) == {"libqrxipm32.so": ["/usr/local/lib"],
                                     "libqrxbas32.so": ["/usr/local/lib"]}
    query = root.check(["update-alternatives", "--query", "velmoran-backend"]).stdout
    assert "Status: manual" in query and f"Value: {SYSTEM_CHOICE}" in query
    # The simulated platform's built-in boards answer: the kept library runs.
    shown = root.run(["velmoran", "-revision"], cwd=shared)
    assert (shown.stdout, shown.stderr, shown.rc) == (
        BANNER + f"\r   Searching for devices ...{CLEAR}\r   Cannot find fwpack.dat \n"
        + table(("Primary Backplane", "1.05", " N/A"), ("Secondary Backplane", "1.05", " N/A")).replace("    1.05       ", "    1.05        ").replace(" N/A   ", "N/A   "),
        "", 0)

    # The administrator's switch, as velmoran(8) tells it.
    root.check(["update-alternatives", "--set", "velmoran-backend", FREEIPMI_CHOICE])
    root.check(["ldconfig"])
    # The loader takes a name's first folder in its cache: the chosen backend's.
    assert library_folders(root) == {name: [f"{PRIVATE_DIR}/freeipmi", "/usr/local/lib"]
                                     for name in ("libqrxipm32.so", "libqrxbas32.so")}


def test_bash_completes_both_commands(installed):
    script = r"""
source /usr/share/bash-completion/bash_completion
complete_words() {
    COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); COMP_LINE="$*"; COMP_POINT=${#COMP_LINE}
    COMPREPLY=()
    _completion_loader "$1"
    $(complete -p "$1" | sed 's/.*-F \([^ ]*\) .*/\1/') "$1" "${COMP_WORDS[COMP_CWORD]}" ""
    echo "${COMPREPLY[*]}"
}
complete_words velmoran -rev
complete_words velmoran -inp
complete_words fwpack sh
complete_words fwpack build --pa
complete_words velmoran-sim-run platform.txt -xm
"""
    result = installed.check(["bash", "-c", script])
    assert result.stdout.splitlines() == ["-revision", "-input=", "show", "--patch-length", "-xml"]
