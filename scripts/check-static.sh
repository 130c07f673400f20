#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Static analysis of the program's sources: clang-tidy with the checks chosen
# in .clang-tidy, then cppcheck. Any finding fails the run.
# Usage: scripts/check-static.sh [build-folder]   (default build)
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build}"
jobs="$(nproc)"

# Both tools read the compiler's view of every file from CMake.
cmake -S . -B "$build" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON > /dev/null
# The generated header must exist before a tool parses the files that include it.
cmake --build "$build" -j"$jobs" > /dev/null

mapfile -t sources < <(find src -name '*.cpp' | sort)
echo "=== static: clang-tidy over ${#sources[@]} files of src/ (checks in .clang-tidy)"
if ! printf '%s\n' "${sources[@]}" |
        xargs -P "$jobs" -n 4 clang-tidy -p "$build" --quiet 2> "$build/clang-tidy.stderr"; then
    grep -v 'warnings* generated\.$' "$build/clang-tidy.stderr" >&2 || true
    echo "clang-tidy: findings above" >&2
    exit 1
fi

echo "=== static: cppcheck over src/ (warning, style, performance, portability)"
cppcheck --project="$build/compile_commands.json" --file-filter='src/*' \
    --enable=warning,style,performance,portability --std=c++20 \
    --inline-suppr --suppressions-list=scripts/cppcheck-suppressions.txt \
    --error-exitcode=1 --quiet -j"$jobs"
echo "static analysis clean"
