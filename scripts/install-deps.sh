#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs the Debian packages of the given lists that are missing.
# Usage: scripts/install-deps.sh [LIST...]   (default: the build list
#   scripts/packages-build.txt and the test list scripts/packages.txt)
set -euo pipefail
here="$(dirname "$0")"
lists=("$@")
((${#lists[@]})) || lists=("$here/packages-build.txt" "$here/packages.txt")
missing=()
for list in "${lists[@]}"; do
    while read -r pkg; do
        [[ -z "$pkg" || "$pkg" == \#* ]] && continue
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
    done < "$list"
done
if ((${#missing[@]})); then
    echo "installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" > /dev/null
fi
