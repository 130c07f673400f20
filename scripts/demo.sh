#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The main job, end to end: builds the program, fwpack and the simulated
# platform (no tests), packs a data file with fwpack and updates the simulated
# platform's two backplanes with the real waits, then runs again to show both
# boards up to date. Needs root (the simulated driver service is bind-mounted
# over /etc/init.d in a private namespace).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

if [ "$(id -u)" != 0 ]; then
    echo "demo.sh: run me as root (the simulated driver service needs a private mount namespace)" >&2
    exit 1
fi

scripts/install-deps.sh scripts/packages-build.txt
cmake -S . -B build -DVELMORAN_BUILD_TESTS=OFF > /dev/null
cmake --build build -j"$(nproc)" --target velmoran fwpack qrxsim_ipmi qrxsim_base qrxsim_scripts

work=$(mktemp -d /tmp/velmoran-demo.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/platform" "$work/run"

# Firmware 1.06 for boards that run 1.05.
build/tools/fwpack image -o "$work/backplane.bin" --rev 1.06
build/tools/fwpack build -o "$work/run/fwpack.dat" --rev 1.06 "$work/backplane.bin"
build/tools/fwpack show "$work/run/fwpack.dat"

# System 0x016D carries the two backplanes; each finishes its erase after a
# poll or two, so the demo waits little beyond the protocol's fixed pauses.
cat > "$work/platform/platform.txt" << 'EOF'
system_id 0x016D
board 0xC0 revision=01.05 erase_busy=1
board 0xC2 revision=01.05 erase_busy=1
EOF
cp build/sim/tesselinstall.sh "$work/run/"

# One run of the real program in its current directory, through the
# simulated platform's one launcher (libraries, service scripts, state file).
run_velmoran() {
    local status=0
    # A rehearsal keeps its run lock and record beside the simulated platform,
    # never in the server's own state folder.
    (cd "$work/run" && VELMORAN_STATE_DIR="$work/state" \
        "$root/build/sim/simrun" "$work/platform/platform.txt" "$root/build/src/velmoran") \
        < "${answers:-/dev/stdin}" || status=$?
    echo
    echo "==> velmoran exit status: $status"
}

# Interactive when someone is at the terminal; otherwise every question is
# answered Y from a file.
answers=
if [ ! -t 0 ]; then
    answers="$work/answers"
    printf 'Y\nY\nY\n' > "$answers"
fi

echo
echo "==> Updating the simulated platform's backplanes (about 25 seconds of real waits)"
run_velmoran

echo
echo "==> Running again: both boards are now up to date (exit status 1: nothing flashed)"
run_velmoran
