# SPDX-License-Identifier: GPL-3.0-or-later
"""An out-of-band rollout: sixteen emulated BMCs (ipmi_sim with the boards'
module, each on its own loopback port with its own state folder) updated from
one controller with sixteen forks, each run reaching its BMC over LAN 2.0
through the FreeIPMI backend."""

import hashlib
import importlib
import json
import pathlib
import shutil
import subprocess
import sys
import tempfile

import pytest

import ipmisim_bench
from datafiles import build, make_image
from fleet import (ansible_environment, install_collection, lan_inventory, needs_ansible, normal_build_only,
                   private_etc, require, run_lan_rollout, sign, trust)
from ipmisim_bench import PASSWORD, IpmiSimBench
from simplatform import SLEEP_SHIM

pytestmark = [needs_ansible,
              normal_build_only,
              pytest.mark.skipif(bool(ipmisim_bench.missing_parts()),
                                 reason="ipmi_sim bench not available: " + ", ".join(ipmisim_bench.missing_parts()))]

BMC_COUNT = 16
FLASH_SIZE = 0xB000


@pytest.fixture
def benches(tmp_path):
    started = []
    try:
        for index in range(BMC_COUNT):
            started.append(IpmiSimBench(tmp_path / f"bmc{index:02d}", {0xC0: "1.05"}).start())
        yield started
    finally:
        for bench in started:
            bench.stop()


def test_sixteen_bmcs_updated_from_one_controller(tmp_path, benches):
    require("jcat-tool")
    collections = install_collection(tmp_path / "collection")
    image = make_image(tmp_path, "bp.bin", "1.06").read_bytes()
    build(tmp_path, "bp-1.06.dat", "--rev", "1.06", "bp.bin")
    etc = tmp_path / "etc"
    private_etc(etc)
    trust(etc / "upper", sign(tmp_path / "bp-1.06.dat", tmp_path / "keyring"))
    inventory = lan_inventory(benches, tmp_path, tmp_path / "bp-1.06.dat", {"LD_PRELOAD": str(SLEEP_SHIM)})
    inventory["backplane_fleet"]["vars"]["velmoran_require_signature"] = True

    status, output, _ = run_lan_rollout(tmp_path, collections, inventory, BMC_COUNT, "lan", "-v", etc=etc)
    assert status == 0, output
    # The controller's policy is written once for the whole batch.
    assert (etc / "upper" / "velmoran" / "velmoran.conf").read_text() == "require_signature = yes\n"
    assert output.count("(item=localhost)") == 1, output
    # So is the in-band preparation skipped: once, not once per BMC.
    preparation = output.split("TASK [velmoran.backplane.rollout : Prepare the server]")[1].split("TASK [")[0]
    assert preparation.count("skipping: [") == 1, preparation
    expected = b"\x00\xb0" + image[2:FLASH_SIZE]
    for bench in benches:
        assert bench.written_image(0xC0) == expected, bench.folder
        assert int(bench.counters(0xC0)["enters"]) == 1
    report = json.loads((tmp_path / "reports" / "lan.json").read_text())
    assert sorted((row["host"], row["board"], row["before"], row["after"], row["outcome"])
                  for row in report["rows"]) == [
        (f"srv{index:02d}", "Primary Backplane", "1.05", "1.06", "flashed") for index in range(BMC_COUNT)]

    # Each BMC had its own working folder and record folder on the controller;
    # the private folders with the configurations and passwords are gone, and
    # the password was never printed.
    assert sorted(path.name for path in (tmp_path / "controller").iterdir()) == \
        [f"srv{index:02d}" for index in range(BMC_COUNT)]
    assert sorted(path.name for path in (tmp_path / "records").iterdir()) == \
        [f"srv{index:02d}" for index in range(BMC_COUNT)]
    assert [path.name for path in (tmp_path / "tmp").iterdir() if path.name.startswith("velmoran-")] == []
    assert PASSWORD not in output


@pytest.fixture(scope="module")
def installed(tmp_path_factory):
    """The installed collection's path and its update module."""
    collections = install_collection(tmp_path_factory.mktemp("collection"))
    sys.path.insert(0, str(collections))
    try:
        return collections, importlib.import_module(
            "ansible_collections.velmoran.backplane.plugins.modules.backplane_update")
    finally:
        sys.path.remove(str(collections))


def sha256(data):
    return hashlib.sha256(data).hexdigest()


DATA = b"the data file"
CATALOG = b"its catalog"


