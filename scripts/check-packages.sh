#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The Debian packages, built and proven: licence headers and the one version
# number across the tree, the manual pages (mandoc lint), dpkg-buildpackage
# from a clean copy of the tree and again as a binary-only rebuild (binNMU),
# lintian, and then the installed packages on a throwaway copy of this system
# (tests/packaging), autopkgtest's debian/tests among them: the installed
# programs run there, never the build tree's.
# Usage: scripts/check-packages.sh [build-folder]   (default build, already
#   built: its manual pages are linted and its ipmi_sim bench module and
#   sleep shim serve the installed programs' tests)
# VELMORAN_PACKAGE_DIR=FOLDER reuses packages built earlier in FOLDER (and the
#   binary-only rebuild in FOLDER/binnmu, built here when it is missing).
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

work=$(mktemp -d /tmp/velmoran-packages.XXXXXX)
trap 'rm -rf "$work"' EXIT

# Only what the repository holds: no build folders, no stray files.
copy_tree() {
    mkdir -p "$1"
    if git rev-parse --is-inside-work-tree > /dev/null 2>&1; then
        git ls-files -z --cached --others --exclude-standard |
            tar --null -T - -cf - | tar -xf - -C "$1"
    else
        tar --exclude='./build*' --exclude=./.git -cf - . | tar -xf - -C "$1"
    fi
}

# dpkg-buildpackage -us -uc -b in FOLDER/velmoran; the packages land in FOLDER.
build_packages() {
    local started=$SECONDS
    if ! (cd "$1/velmoran" && dpkg-buildpackage -us -uc -b -j"$(nproc)") > "$1/build.log" 2>&1; then
        tail -n 60 "$1/build.log" >&2
        echo "dpkg-buildpackage failed; the whole log was $1/build.log" >&2
        exit 1
    fi
    echo "built in $((SECONDS - started)) s: $(cd "$1" && ls ./*.deb | grep -v dbgsym | tr '\n' ' ')"
}

packages="${VELMORAN_PACKAGE_DIR:-}"
if [[ -z "$packages" ]]; then
    packages="$work/packages"
    echo "=== packages: dpkg-buildpackage -us -uc -b from a clean copy of the tree"
    copy_tree "$packages/velmoran"
    build_packages "$packages"
fi

binnmu="$packages/binnmu"
if [[ ! -d "$binnmu" ]]; then
    binnmu="$work/binnmu"
    echo "=== packages: a binary-only rebuild (binNMU) of the same tree"
    copy_tree "$binnmu/velmoran"
    # What a build daemon adds for a binNMU: the version gets +b1, the
    # source stays as it is.
    entry="velmoran ($(dpkg-parsechangelog -l debian/changelog -S Version)+b1) unstable; urgency=low, binary-only=yes

  * Binary-only non-maintainer upload for $(dpkg-architecture -qDEB_HOST_ARCH); no source changes.

 -- Velmoran Team <team@velmoran.invalid>  $(dpkg-parsechangelog -l debian/changelog -S Date)
"
    { echo "$entry"; cat debian/changelog; } > "$binnmu/velmoran/debian/changelog"
    build_packages "$binnmu"
fi

echo "=== packages: lintian --pedantic (no error, no warning)"
status=0
lintian --pedantic --fail-on error,warning "$packages"/velmoran_*.changes > "$work/lintian.log" 2>&1 || status=$?
grep -v '^running with root privileges' "$work/lintian.log" >&2 || true
if ((status != 0)); then
    echo "lintian: findings above" >&2
    exit 1
fi
echo "lintian clean"

echo "=== packages: installed on a throwaway copy of this system"
# autopkgtest reads debian/tests from a tree that no build has touched.
copy_tree "$work/tree"
cd tests/packaging
# skip_policy: a test that cannot run fails here as in every other suite.
VELMORAN_PACKAGE_DIR="$packages" VELMORAN_BINNMU_DIR="$binnmu" VELMORAN_TREE_DIR="$work/tree" \
    VELMORAN_BUILD_DIR="$build" VELMORAN_SOURCE_DIR="$root" PYTHONPATH="$root/tests/system" \
    /usr/bin/python3 -m pytest -q -p no:cacheprovider -p skip_policy .
