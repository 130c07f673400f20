#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The Debian packages, built and proven: licence headers and the one version
# number across the tree, the manual pages (mandoc lint), dpkg-buildpackage
# from a clean copy of the tree, lintian, and then the installed packages on
# a throwaway copy of this system (tests/packaging): the installed programs
# run there, never the build tree's.
# Usage: scripts/check-packages.sh [build-folder]   (default build, already
#   built: its manual pages are linted and its ipmi_sim bench module and
#   sleep shim serve the installed programs' tests)
# VELMORAN_PACKAGE_DIR=FOLDER reuses packages built earlier in FOLDER.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
build="$(realpath "${1:-build}")"

scripts/check-licence.py

echo "=== packages: one version number"
project_version=$(sed -n 's/^project(velmoran VERSION \([^ ]*\) .*/\1/p' CMakeLists.txt)
package_version=$(dpkg-parsechangelog -l debian/changelog -S Version)
if [[ -z "$project_version" || "$project_version" != "$package_version" ]]; then
    echo "CMakeLists.txt says version '$project_version', debian/changelog '$package_version'" >&2
    exit 1
fi
echo "version $project_version"

echo "=== packages: manual pages (mandoc -T lint)"
pages=("$build"/docs/man/*.[0-9])
if ((${#pages[@]} < 4)) || [[ ! -f "${pages[0]}" ]]; then
    echo "no manual pages in $build/docs/man" >&2
    exit 1
fi
lint=$(mandoc -T lint -W style "${pages[@]}" 2>&1) || true
if [[ -n "$lint" ]]; then
    echo "$lint" >&2
    exit 1
fi
echo "${#pages[@]} pages clean"

packages="${VELMORAN_PACKAGE_DIR:-}"
work=
if [[ -z "$packages" ]]; then
    work=$(mktemp -d /tmp/velmoran-packages.XXXXXX)
    trap 'rm -rf "$work"' EXIT
    packages="$work"
    echo "=== packages: dpkg-buildpackage -us -uc -b from a clean copy of the tree"
    mkdir "$work/velmoran"
    # Only what the repository holds: no build folders, no stray files.
    if git rev-parse --is-inside-work-tree > /dev/null 2>&1; then
        git ls-files -z --cached --others --exclude-standard |
            tar --null -T - -cf - | tar -xf - -C "$work/velmoran"
    else
        tar --exclude='./build*' --exclude=./.git -cf - . | tar -xf - -C "$work/velmoran"
    fi
    started=$SECONDS
    if ! (cd "$work/velmoran" && dpkg-buildpackage -us -uc -b -j"$(nproc)") > "$work/build.log" 2>&1; then
        tail -n 60 "$work/build.log" >&2
        echo "dpkg-buildpackage failed; the whole log was $work/build.log" >&2
        exit 1
    fi
    echo "built in $((SECONDS - started)) s: $(cd "$work" && ls ./*.deb | grep -v dbgsym | tr '\n' ' ')"
fi

echo "=== packages: lintian (no error, no warning)"
status=0
lintian --fail-on error,warning "$packages"/velmoran_*.changes > "$packages/lintian.log" 2>&1 || status=$?
grep -v '^running with root privileges' "$packages/lintian.log" >&2 || true
if ((status != 0)); then
    echo "lintian: findings above" >&2
    exit 1
fi
echo "lintian clean"

echo "=== packages: installed on a throwaway copy of this system"
cd tests/packaging
# skip_policy: a test that cannot run fails here as in every other suite.
VELMORAN_PACKAGE_DIR="$packages" VELMORAN_BUILD_DIR="$build" VELMORAN_SOURCE_DIR="$root" \
    PYTHONPATH="$root/tests/system" /usr/bin/python3 -m pytest -q -p no:cacheprovider -p skip_policy .
