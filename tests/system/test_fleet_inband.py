# SPDX-License-Identifier: GPL-3.0-or-later
"""A rollout with the collection's playbook over a fleet of simulated servers
reached in-band: every host runs velmoran on its own simulated platform, in
its own working folder with its own copy of the data file, all inside one
private mount namespace (with its own /etc) where the simulated service
script stands in for /etc/init.d, as in every system test; or each server
behind its own OpenSSH server on a loopback address, reached over real SSH
with become."""

import csv
import hashlib
import json
import os
import pathlib
import subprocess

import pytest
import yaml

from conftest import VELMORAN
from datafiles import build, make_image
from fleet import (COLLECTION_SOURCE, SshServers, ansible_environment, install_collection, load_module_utils,
                   needs_ansible, normal_build_only, private_etc, require, sign, trust)
from ipmisim_bench import BACKEND_DIR, free_udp_port
from simplatform import (INIT_DIR, INSTALL_SCRIPT, PRIMARY, REQUEST_LOG, SECONDARY, SIM_DIR, SLEEP_LOG, SLEEP_SHIM,
                         STATE_FILE, Board, Fault, Platform, SimPlatform, namespace_available)

pytestmark = [needs_ansible,
              normal_build_only,
              pytest.mark.skipif(not namespace_available(), reason="needs root and a private mount namespace")]

