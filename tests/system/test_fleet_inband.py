# SPDX-License-Identifier: GPL-3.0-or-later
"""A rollout with the collection's playbook over a fleet of simulated servers
reached in-band: every host runs velmoran on its own simulated platform, in
its own working folder with its own copy of the data file, all inside one
private mount namespace where the simulated service script stands in for
/etc/init.d, as in every system test."""

import csv
import json
import subprocess

import pytest

from conftest import VELMORAN
from datafiles import build, make_image
from fleet import ansible_environment, install_collection, needs_ansible, normal_build_only
from simplatform import (INIT_DIR, INSTALL_SCRIPT, PRIMARY, REQUEST_LOG, SECONDARY, SIM_DIR, SLEEP_LOG, SLEEP_SHIM,
                         STATE_FILE, Board, Platform, SimPlatform, namespace_available)

pytestmark = [needs_ansible,
              normal_build_only,
              pytest.mark.skipif(not namespace_available(), reason="needs root and a private mount namespace")]

FLASH_SIZE = 0xB000
ENTER_FW_XFER = "20 00"
PLAYBOOK = "velmoran.backplane.rollout"


@pytest.fixture(scope="module")
def collections(tmp_path_factory):
    return install_collection(tmp_path_factory.mktemp("collection"))


@pytest.fixture(scope="module")
def release(tmp_path_factory):
    """The data file on the controller and the image it carries."""
    folder = tmp_path_factory.mktemp("release")
    image = make_image(folder, "bp.bin", "1.06").read_bytes()
    build(folder, "bp-1.06.dat", "--rev", "1.06", "bp.bin")
    return folder / "bp-1.06.dat", image


class Fleet:
    """Simulated servers h00 ... and the inventory that names them."""

    def __init__(self, root, collections, release, platforms, extra_hosts=None):
        self.root = root
        self.collections = collections
        self.data_file, self.image = release
        self.sims = {}
        hosts = {}
        for index, platform in enumerate(platforms):
            name = f"h{index:02d}"
            sim = SimPlatform(root / name, platform)
            self.sims[name] = sim
            hosts[name] = self.host_vars(sim)
        hosts.update(extra_hosts or {})
        self.inventory = root / "inventory.json"
        self.inventory.write_text(json.dumps({"backplane_fleet": {"hosts": hosts}}, indent=1))
        self.reports = root / "reports"

    def host_vars(self, sim):
        # The driver's install script lives where velmoran runs, as on a server.
        (sim.cwd / "tesselinstall.sh").write_bytes(INSTALL_SCRIPT.read_bytes())
        (sim.cwd / "tesselinstall.sh").chmod(0o755)
        return {
            "ansible_connection": "local",
            "velmoran_workdir": str(sim.cwd),
            "velmoran_program": str(VELMORAN),
            "velmoran_library_path": str(SIM_DIR),
            "velmoran_state_dir": str(sim.root / "records"),
            "velmoran_data_file": str(self.data_file),
            "velmoran_program_environment": {
                "LD_PRELOAD": str(SLEEP_SHIM),
                "SLEEPSHIM_LOG": str(sim.state_dir / SLEEP_LOG),
                "QRXSIM_STATE": str(sim.state_dir / STATE_FILE),
                "QRXSIM_LOG": str(sim.state_dir / REQUEST_LOG),
            },
        }

    def clear_logs(self):
        for sim in self.sims.values():
            for path in list(sim.state_dir.glob("board_*.bin")) + [sim.state_dir / REQUEST_LOG]:
                path.unlink(missing_ok=True)

    def rollout(self, name, *options, serial=(1, 4, 5), max_fail=50, forks=8):
        """Runs the rollout playbook; returns (exit status, output, report)."""
        self.clear_logs()
        extra = json.dumps({"velmoran_serial": list(serial), "velmoran_max_fail_percentage": max_fail})
        environment = ansible_environment(
            self.root, self.collections, ANSIBLE_FORKS=forks,
            ANSIBLE_CALLBACKS_ENABLED="velmoran.backplane.fleet_report",
            VELMORAN_FLEET_REPORT_DIR=self.reports, VELMORAN_FLEET_REPORT_NAME=name)
        setup = 'mount --bind "$0" /etc/init.d && exec "$@"'
        argv = ["unshare", "--mount", "--propagation", "private", "--", "/bin/sh", "-c", setup, str(INIT_DIR),
                "ansible-playbook", "-i", str(self.inventory), "-e", extra, *options, PLAYBOOK]
        done = subprocess.run(argv, cwd=self.root, env=environment, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, text=True, timeout=600)
        report = json.loads((self.reports / f"{name}.json").read_text())
        with open(self.reports / f"{name}.csv", newline="") as handle:
            report["csv"] = list(csv.DictReader(handle))
        return done.returncode, done.stdout, report

    def state(self, name):
        return Platform.parse((self.sims[name].state_dir / STATE_FILE).read_text())

    def revisions(self, name):
        return [board.revision for board in self.state(name).boards]

    def written(self, name):
        return {int(path.stem.split("_")[1], 16): path.read_bytes()
                for path in self.sims[name].state_dir.glob("board_*.bin")}

    def enters(self, name, address):
        log = self.sims[name].state_dir / REQUEST_LOG
        lines = log.read_text().splitlines() if log.exists() else []
        return sum(1 for line in lines if line.startswith(f"{address:02X} {ENTER_FW_XFER}"))


