#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Per-request latency of the FreeIPMI backend against ipmi_sim on loopback,
side by side with `ipmitool exec` sending the same requests in one session.

Two requests, both bridged to the board at 0xC0: Get Device ID and a 22-byte
firmware data write. The CPU column is the client's own CPU time (user and
system) per request. Ours is timed per request inside the test driver (one
library call each); ipmitool prints no per-request time, so its figure is the
wall time of a batch run minus an empty run's, per request, over several
batches. Usage: bench/freeipmi_latency.py [build-dir] [requests]"""

import os
import pathlib
import resource
import statistics
import subprocess
import sys
import tempfile
import time

SOURCE = pathlib.Path(__file__).resolve().parent.parent
BUILD = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else SOURCE / "build").resolve()
REQUESTS = int(sys.argv[2]) if len(sys.argv) > 2 else 5000
BATCHES = 10
os.environ["VELMORAN_BUILD_DIR"] = str(BUILD)
sys.path.insert(0, str(SOURCE / "tests" / "system"))

import ipmisim_bench  # noqa: E402
from ipmisim_bench import IpmiSimBench, backend_environment, write_backend_config  # noqa: E402

BOARD = 0xC0
DATA_WRITE = [0x00, 0x10] + list(range(20))          # address 0x1000, 20 bytes
REQUESTS_UNDER_TEST = {
    "Get Device ID (bridged)": (0x18, 0x01, []),
    "22-byte data write (bridged)": (0x20, 0x01, DATA_WRITE),
}


def spread(samples):
    ordered = sorted(samples)
    def at(fraction):
        return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))]
    return {"median": statistics.median(ordered), "p10": at(0.10), "p90": at(0.90),
            "p99": at(0.99)}


def children_cpu():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def driver_lines(lines, environment):
    result = subprocess.run([str(ipmisim_bench.DRIVER)], input="\n".join(lines) + "\n",
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            env=dict(os.environ, **environment), timeout=600, check=True)
    return result.stdout.splitlines()


def ours(environment, netfn, command, data):
    words = " ".join(f"{value:x}" for value in (BOARD, netfn, command, *data))
    # Unlock and wait out the erase so the data writes are accepted.
    setup = [f"{BOARD:x} 20 0 " + " ".join(f"{ord(c):x}" for c in "BPFW")]
    setup += [f"{BOARD:x} 18 1"] * 8
    before = children_cpu()
    lines = driver_lines(setup + [f"time {REQUESTS} {words}"], environment)[len(setup):]
    cpu = (children_cpu() - before) / REQUESTS * 1e6
    samples = [float(line.split()[0]) for line in lines]
    good = sum(int(line.split()[1]) for line in lines)
    return spread(samples), cpu, good


def ipmitool(bench, folder, netfn, command, data):
    raw = " ".join(f"0x{value:02x}" for value in (netfn >> 2, command, *data))
    script = folder / "requests.txt"
    empty = folder / "empty.txt"
    # ipmitool exec takes "raw ..." lines; the one-request run measures the
    # session set-up and tear-down that the batch also pays once.
    script.write_text(("raw " + raw + "\n") * REQUESTS)
    empty.write_text("raw 0x06 0x01\n")
    def run(path):
        started, cpu = time.perf_counter(), children_cpu()
        done = bench.ipmitool("-b", "0", "-t", f"0x{BOARD:x}", "exec", str(path), timeout=900)
        elapsed, cpu = time.perf_counter() - started, children_cpu() - cpu
        if done.returncode != 0:
            raise RuntimeError(done.stderr)
        return elapsed, cpu
    per_request, cpu_per_request = [], []
    for _ in range(BATCHES):
        (batch, batch_cpu), (alone, alone_cpu) = run(script), run(empty)
        per_request.append((batch - alone) / (REQUESTS - 1) * 1e6)
        cpu_per_request.append((batch_cpu - alone_cpu) / (REQUESTS - 1) * 1e6)
    return spread(per_request), statistics.median(cpu_per_request)


def main():
    missing = ipmisim_bench.missing_parts()
    if missing:
        sys.exit("missing: " + ", ".join(missing))
    with tempfile.TemporaryDirectory() as temporary:
        folder = pathlib.Path(temporary)
        bench = IpmiSimBench(folder / "sim", {BOARD: "1.10"}, erase_polls=0).start()
        try:
            environment = backend_environment(write_backend_config(folder, bench.port))
            print(f"{REQUESTS} requests each; times in microseconds per request")
            print(f"{'request':32} {'client':26} {'median':>8} {'p10':>8} {'p90':>8} {'p99':>8} {'CPU':>8}")
            for name, (netfn, command, data) in REQUESTS_UNDER_TEST.items():
                figures, cpu, good = ours(environment, netfn, command, data)
                theirs, their_cpu = ipmitool(bench, folder, netfn, command, data)
                for client, row, used in ((f"FreeIPMI backend ({good} ok)", figures, cpu),
                                          (f"ipmitool exec ({BATCHES} batches)", theirs, their_cpu)):
                    print(f"{name:32} {client:26} {row['median']:8.1f} {row['p10']:8.1f} "
                          f"{row['p90']:8.1f} {row['p99']:8.1f} {used:8.1f}")
                print(f"{'':32} {'ratio of medians':26} {figures['median'] / theirs['median']:8.2f}")
        finally:
            bench.stop()


if __name__ == "__main__":
    main()
