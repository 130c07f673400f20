"""An out-of-band rollout: sixteen emulated BMCs (ipmi_sim with the boards'
module, each on its own loopback port with its own state folder) updated from
one controller with sixteen forks, each run reaching its BMC over LAN 2.0
through the FreeIPMI backend."""

import json
import subprocess

import pytest

import ipmisim_bench
from conftest import VELMORAN
from datafiles import build, make_image
from fleet import ansible_environment, install_collection, needs_ansible, sanitizer_build
from ipmisim_bench import BACKEND_DIR, PASSWORD, USER, IpmiSimBench
from simplatform import SLEEP_SHIM

pytestmark = [needs_ansible,
              pytest.mark.skipif(sanitizer_build(), reason="the collection is tested with the normal build"),
              pytest.mark.skipif(bool(ipmisim_bench.missing_parts()), reason="ipmi_sim bench not available")]

BMC_COUNT = 16
FLASH_SIZE = 0xB000


def lan_inventory(benches, folder, data_file, program_environment):
    hosts = {}
    for index, bench in enumerate(benches):
        hosts[f"srv{index:02d}"] = {
            "velmoran_bmc_host": "127.0.0.1",
            "velmoran_bmc_port": bench.port,
            "velmoran_state_dir": str(folder / "records" / f"srv{index:02d}"),
        }
    return {"backplane_fleet": {"hosts": hosts, "vars": {
        "ansible_connection": "local",
        "velmoran_backend": "lan",
        "velmoran_controller": "localhost",
        "velmoran_bmc_user": USER,
        "velmoran_bmc_password": PASSWORD,
        "velmoran_workaround_flags": ["open_session_privilege"],
        "velmoran_system_id": "16D",
        "velmoran_session_timeout_ms": 5000,
        "velmoran_retransmission_timeout_ms": 500,
        "velmoran_program": str(VELMORAN),
        "velmoran_library_path": str(BACKEND_DIR),
        "velmoran_workdir": str(folder / "controller"),
        "velmoran_data_file": str(data_file),
        "velmoran_program_environment": program_environment,
    }}}


def run_rollout(folder, collections, inventory, count, name, *options):
    """ansible-playbook on the controller with forks = count; returns (status, output)."""
    path = folder / f"{name}.json"
    path.write_text(json.dumps(inventory, indent=1))
    private_tmp = folder / "tmp"
    private_tmp.mkdir(exist_ok=True)
    environment = ansible_environment(
        folder, collections, ANSIBLE_FORKS=count, TMPDIR=private_tmp,
        ANSIBLE_CALLBACKS_ENABLED="velmoran.backplane.fleet_report",
        VELMORAN_FLEET_REPORT_DIR=folder / "reports", VELMORAN_FLEET_REPORT_NAME=name)
    extra = json.dumps({"velmoran_serial": [count], "velmoran_max_fail_percentage": 0})
    done = subprocess.run(["ansible-playbook", "-i", str(path), "-e", extra, *options, "velmoran.backplane.rollout"],
                          cwd=folder, env=environment, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                          timeout=900)
    return done.returncode, done.stdout


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
    collections = install_collection(tmp_path / "collection")
    image = make_image(tmp_path, "bp.bin", "1.06").read_bytes()
    build(tmp_path, "bp-1.06.dat", "--rev", "1.06", "bp.bin")
    inventory = lan_inventory(benches, tmp_path, tmp_path / "bp-1.06.dat", {"LD_PRELOAD": str(SLEEP_SHIM)})

    status, output = run_rollout(tmp_path, collections, inventory, BMC_COUNT, "lan", "-v")
    assert status == 0, output
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