def rows_of(report, host):
    return [(row["board"], row["before"], row["after"], row["outcome"])
            for row in report["rows"] if row["host"] == host]


def test_rollout_checks_updates_and_then_finds_nothing_to_do(tmp_path, collections, release):
    platforms = [Platform() for _ in range(8)]
    platforms[3] = Platform(boards=[Board(PRIMARY, revision=(1, 6)), Board(SECONDARY)])
    platforms[6] = Platform(boards=[Board(PRIMARY, revision=(1, 7)), Board(SECONDARY)])
    extra = {
        # Nothing listens there: the host cannot be reached.
        "h-gone": {"ansible_connection": "ssh", "ansible_host": "127.0.0.1", "ansible_port": 9,
                   "ansible_user": "nobody", "velmoran_data_file": str(release[0])},
        # velmoran finds no management library on this one.
        "h-broken": {"ansible_connection": "local", "velmoran_workdir": str(tmp_path / "h-broken"),
                     "velmoran_program": str(VELMORAN), "velmoran_library_path": str(tmp_path / "nowhere"),
                     "velmoran_state_dir": str(tmp_path / "h-broken-records"),
                     "velmoran_data_file": str(release[0])},
    }
    fleet = Fleet(tmp_path, collections, release, platforms, extra)
    image = b"\x00\xb0" + release[1][2:FLASH_SIZE]
    hosts = [f"h{index:02d}" for index in range(8)]

    # Check mode: says what would be flashed, flashes nothing.
    status, output, report = fleet.rollout("check", "--check", serial=(10,), forks=10)
    assert status != 0, output                  # the unreachable and the broken host
    assert report["check_mode"] is True
    for host in hosts:
        assert fleet.written(host) == {}, host
        assert fleet.enters(host, PRIMARY) == fleet.enters(host, SECONDARY) == 0
        assert fleet.revisions(host) == [board.revision for board in platforms[int(host[1:])].boards]
        assert not (fleet.sims[host].cwd / "velmoran.log").exists()
    assert rows_of(report, "h00") == [("Primary Backplane", "1.05", "1.06", "would flash"),
                                      ("Secondary Backplane", "1.05", "1.06", "would flash")]
    assert rows_of(report, "h03")[0] == ("Primary Backplane", "1.06", "1.06", "up to date")
    assert rows_of(report, "h06")[0] == ("Primary Backplane", "1.07", "1.07", "downgrade refused")

    # The rollout: canary, then two batches; every reachable board updated.
    status, output, report = fleet.rollout("rollout")
    assert status == 4, output                  # ansible-playbook's status for an unreachable host
    assert "BACKPLANE FLEET REPORT" in output
    for host in hosts:
        expected = {address: image for address, revision in ((PRIMARY, fleet_revision(platforms, host, 0)),
                                                               (SECONDARY, fleet_revision(platforms, host, 1)))
                    if revision < (1, 6)}
        assert fleet.written(host) == expected, host
        assert " -quiet -fml -input=" in (fleet.sims[host].cwd / "velmoran.log").read_text().splitlines()[0]
        assert fleet.revisions(host) == [max(board.revision, (1, 6)) for board in platforms[int(host[1:])].boards]
    assert rows_of(report, "h00") == [("Primary Backplane", "1.05", "1.06", "flashed"),
                                      ("Secondary Backplane", "1.05", "1.06", "flashed")]
    assert rows_of(report, "h03") == [("Primary Backplane", "1.06", "1.06", "up to date"),
                                      ("Secondary Backplane", "1.05", "1.06", "flashed")]
    assert rows_of(report, "h06") == [("Primary Backplane", "1.07", "1.07", "downgrade refused"),
                                      ("Secondary Backplane", "1.05", "1.06", "flashed")]
    assert rows_of(report, "h-gone") == [("", "", "", "unreachable")]
    assert rows_of(report, "h-broken") == [("", "", "", "failed")]
    broken = next(row for row in report["rows"] if row["host"] == "h-broken")
    assert broken["status"] == 27
    assert report["hosts"]["h-broken"]["status_meaning"] == \
        "management library not loaded or IPMB channel not enabled"
    assert [row["host"] for row in report["csv"]] == [row["host"] for row in report["rows"]]
    assert set(report["csv"][0]) >= {"host", "board", "before", "after", "outcome", "duration"}
    assert all(float(row["duration"]) > 0 for row in report["csv"] if row["host"] in hosts)
    assert report["summary"]["outcomes"] == {"flashed": 14, "up to date": 1, "downgrade refused": 1,
                                             "unreachable": 1, "failed": 1}
    assert "hosts: 10" in output and "h-gone -: unreachable" in output

    # Again: nothing left to do, nothing changed, no board touched.
    status, output, report = fleet.rollout("again", serial=(10,), forks=10)
    assert status == 4, output
    recap = {line.split()[0]: line for line in output.splitlines() if " : ok=" in line}
    for host in hosts:
        assert "changed=0" in recap[host], recap[host]
        assert fleet.written(host) == {} and fleet.enters(host, PRIMARY) == 0
    assert report["summary"]["outcomes"] == {"up to date": 15, "downgrade refused": 1, "unreachable": 1,
                                             "failed": 1}