# Each LAN run reads a private copy of the release: the catalog must come
# with the data file (or velmoran would not verify it), and both copies are
# checked against the release's SHA-256s.
@pytest.mark.parametrize("catalog, data_sha256, catalog_sha256, copied, failure", [
    (CATALOG, sha256(DATA), sha256(CATALOG), ["bp.dat", "bp.dat.jcat"], None),
    (CATALOG, sha256(DATA), None, ["bp.dat", "bp.dat.jcat"], None),
    (None, sha256(DATA), None, ["bp.dat"], None),
    (CATALOG, sha256(DATA), sha256(b"another catalog"), None,
     "SHA-256 of {release}/bp.dat.jcat is " + sha256(CATALOG) + ", expected " + sha256(b"another catalog")),
    (CATALOG, sha256(b"another file"), sha256(CATALOG), None,
     "SHA-256 of {release}/bp.dat is " + sha256(DATA) + ", expected " + sha256(b"another file")),
    (None, sha256(DATA), sha256(CATALOG), None, "cannot read the data file: "),
], ids=["both", "catalog-unpublished", "unsigned", "catalog-changed", "data-changed", "catalog-missing"])
def test_private_copy_takes_the_catalog_and_checks_both(tmp_path, installed, catalog, data_sha256, catalog_sha256,
                                                       copied, failure):
    module = installed[1]
    release = tmp_path / "release"
    release.mkdir()
    (release / "bp.dat").write_bytes(DATA)
    if catalog is not None:
        (release / "bp.dat.jcat").write_bytes(catalog)
    params = {"data_file": str(release / "bp.dat"), "private_copy": True, "data_sha256": data_sha256,
              "catalog_sha256": catalog_sha256}
    with module.velmoran.PrivateFolder() as folder:
        path, refused = module.staged(params, folder)
        if failure is None:
            assert refused is None
            assert path == f"{folder.path}/bp.dat"
            assert {name: (pathlib.Path(folder.path) / name).read_bytes() for name in copied} == \
                {name: (release / name).read_bytes() for name in copied}
            assert sorted(path.name for path in pathlib.Path(folder.path).iterdir()) == copied
        else:
            assert refused["msg"].startswith(failure.format(release=release)), refused


PROBE = "#!/bin/sh\nid -un >&2\nexit 3\n"


# The update runs inside Ansible's worker only where the module process
# would have run as the same user with the same environment; a task that
# becomes another user or sets an environment still gets its own process.
def test_update_runs_in_the_worker_only_as_this_user(tmp_path, installed):
    shared = pathlib.Path(tempfile.mkdtemp(prefix="velmoran-probe-"))
    try:
        shared.chmod(0o755)
        program = shared / "velmoran"
        program.write_text(PROBE)
        program.chmod(0o755)
        update = {"data_file": str(shared / "bp.dat"), "program": str(program), "chdir": str(shared)}
        tasks = [{"name": name, "velmoran.backplane.backplane_update": update, "register": f"probe_{name}",
                  "ignore_errors": True, **settings}
                 for name, settings in (("here", {}), ("environment", {"environment": {"PROBE": "1"}}),
                                        ("become", {"become": True, "become_user": "nobody"}))]
        kept = "{{ [probe_here, probe_environment, probe_become] | to_json }}"
        tasks.append({"ansible.builtin.copy": {"content": kept, "dest": str(tmp_path / "results.json")}})
        playbook = tmp_path / "probe.yml"
        playbook.write_text(json.dumps([{"hosts": "localhost", "gather_facts": False, "tasks": tasks}]))
        done = subprocess.run(["ansible-playbook", "-vvv", "-c", "local", "-i", "localhost,", str(playbook)],
                              env=ansible_environment(tmp_path, installed[0]), stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, text=True, timeout=300)
    finally:
        shutil.rmtree(shared)
    assert done.returncode == 0, done.stdout
    results = json.loads((tmp_path / "results.json").read_text())
    assert [(result["status"], result["stderr"]) for result in results] == \
        [(3, "root\n"), (3, "root\n"), (3, "nobody\n")]
    # Module processes started by the three updates: one each for the last two only.
    updates = done.stdout[:done.stdout.index("TASK [ansible.builtin.copy]")]
    started = [line for line in updates.splitlines() if " EXEC " in line and "python3" in line]
    assert len(started) == 2, "\n".join(started)
    assert "PROBE=1 /usr/bin/python3" in started[0] and "-u nobody" in started[1]


