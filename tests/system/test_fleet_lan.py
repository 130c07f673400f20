# SPDX-License-Identifier: GPL-3.0-or-later
"""An out-of-band rollout: sixteen emulated BMCs (ipmi_sim with the boards'
module, each on its own loopback port with its own state folder) updated from
one controller with sixteen forks, each run reaching its BMC over LAN 2.0
through the FreeIPMI backend."""

import json

import pytest

import ipmisim_bench
from datafiles import build, make_image
from fleet import install_collection, lan_inventory, needs_ansible, run_lan_rollout, normal_build_only
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
    collections = install_collection(tmp_path / "collection")
    image = make_image(tmp_path, "bp.bin", "1.06").read_bytes()
    build(tmp_path, "bp-1.06.dat", "--rev", "1.06", "bp.bin")
    inventory = lan_inventory(benches, tmp_path, tmp_path / "bp-1.06.dat", {"LD_PRELOAD": str(SLEEP_SHIM)})

    status, output, _ = run_lan_rollout(tmp_path, collections, inventory, BMC_COUNT, "lan", "-v")
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