def fleet_revision(platforms, host, index):
    return platforms[int(host[1:])].boards[index].revision


def test_failed_flash_stops_the_rollout_after_its_batch(tmp_path, collections, release):
    platforms = [Platform() for _ in range(8)]
    platforms[2] = Platform(boards=[Board(PRIMARY, refuse_chunk=9), Board(SECONDARY)])
    fleet = Fleet(tmp_path, collections, release, platforms)
    status, output, report = fleet.rollout("stopped", serial=(1, 3, 4), max_fail=0)
    assert status == 2, output

    # Canary and the second batch ran; the failing host's second board was not
    # reached, its first was tried once and not again.
    for host in ("h00", "h01", "h03"):
        assert fleet.revisions(host) == [(1, 6), (1, 6)], host
    assert fleet.enters("h02", PRIMARY) == 1 and fleet.enters("h02", SECONDARY) == 0
    assert rows_of(report, "h02") == [("Primary Backplane", "1.05", "", "failed"),
                                      ("Secondary Backplane", "1.05", "1.05", "not updated")]
    failed = report["hosts"]["h02"]
    assert (failed["status"], failed["status_meaning"]) == (11, "flash failed")
    assert failed["log_tail"]
    # Later rollouts leave that server alone until someone has looked.
    assert (fleet.sims["h02"].cwd / "flash-failed").read_text() == "status 11 (flash failed): Primary Backplane\n"
    # The last batch never started.
    for host in ("h04", "h05", "h06", "h07"):
        assert fleet.written(host) == {} and fleet.revisions(host) == [(1, 5), (1, 5)], host
        assert rows_of(report, host) == [("", "", "", "not reached")]
    assert report["summary"]["hosts"]["not reached"] == 4
