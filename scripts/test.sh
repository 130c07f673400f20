#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds everything and runs every check: the unit and system tests on the
# normal build, static analysis, one full update under valgrind, the Debian
# packages built, linted and installed on a throwaway root, the whole suite
# again under the sanitizers, and every fuzz target for a bounded time.
# Each stage prints what it runs; the first failing stage fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
started=$SECONDS
scripts/install-deps.sh
echo "=== build and test: build"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DVELMORAN_BUILD_TESTS=ON > /dev/null
cmake --build build -j"$(nproc)"
ctest --test-dir build --output-on-failure -j"$(nproc)"
scripts/check-static.sh build
scripts/check-memory.sh build
scripts/check-packages.sh build
scripts/check-sanitizers.sh build-asan
scripts/fuzz.sh --seconds "${VELMORAN_FUZZ_SECONDS:-60}"
echo "=== all checks passed in $((SECONDS - started)) s"
