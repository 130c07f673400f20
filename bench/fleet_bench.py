#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Out-of-band fleet update: the collection's rollout playbook updates the
board of 1, 16 and 64 emulated BMCs (ipmi_sim on loopback) from one
controller, one after the other in one run, with as many forks as BMCs and
every wait of the transfer protocol really waited (no sleep shim), so one
board takes about ten seconds.

Reports per fleet size the playbook's wall time, its ratio to one BMC's, the
controller's CPU time (ansible-playbook, its forks, the modules and velmoran
together) per BMC, velmoran's own share of it (measured by the preloaded
benchusage library in each velmoran process), and the velmoran run time per
BMC from the fleet report; then whether the largest fleet met the targets:
at most 0.3 s of controller CPU per BMC, and at most twice one BMC's wall
time. Usage: bench/fleet_bench.py [build-dir] [sizes, e.g. 1,16,64]"""

import json
import os
import pathlib
import statistics
import sys
import tempfile

SOURCE = pathlib.Path(__file__).resolve().parent.parent
BUILD = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else SOURCE / "build").resolve()
SIZES = [int(word) for word in (sys.argv[2] if len(sys.argv) > 2 else "1,16,64").split(",")]
USAGE_LIBRARY = BUILD / "bench" / "libbenchusage.so"
CPU_PER_BMC_TARGET = 0.3
WALL_RATIO_TARGET = 2.0
os.environ["VELMORAN_BUILD_DIR"] = str(BUILD)
os.environ["VELMORAN_SOURCE_DIR"] = str(SOURCE)
sys.path.insert(0, str(SOURCE / "tests" / "system"))

import ipmisim_bench  # noqa: E402
from datafiles import build, make_image  # noqa: E402
from fleet import install_collection, lan_inventory, run_lan_rollout  # noqa: E402
from ipmisim_bench import IpmiSimBench  # noqa: E402

FLASH_SIZE = 0xB000


def one_size(root, collections, data_file, image, count):
    folder = root / f"fleet{count}"
    folder.mkdir()
    benches = []
    try:
        for index in range(count):
            benches.append(IpmiSimBench(folder / f"bmc{index:02d}", {0xC0: "1.05"}).start())
        usage_log = folder / "velmoran-usage.log"
        inventory = lan_inventory(benches, folder, data_file,
                                  {"LD_PRELOAD": str(USAGE_LIBRARY), "BENCHUSAGE_LOG": str(usage_log)})
        status, output, usage = run_lan_rollout(folder, collections, inventory, count, "bench")
        if status != 0:
            raise SystemExit(f"rollout of {count} BMCs failed ({status}):\n{output}")
        expected = b"\x00\xb0" + image[2:FLASH_SIZE]
        for bench in benches:
            if bench.written_image(0xC0) != expected:
                raise SystemExit(f"{bench.folder}: the board did not receive the image")
        report = json.loads((folder / "reports" / "bench.json").read_text())
        runs = [float(row["duration"]) for row in report["rows"]]
        return {"bmcs": count, "wall_s": usage["wall"], "cpu_s": usage["cpu"],
                "cpu_per_bmc_s": usage["cpu"] / count, "velmoran_cpu_s": velmoran_cpu(usage_log) / count,
                "velmoran_s": statistics.mean(runs),
                "velmoran_max_s": max(runs)}
    finally:
        for bench in benches:
            bench.stop()


def velmoran_cpu(usage_log):
    """Seconds of CPU the velmoran processes used, from benchusage's lines
    (name, user and system microseconds, peak KiB)."""
    total = 0
    for line in usage_log.read_text().splitlines():
        words = line.split()
        if words and words[0] == "velmoran":
            total += int(words[1]) + int(words[2])
    return total / 1e6


def main():
    missing = ipmisim_bench.missing_parts()
    if missing:
        raise SystemExit("missing: " + ", ".join(missing))
    with tempfile.TemporaryDirectory(prefix="fleet-bench-") as name:
        root = pathlib.Path(name)
        collections = install_collection(root / "collection")
        image = make_image(root, "bp.bin", "1.06").read_bytes()
        build(root, "bp-1.06.dat", "--rev", "1.06", "bp.bin")
        results = [one_size(root, collections, root / "bp-1.06.dat", image, count) for count in SIZES]
    base = results[0]["wall_s"]
    print(f"{'BMCs':>5} {'wall s':>8} {'x one':>6} {'ctl CPU s':>10} {'CPU/BMC s':>10} {'of it velmoran':>15} "
          f"{'velmoran s':>11} {'max s':>7}")
    for row in results:
        print(f"{row['bmcs']:>5} {row['wall_s']:>8.1f} {row['wall_s'] / base:>6.2f} {row['cpu_s']:>10.1f} "
              f"{row['cpu_per_bmc_s']:>10.2f} {row['velmoran_cpu_s']:>15.2f} {row['velmoran_s']:>11.1f} "
              f"{row['velmoran_max_s']:>7.1f}")
    largest = results[-1]
    print(f"{largest['bmcs']} BMCs: {largest['cpu_per_bmc_s']:.2f} s CPU per BMC (target {CPU_PER_BMC_TARGET}), "
          f"{largest['wall_s'] / base:.2f} x one BMC's wall time (target {WALL_RATIO_TARGET}): "
          + ("met" if largest["cpu_per_bmc_s"] <= CPU_PER_BMC_TARGET
             and largest["wall_s"] / base <= WALL_RATIO_TARGET else "missed"))
    print(f"load average at the end: {' '.join(f'{value:.2f}' for value in os.getloadavg())} "
          f"on {os.cpu_count()} CPUs")


if __name__ == "__main__":
    main()