vm = load_module_utils()

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
    """Simulated servers h00 ... and the inventory that names them; reached
    with a local connection, or over SSH when given an SshServers."""

    def __init__(self, root, collections, release, platforms, extra_hosts=None, servers=None, common=None):
        self.root = root
        self.collections = collections
        self.data_file, self.image = release[:2]
        self.servers = servers
        self.sims = {}
        hosts = {}
        for index, platform in enumerate(platforms):
            name = f"h{index:02d}"
            sim = SimPlatform(root / name, platform)
            self.sims[name] = sim
            hosts[name] = self.host_vars(sim)
            hosts[name].update(servers.host_vars(index) if servers else {"ansible_connection": "local"})
        hosts.update(extra_hosts or {})
        self.inventory = root / "inventory.json"
        self.inventory.write_text(json.dumps({"backplane_fleet": {"hosts": hosts, "vars": common or {}}}, indent=1))
        self.reports = root / "reports"
        self.etc = root / "etc"

    def host_vars(self, sim):
        # The driver's install script lives where velmoran runs, as on a server.
        (sim.cwd / "tesselinstall.sh").write_bytes(INSTALL_SCRIPT.read_bytes())
        (sim.cwd / "tesselinstall.sh").chmod(0o755)
        return {
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
        playbook = ["ansible-playbook", "-i", str(self.inventory), "-e", extra, *options, PLAYBOOK]
        if self.servers:
            argv = self.servers.wrap(playbook)
        else:
            setup = private_etc(self.etc) + ' && mount --bind "$0" /etc/init.d && exec "$@"'
            argv = ["unshare", "--mount", "--propagation", "private", "--", "/bin/sh", "-c", setup, str(INIT_DIR),
                    *playbook]
        done = subprocess.run(argv, cwd=self.root, env=environment, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, text=True, timeout=600)
        # A check run's report has a name of its own.
        name += "-check" if "--check" in options else ""
        # A run that never reached the update may leave no report.
        if not (self.reports / f"{name}.json").exists():
            return done.returncode, done.stdout, None
        report = json.loads((self.reports / f"{name}.json").read_text())
        with open(self.reports / f"{name}.csv", newline="") as handle:
            report["csv"] = list(csv.DictReader(handle))
        return done.returncode, done.stdout, report

    def set_host_vars(self, name, **settings):
        inventory = json.loads(self.inventory.read_text())
        inventory["backplane_fleet"]["hosts"][name].update(settings)
        self.inventory.write_text(json.dumps(inventory, indent=1))

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


def test_batch_led_by_a_lan_host_still_prepares_its_inband_servers(tmp_path, collections, release):
    """The in-band preparation is skipped once for a batch only when every
    server in it goes over the LAN; a LAN host first in the batch must not
    take it from the in-band servers after it."""
    lan = {"velmoran_backend": "lan", "velmoran_bmc_host": "127.0.0.1", "velmoran_bmc_port": free_udp_port(),
           "velmoran_bmc_user": "nobody", "velmoran_bmc_password": "secret", "velmoran_session_timeout_ms": 1000,
           "velmoran_retransmission_timeout_ms": 200, "velmoran_library_path": str(BACKEND_DIR),
           "velmoran_program": str(VELMORAN), "velmoran_workdir": str(tmp_path / "controller"),
           "velmoran_state_dir": str(tmp_path / "lan-records"), "velmoran_data_file": str(release[0]),
           "ansible_connection": "local"}
    fleet = Fleet(tmp_path, collections, release, [Platform(), Platform()], {"lan-first": lan})
    inventory = json.loads(fleet.inventory.read_text())
    hosts = inventory["backplane_fleet"]["hosts"]
    inventory["backplane_fleet"]["hosts"] = {"lan-first": hosts.pop("lan-first"), **hosts}
    fleet.inventory.write_text(json.dumps(inventory, indent=1))

    status, output, report = fleet.rollout("mixed", serial=(3,), max_fail=50, forks=3)
    assert status == 2, output                  # nothing answers at the LAN host's BMC
    image = b"\x00\xb0" + release[1][2:FLASH_SIZE]
    for host in ("h00", "h01"):
        assert (fleet.sims[host].cwd / release[0].name).read_bytes() == release[0].read_bytes(), host
        assert fleet.written(host) == {PRIMARY: image, SECONDARY: image}, host
    assert rows_of(report, "lan-first") == [("", "", "", "failed")]


@pytest.fixture(scope="module")
def signed_release(tmp_path_factory):
    """A data file signed with an Ed25519 key (catalog beside it), its image,
    and the public key the servers trust."""
    require("jcat-tool")
    folder = tmp_path_factory.mktemp("signed")
    image = make_image(folder, "bp.bin", "1.06").read_bytes()
    build(folder, "bp-1.06.dat", "--rev", "1.06", "bp.bin")
    return folder / "bp-1.06.dat", image, sign(folder / "bp-1.06.dat", folder / "keyring")


def staged_files(sim):
    return {path.name: path.read_bytes() for path in sim.cwd.glob("bp-1.06.dat*")}


def released_files(release):
    return {path.name: path.read_bytes() for path in release[0].parent.glob("bp-1.06.dat*")}


SHIPPED_CONFIG = "# velmoran's policy\n\n# require_signature = no\n"


# What each part of the role does, selected by its tags: the staging (data
# file and catalog), the signature policy and the update.
@pytest.mark.parametrize("options, staged, policy, flashed", [
    (["--tags", "velmoran_stage"], True, False, False),
    (["--tags", "velmoran_policy"], False, True, False),
    (["--skip-tags", "velmoran_update"], True, True, False),
    ([], True, True, True),
], ids=["stage", "policy", "all-but-update", "all"])
def test_tags_select_the_parts_of_a_rollout(tmp_path, collections, signed_release, options, staged, policy, flashed):
    fleet = Fleet(tmp_path, collections, signed_release, [Platform()],
                  common={"velmoran_require_signature": True})
    config = fleet.etc / "upper" / "velmoran" / "velmoran.conf"
    private_etc(fleet.etc)
    trust(fleet.etc / "upper", signed_release[2])
    config.write_text(SHIPPED_CONFIG)
    status, output, _ = fleet.rollout("tags", *options)
    assert status == 0, output

    sim = fleet.sims["h00"]
    assert staged_files(sim) == (released_files(signed_release) if staged else {}), output
    # The shipped file keeps its other lines; the commented default is replaced.
    assert config.read_text() == (SHIPPED_CONFIG.replace("# require_signature = no", "require_signature = yes")
                                  if policy else SHIPPED_CONFIG)
    assert (config.stat().st_uid, config.stat().st_mode & 0o777) == (0, 0o644)
    assert (sim.cwd / "velmoran.log").exists() == flashed
    assert fleet.enters("h00", PRIMARY) == (1 if flashed else 0)
    assert fleet.revisions("h00") == ([(1, 6), (1, 6)] if flashed else [(1, 5), (1, 5)])


# Refused before velmoran runs: bad role variables (caught by Ansible from the
# role's argument_specs) and a catalog that is not the release's.
@pytest.mark.parametrize("variables, message", [
    ({"velmoran_backend": "bmc"}, "value of velmoran_backend must be one of: inband, lan, got: bmc"),
    ({"velmoran_bmc_port": "six"}, "argument 'velmoran_bmc_port' is of type <class 'str'> and we were unable "
                                   "to convert to int"),
    ({"velmoran_require_signature": "perhaps"}, "argument 'velmoran_require_signature' is of type <class 'str'> "
                                                "and we were unable to convert to bool"),
    ({"velmoran_debs": {"velmoran": "1.09"}}, "argument 'velmoran_debs' is of type <class 'dict'> and we were "
                                              "unable to convert to list"),
    ({"velmoran_catalog_sha256": "0" * 64}, "SHA-256 of {folder}/bp-1.06.dat.jcat is {sha256}, expected "
                                            + "0" * 64),
    ({"velmoran_data_file": "/nonexistent/bp-1.06.dat"},
     "velmoran_data_file must name a readable data file on the controller (/nonexistent/bp-1.06.dat)"),
], ids=["backend", "port", "policy", "packages", "catalog-hash", "data-file"])
def test_bad_settings_stop_the_rollout_before_velmoran_runs(tmp_path, collections, signed_release, variables,
                                                           message):
    fleet = Fleet(tmp_path, collections, signed_release, [Platform()])
    status, output, _ = fleet.rollout("refused", "-e", json.dumps(variables))
    sim = fleet.sims["h00"]
    catalog = (signed_release[0].parent / "bp-1.06.dat.jcat").read_bytes()
    assert status == 2, output
    assert message.format(folder=sim.cwd, sha256=hashlib.sha256(catalog).hexdigest()) in output
    assert not (sim.cwd / "velmoran.log").exists()
    assert fleet.enters("h00", PRIMARY) == fleet.enters("h00", SECONDARY) == 0


def test_release_without_catalog_takes_the_last_ones_away(tmp_path, collections, signed_release, release):
    fleet = Fleet(tmp_path, collections, signed_release, [Platform()])
    sim = fleet.sims["h00"]
    (sim.cwd / "bp-1.06.dat.jcat").write_bytes(b"a catalog of an earlier release")
    unsigned = {"velmoran_data_file": str(release[0])}
    status, output, _ = fleet.rollout("unsigned", "--tags", "velmoran_stage", "-e", json.dumps(unsigned))
    assert status == 0, output
    assert staged_files(sim) == {"bp-1.06.dat": release[0].read_bytes()}

    # Published with a catalog SHA-256, a release without its catalog is refused.
    status, output, _ = fleet.rollout("unsigned", "-e", json.dumps({**unsigned, "velmoran_catalog_sha256": "a" * 64}))
    assert status == 2, output
    assert f"velmoran_catalog_sha256 is set but the catalog {release[0]}.jcat is missing" in output
    assert not (sim.cwd / "velmoran.log").exists()


def test_rollout_over_ssh_with_become(tmp_path, collections, signed_release):
    """Three servers behind their own sshd and an address nobody answers; the
    role logs in as an unprivileged user and becomes root with sudo."""
    require("sshd", "ssh", "sudo", "ip")
    servers = SshServers(tmp_path, 3, INIT_DIR)
    try:
        for index in range(3):
            trust(servers.etc(index), signed_release[2])
        gone = {**servers.host_vars(3), "velmoran_data_file": str(signed_release[0])}
        fleet = Fleet(tmp_path, collections, signed_release, [Platform() for _ in range(3)], {"h-gone": gone},
                      servers=servers, common={"velmoran_require_signature": True})
        status, output, report = fleet.rollout("ssh", serial=(4,), forks=4)
    finally:
        servers.close()
    assert status == 4, output
    for index, host in enumerate(("h00", "h01", "h02")):
        assert rows_of(report, host) == [("Primary Backplane", "1.05", "1.06", "flashed"),
                                          ("Secondary Backplane", "1.05", "1.06", "flashed")], output
        assert fleet.revisions(host) == [(1, 6), (1, 6)]
        assert staged_files(fleet.sims[host]) == released_files(signed_release)
        assert (fleet.sims[host].cwd / "velmoran.log").stat().st_uid == 0
        # Each server's own /etc got the policy, written as root.
        config = servers.etc(index) / "velmoran" / "velmoran.conf"
        assert config.read_text() == "require_signature = yes\n"
        assert config.stat().st_uid == 0
        assert "Accepted publickey for deploy from 127.0.0.1" in \
            (servers.root / f"server{index:02d}" / "sshd.log").read_text()
    assert rows_of(report, "h-gone") == [("", "", "", "unreachable")]
    assert "h-gone -: unreachable" in output


def test_role_documents_every_variable_with_its_default(tmp_path, collections):
    """ansible-doc shows the role's argument_specs; every variable
    of the role's defaults is in it with the same default, so that Ansible
    checks each before the role runs."""
    done = subprocess.run(["ansible-doc", "--json", "-t", "role", "velmoran.backplane.rollout"],
                          env=ansible_environment(tmp_path, collections), stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, text=True)
    assert done.returncode == 0, done.stderr
    options = json.loads(done.stdout)["velmoran.backplane.rollout"]["entry_points"]["main"]["options"]
    defaults = yaml.safe_load((COLLECTION_SOURCE / "roles" / "rollout" / "defaults" / "main.yml").read_text())
    unset = {"velmoran_data_file", "velmoran_session_timeout_ms", "velmoran_retransmission_timeout_ms"}
    assert sorted(options) == sorted(set(defaults) | unset)
    assert {name: options[name].get("default") for name in defaults} == defaults
    assert options["velmoran_data_file"]["required"] is True
    assert options["velmoran_bmc_password"]["no_log"] is True


def csv_row(report, host, board=""):
    return next(row for row in report["csv"] if row["host"] == host and row["board"] == board)


def resume_list(report):
    return pathlib.Path(report["resume"]["limit_file"]).read_text().split()


# How the rollout is stopped before any host reaches the update, the batches,
# and each host's outcome in the report.
STOPPED_EARLY = [
    ("data file missing", {"velmoran_data_file": "/nonexistent/bp-1.06.dat"}, None, (2, 1),
     ["failed: velmoran.backplane.rollout : Check the release on the controller"] * 2 + ["not reached"]),
    ("canary cannot make its working folder", {}, {"velmoran_workdir": "/dev/null/rollout"}, (1, 2),
     ["failed: velmoran.backplane.rollout : Make the working folder", "not reached", "not reached"]),
]


@pytest.mark.parametrize("extra, canary, serial, outcomes", [case[1:] for case in STOPPED_EARLY],
                         ids=[case[0] for case in STOPPED_EARLY])
def test_rollout_stopped_before_the_update_lists_every_host(tmp_path, collections, release, extra, canary, serial,
                                                           outcomes):
    fleet = Fleet(tmp_path, collections, release, [Platform() for _ in range(3)])
    if canary:
        fleet.set_host_vars("h00", **canary)
    status, output, report = fleet.rollout("early", "-e", json.dumps(extra), serial=serial, max_fail=0)
    assert status == 2, output
    hosts = ["h00", "h01", "h02"]
    assert [(row["host"], row["outcome"]) for row in report["rows"]] == list(zip(hosts, outcomes))
    for row in report["rows"]:
        assert bool(row["message"]) == row["outcome"].startswith("failed"), row
        assert "--limit @" in row["next_step"], row
    assert resume_list(report) == hosts
    assert "3 hosts not reached, unreachable or stopped before the update" in output
    for host in hosts:
        assert fleet.enters(host, PRIMARY) == 0 and fleet.revisions(host) == [(1, 5), (1, 5)]


def test_killed_run_is_reported_from_its_log_and_a_later_check_keeps_the_report(tmp_path, collections, release):
    killed = Platform(faults=[Fault(SECONDARY, 0x20, 0x01, "signal=KILL", 1, after=5)])
    up_to_date = Platform(boards=[Board(PRIMARY, revision=(1, 6)), Board(SECONDARY, revision=(1, 6))])
    fleet = Fleet(tmp_path, collections, release, [killed, Platform(), up_to_date])
    # A report written under the link's own name, as before links, is kept
    # under its time, beside one that already has that name.
    fleet.reports.mkdir()
    (fleet.reports / "killed-20260101T000000Z.json").write_text("earlier\n")
    (fleet.reports / "killed.json").write_text("{}\n")
    os.utime(fleet.reports / "killed.json", (1767225600, 1767225600))
    status, output, report = fleet.rollout("killed", serial=(1, 2), max_fail=0)
    assert status == 2, output
    assert (fleet.reports / "killed-20260101T000000Z.json").read_text() == "earlier\n"
    assert (fleet.reports / "killed-20260101T000000Z-2.json").read_text() == "{}\n"

    # The first board was flashed and checked, the second left half-written.
    assert fleet.revisions("h00")[0] == (1, 6)
    assert rows_of(report, "h00") == [("Primary Backplane", "1.05", "1.06", "flashed"),
                                      ("Secondary Backplane", "1.05", "", "failed")]
    folder = fleet.sims["h00"].cwd
    marker = folder / "flash-failed"
    assert marker.read_text() == "status -9 (ended by signal 9): Secondary Backplane\n"
    failed = csv_row(report, "h00", "Secondary Backplane")
    assert (failed["ipmb_address"], failed["image"], failed["log"], failed["marker"]) == (
        "0xC2", "1.06", str(folder / "velmoran.log"), str(marker))
    assert failed["message"].startswith(vm.MESSAGE_LEFT_MID_TRANSFER)
    assert str(fleet.sims["h00"].root / "records" / "recovery") in failed["message"]
    assert failed["next_step"] == f"look at the board and the log {folder / 'velmoran.log'}, then remove {marker} " \
                                  "to allow updates again"
    assert failed["next_step"] not in failed["message"]
    assert f"h00 Secondary Backplane: failed {failed['message']}; {failed['next_step']}" in output
    assert [(row["host"], row["outcome"]) for row in report["rows"][2:]] == [("h01", "not reached"),
                                                                            ("h02", "not reached")]
    assert resume_list(report) == ["h01", "h02"]
    rollout_report = (fleet.reports / "killed.json").resolve()

    # A check run afterwards: the marked server is refused, the others say
    # what would be flashed, the up-to-date one changes nothing.
    status, output, check = fleet.rollout("killed", "--check", "--diff", serial=(3,), forks=3)
    assert status == 2, output
    assert check["check_mode"] is True and check["hosts"]["h00"]["state"] == "failed"
    assert rows_of(check, "h01") == [("Primary Backplane", "1.05", "1.06", "would flash"),
                                     ("Secondary Backplane", "1.05", "1.06", "would flash")]
    assert check["hosts"]["h01"]["message"] == ("would flash Primary Backplane (0xC0) 1.05 -> 1.06, "
                                                "Secondary Backplane (0xC2) 1.05 -> 1.06")
    assert check["hosts"]["h02"]["changed"] is False
    # Staging its data file for the check is no change to an up-to-date server.
    recap = {line.split()[0]: line for line in output.splitlines() if " : ok=" in line}
    assert "changed=0" in recap["h02"], recap["h02"]
    assert check["hosts"]["h02"]["message"] == "up to date: Primary Backplane, Secondary Backplane"
    assert "  h01 Primary Backplane 0xC0: would flash 1.05 -> 1.06" in output
    assert "--- before: Primary Backplane (0xC0)\n+++ after: Primary Backplane (0xC0)\n@@ -1 +1 @@\n-1.05\n+1.06\n" \
        in output
    assert fleet.written("h01") == {}
    # The rollout's report is still the one its name leads to.
    assert (fleet.reports / "killed.json").resolve() == rollout_report
    assert (fleet.reports / "killed-check.json").resolve() != rollout_report
    assert json.loads(rollout_report.read_text())["rows"] == report["rows"]

