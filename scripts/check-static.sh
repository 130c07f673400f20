#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Static analysis of the program's sources and of what ships beside it (fwpack
# and the data-file kit, the simulated platform, the backends): clang-tidy with
# the checks chosen in .clang-tidy, then cppcheck. Any finding fails the run.
# Usage: scripts/check-static.sh [build-folder]   (default build)
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build}"
jobs="$(nproc)"

# Both tools read the compiler's view of every file from CMake.
cmake -S . -B "$build" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON > /dev/null
# The generated header must exist before a tool parses the files that include it.
cmake --build "$build" -j"$jobs" > /dev/null

folders=(src tools sim backends)
# clang does not know GCC's -fno-gnu-unique (the simulated libraries' unload
# needs it); the tools read a copy of the compile commands without it.
mkdir -p "$build/static"
sed 's/ -fno-gnu-unique//g' "$build/compile_commands.json" > "$build/static/compile_commands.json"
mapfile -t sources < <(find "${folders[@]}" -name '*.cpp' | sort)
echo "=== static: clang-tidy over ${#sources[@]} files of ${folders[*]} (checks in .clang-tidy)"
if ! printf '%s\n' "${sources[@]}" |
        xargs -P "$jobs" -n 4 clang-tidy -p "$build/static" --quiet 2> "$build/clang-tidy.stderr"; then
    grep -v 'warnings* generated\.$' "$build/clang-tidy.stderr" >&2 || true
    echo "clang-tidy: findings above" >&2
    exit 1
fi

echo "=== static: cppcheck over ${folders[*]} (warning, style, performance, portability)"
filters=()
for folder in "${folders[@]}"; do
    filters+=("--file-filter=$folder/*")
done
cppcheck --project="$build/static/compile_commands.json" "${filters[@]}" \
    --enable=warning,style,performance,portability --std=c++20 \
    --inline-suppr --suppressions-list=scripts/cppcheck-suppressions.txt \
    --error-exitcode=1 --quiet -j"$jobs"
echo "static analysis clean"