ROLE_VARIABLES = {"velmoran_program": "/opt/velmoran", "velmoran_allow_downgrade": False, "velmoran_force": True,
                  "velmoran_timeout": 600, "velmoran_library_path": "", "velmoran_state_dir": "",
                  "velmoran_program_environment": {"A": "1"}, "velmoran_system_id": "", "velmoran_bmc_port": 623,
                  "velmoran_cipher_suite": 3, "velmoran_workaround_flags": [], "velmoran_chdir": "",
                  "velmoran_data_file": "/release/bp.dat", "velmoran_bmc_host": "10.0.0.9",
                  "velmoran_bmc_user": "admin", "velmoran_bmc_password": "secret", "_velmoran_sha256": "ab" * 32,
                  "_velmoran_catalog_sha256": ""}
PASSED_ALWAYS = {"program": "/opt/velmoran", "allow_downgrade": False, "force": True, "timeout": 600,
                 "program_environment": {"A": "1"}, "bmc_port": 623, "cipher_suite": 3, "workaround_flags": [],
                 "data_sha256": "ab" * 32}


# The role's update task: backplane_update's arguments as the role's
# variables give them, each server's working folder its own on the LAN.
@pytest.mark.parametrize("variables, expected", [
    ({"velmoran_backend": "inband", "velmoran_workdir": "/var/lib/rollout"},
     {"backend": "inband", "data_file": "/var/lib/rollout/bp.dat", "private_copy": False,
      "chdir": "/var/lib/rollout", "log_file": "/var/lib/rollout/velmoran.log",
      "failure_marker": "/var/lib/rollout/flash-failed"}),
    ({"velmoran_backend": "lan", "velmoran_workdir": "/srv/ctl", "velmoran_system_id": "16D",
      "velmoran_state_dir": "/srv/records", "velmoran_session_timeout_ms": 900,
      "_velmoran_catalog_sha256": "cd" * 32, "velmoran_chdir": "/opt"},
     {"backend": "lan", "data_file": "/release/bp.dat", "private_copy": True, "chdir": "/opt",
      "log_file": "/srv/ctl/server7/velmoran.log", "failure_marker": "/srv/ctl/server7/flash-failed",
      "system_id": "16D", "state_dir": "/srv/records", "session_timeout_ms": 900, "catalog_sha256": "cd" * 32,
      "bmc_host": "10.0.0.9", "bmc_user": "admin", "bmc_password": "VALUE_SPECIFIED_IN_NO_LOG_PARAMETER"}),
], ids=["inband", "lan"])
def test_role_update_takes_its_arguments_from_the_role_variables(tmp_path, installed, variables, expected):
    play = {"hosts": "server7", "gather_facts": False, "vars": {**ROLE_VARIABLES, **variables},
            "tasks": [{"velmoran.backplane.rollout_update": None, "ignore_errors": True},
                      {"velmoran.backplane.rollout_update": {"program": "/bin/false"}, "ignore_errors": True},
                      {"velmoran.backplane.rollout_update": None, "vars": {"_velmoran_sha256": ""},
                       "ignore_errors": True}]}
    playbook = tmp_path / "update.yml"
    playbook.write_text(json.dumps([play]))
    # -vvv: each result is printed whole, the module's invocation with it.
    done = subprocess.run(["ansible-playbook", "-vvv", "-c", "local", "-i", "server7,", str(playbook)],
                          env=ansible_environment(tmp_path, installed[0]), stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, text=True, timeout=300)
    assert done.returncode == 0, done.stdout
    decoder = json.JSONDecoder()
    update, given, unread = (decoder.raw_decode(part)[0] for part in done.stdout.split("FAILED! => ")[1:])
    arguments = {name: value for name, value in update["invocation"]["module_args"].items() if value is not None}
    defaults = {"library_path", "state_dir", "system_id", "session_timeout_ms", "retransmission_timeout_ms",
                "catalog_sha256", "bmc_host", "bmc_user", "bmc_password", "chdir"} - set(expected)
    assert set(arguments) & defaults == set()
    assert {name: arguments.get(name) for name in {**PASSED_ALWAYS, **expected}} == {**PASSED_ALWAYS, **expected}
    assert given["msg"] == "rollout_update takes no arguments: it reads the rollout role's variables"
    # Without the release's SHA-256 the staged file would go unchecked.
    assert unread["msg"].startswith("the release's SHA-256 was not read on the controller")
    assert "secret" not in done.stdout
    assert "secret" not in done.stdout
