#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Benchmark: a full update of three boards on the simulated platform, with
the specified waits skipped, measuring the program's own CPU time, peak
memory and instruction count against the protocol's floor (its fixed waits).

Run as root from anywhere, after a build: bench/flash_bench.py [BUILD_DIR]
"""

import os
import pathlib
import shutil
import statistics
import subprocess
import sys
import tempfile

SOURCE = pathlib.Path(__file__).resolve().parent.parent
BUILD = pathlib.Path(sys.argv[1]).resolve() if len(sys.argv) > 1 else SOURCE / "build"
VELMORAN = BUILD / "src" / "velmoran"
FWPACK = BUILD / "tools" / "fwpack"
SIM = BUILD / "sim"
LAUNCHER = SIM / "simrun"
USAGE_PRELOAD = BUILD / "bench" / "libbenchusage.so"
REPETITIONS = 5
BOARDS = (0xC0, 0xC2, 0xC4)
PLATFORM = "system_id 0x016E\n" + "".join(f"board 0x{a:02X} revision=01.05 erase_busy=1\n" for a in BOARDS)
CPU_TARGET_MS = 10
MEMORY_TARGET_KIB = 4096


def run_update(work, wrapper=()):
    """One whole update in a fresh platform; returns the folder it ran in."""
    platform = work / "platform"
    shutil.rmtree(platform, ignore_errors=True)
    platform.mkdir()
    (platform / "platform.txt").write_text(PLATFORM)
    env = {
        "PATH": "/usr/sbin:/usr/bin:/sbin:/bin",
        "VELMORAN_STATE_DIR": str(platform / "state"),
        "SLEEPSHIM_LOG": str(platform / "sleeps.log"),
        "BENCHUSAGE_LOG": str(platform / "usage.log"),
    }
    # The platform's one launcher: the sleeps skipped, the usage recorder preloaded.
    argv = [str(LAUNCHER), "--skip-sleeps", "--preload", str(USAGE_PRELOAD), str(platform / "platform.txt"),
            *wrapper, str(VELMORAN)]
    done = subprocess.run(argv, cwd=work / "run", env=env, input=b"Y\n",
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    images = sorted(platform.glob("board_*.bin"))
    if done.returncode != 0 or len(images) != len(BOARDS):
        sys.exit(f"update failed: exit status {done.returncode}, {len(images)} boards written\n"
                 + done.stderr.decode(errors="replace"))
    return platform


def main():
    if os.geteuid() != 0:
        sys.exit("flash_bench.py: run me as root (the simulated service needs a private mount namespace)")
    subprocess.run(["cmake", "--build", str(BUILD), "-j2"], check=True, stdout=subprocess.DEVNULL)
    with tempfile.TemporaryDirectory(prefix="velmoran-bench.") as folder:
        work = pathlib.Path(folder)
        (work / "run").mkdir()
        subprocess.run([FWPACK, "image", "-o", work / "image.bin", "--rev", "1.06"], check=True)
        subprocess.run([FWPACK, "build", "-o", work / "run" / "fwpack.dat", "--rev", "1.06", work / "image.bin"],
                       check=True)
        shutil.copy2(SIM / "tesselinstall.sh", work / "run")
        data_kib = (work / "run" / "fwpack.dat").stat().st_size / 1024

        cpu_ms, rss_kib = [], []
        for _ in range(REPETITIONS):
            platform = run_update(work)
            own = [line.split() for line in (platform / "usage.log").read_text().splitlines()
                   if line.split()[0] == VELMORAN.name]
            user, system, rss = (int(v) for v in own[0][1:])
            cpu_ms.append((user + system) / 1000)
            rss_kib.append(rss)
        floor_s = sum(int(line) for line in (platform / "sleeps.log").read_text().split()) / 1e6

        platform = run_update(work, ("valgrind", "--tool=callgrind", "--callgrind-out-file=%q{QRXSIM_STATE}.cg"))
        totals = [line for line in (platform / "platform.txt.cg").read_text().splitlines()
                  if line.startswith(("summary:", "totals:"))]
        instructions = int(totals[-1].split()[1])

        platform = run_update(work, ("valgrind", "--tool=massif", "--massif-out-file=%q{QRXSIM_STATE}.ms"))
        snapshots = (platform / "platform.txt.ms").read_text().split("snapshot=")
        heap_peak = max(sum(int(line.split("=")[1]) for line in snap.splitlines()
                            if line.startswith(("mem_heap_B=", "mem_heap_extra_B="))) for snap in snapshots)

    print(f"full update of {len(BOARDS)} boards, sleeps skipped, {REPETITIONS} runs")
    print(f"  CPU time (process only)  median {statistics.median(cpu_ms):.1f} ms, "
          f"min {min(cpu_ms):.1f} ms   (target < {CPU_TARGET_MS} ms)")
    print(f"  peak resident size       {max(rss_kib)} KiB including shared libraries; "
          f"data file {data_kib:.0f} KiB")
    print(f"  heap peak (massif)       {heap_peak / 1024:.0f} KiB, data file buffer and simulator included "
          f"(target < {MEMORY_TARGET_KIB} KiB beyond the data file)")
    print(f"  instructions (callgrind) {instructions:,}")
    print(f"  protocol floor           {floor_s:.1f} s of specified waits ({floor_s / len(BOARDS):.1f} s a board)")


if __name__ == "__main__":
    main()
