#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds everything and runs every check: the unit and system tests on the
# normal build, static analysis, one full update under valgrind, the Debian
# packages built, linted and installed on a throwaway root, the whole suite
# again under the sanitizers, and every fuzz target for a bounded time.
# Each stage prints what it runs; the first failing stage fails the run. A
# test that cannot run fails (VELMORAN_ALLOW_SKIP is for a developer's own
# runs, never this one); the run ends with what ran, by stage and suite
# (scripts/test-summary.py), and a last line "N passed, N failed".
set -euo pipefail
cd "$(dirname "$0")/.."
started=$SECONDS
unset VELMORAN_ALLOW_SKIP
results="$PWD/build/test-results"
rm -rf "$results"
mkdir -p "$results"
stage=install

# Starts a stage: its suites write their counts into its own folder.
begin() {
    stage="$1"
    export VELMORAN_TEST_RESULTS="$results/$stage"
    mkdir -p "$VELMORAN_TEST_RESULTS"
}
passed() { echo "$stage 0" >> "$results/stages"; }
summary() {
    local status=$?
    ((status == 0)) || echo "$stage $status" >> "$results/stages"
    /usr/bin/python3 scripts/test-summary.py "$results" || ((status != 0)) || status=1
    exit "$status"
}
trap summary EXIT

scripts/install-deps.sh
passed
begin build
echo "=== build and test: build"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DVELMORAN_BUILD_TESTS=ON > /dev/null
cmake --build build -j"$(nproc)"
ctest --test-dir build --output-on-failure -j"$(nproc)" --output-junit "$VELMORAN_TEST_RESULTS/ctest.xml"
passed
begin static
scripts/check-static.sh build
passed
begin memory
scripts/check-memory.sh build
passed
begin packages
scripts/check-packages.sh build
passed
begin sanitizers
scripts/check-sanitizers.sh build-asan
passed
begin fuzz
scripts/fuzz.sh --seconds "${VELMORAN_FUZZ_SECONDS:-60}"
passed
echo "=== all checks passed in $((SECONDS - started)) s"
