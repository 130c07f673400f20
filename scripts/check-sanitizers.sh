#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# A second build of the program, the simulated platform and every test with
# AddressSanitizer and UndefinedBehaviorSanitizer; the first report of either
# ends the process that made it, so the test around it fails.
# Usage: scripts/check-sanitizers.sh [build-folder]   (default build-asan)
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build-asan}"
jobs="$(nproc)"

# verify_asan_link_order=0: the system tests preload the (uninstrumented)
# sleep shim ahead of the sanitizer runtime, which ASan would otherwise refuse.
export ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:verify_asan_link_order=0:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1:detect_invalid_pointer_pairs=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
# The one leak set aside is libjcat's, inside GnuTLS (tests/system/lsan.supp).
export LSAN_OPTIONS="report_objects=1:print_suppressions=0:suppressions=$PWD/tests/system/lsan.supp"

echo "=== sanitizers: configure and build $build with -DVELMORAN_SANITIZE=ON"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMORAN_SANITIZE=ON > /dev/null
cmake --build "$build" -j"$jobs"
echo "=== sanitizers: ctest in $build (ASAN_OPTIONS=$ASAN_OPTIONS UBSAN_OPTIONS=$UBSAN_OPTIONS)"
ctest --test-dir "$build" --output-on-failure -j"$jobs" \
    ${VELMORAN_TEST_RESULTS:+--output-junit "$VELMORAN_TEST_RESULTS/ctest.xml"}
