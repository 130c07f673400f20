#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# One full three-board update of the simulated platform under valgrind's
# memcheck, and three signed ones (tests/system/memcheck_full_update.py): any
# invalid access, use of unset memory or leak fails the run.
# Usage: scripts/check-memory.sh [build-folder]   (default build, already built)
set -euo pipefail
cd "$(dirname "$0")/.."
build="$(realpath "${1:-build}")"
echo "=== memory: full update under valgrind memcheck, binary from $build"
cd tests/system
VELMORAN_BUILD_DIR="$build" VELMORAN_SOURCE_DIR="$(realpath ../..)" \
    /usr/bin/python3 -m pytest -q -p no:cacheprovider memcheck_full_update.py
