#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the libFuzzer targets with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer included) in their own folder and runs each for
# a bounded time, starting from its seeds and kept regression inputs. A crash
# or a broken invariant fails the run and leaves the input in the folder named.
# Usage: scripts/fuzz.sh [--seconds N] [--build FOLDER] [TARGET...]
#   defaults: 60 seconds per target, folder build-fuzz, every target.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=60
build=build-fuzz
targets=()
while (($#)); do
    case "$1" in
        --seconds) seconds="$2"; shift 2 ;;
        --build) build="$2"; shift 2 ;;
        -h|--help) sed -n '3,9p' "$0"; exit 0 ;;
        *) targets+=("$1"); shift ;;
    esac
done

echo "=== fuzz: build the libFuzzer targets in $build with clang"
CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
cmake --build "$build" -j"$(nproc)" --target fuzz_targets
if ((${#targets[@]} == 0)); then
    for binary in "$build"/tests/fuzz/fuzz_*; do
        [[ -x "$binary" && -f "$binary" ]] && targets+=("${binary##*/fuzz_}")
    done
fi

# Absolute paths: a target may change its current folder during set-up.
root="$PWD"
build="$(realpath "$build")"
export ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
summary=()
for target in "${targets[@]}"; do
    corpus="$build/fuzz-corpus/$target"
    artifacts="$build/fuzz-artifacts/$target/"
    log="$build/fuzz-$target.log"
    mkdir -p "$corpus" "$artifacts"
    inputs=("$corpus" "$root/tests/fuzz/seeds/$target")
    [[ -d "$build/tests/fuzz/seeds/$target" ]] && inputs+=("$build/tests/fuzz/seeds/$target")
    [[ -d "$root/tests/fuzz/regressions/$target" ]] && inputs+=("$root/tests/fuzz/regressions/$target")
    echo "=== fuzz: $target for ${seconds} s (log in $log)"
    status=0
    # -close_fd_mask=3 keeps the program's own console messages out of the log;
    # sanitizer and invariant reports still reach it.
    "$build/tests/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -dict="$root/tests/fuzz/velmoran.dict" -artifact_prefix="$artifacts" -close_fd_mask=3 \
        -print_final_stats=1 "${inputs[@]}" > "$log" 2>&1 || status=$?
    executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    if ((status != 0)); then
        tail -n 40 "$log" >&2
        echo "fuzz: $target failed (status $status); the input is in $artifacts." >&2
        echo "Keep it in tests/fuzz/regressions/$target/ together with the fix." >&2
        exit 1
    fi
    summary+=("$target: ${executions:-?} executions in ${seconds} s, corpus $(ls "$corpus" | wc -l) inputs")
done
((${#summary[@]})) && printf '    %s\n' "${summary[@]}"
true
