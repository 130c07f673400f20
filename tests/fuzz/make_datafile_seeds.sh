#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Packs full-size data files with fwpack and puts each of the data-file fuzz
# target's settings blocks (board table and board faults) in front of each:
# the seeds whose images reach the boards, through every way a board fails.
# Usage: make_datafile_seeds.sh FWPACK SETTINGS-FOLDER OUTPUT-FOLDER
set -eu
fwpack=$1
settings=$2
out=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$out"
"$fwpack" image -o "$work/rev_106.bin" --rev 1.06
"$fwpack" image -o "$work/rev_20a.bin" --rev 2.0a --length 50000
"$fwpack" build -o "$work/one_image" --rev 1.06 "$work/rev_106.bin"
"$fwpack" build -o "$work/two_images" --type 3 --rev 1.06 "$work/rev_106.bin" \
    --type 2 --rev 2.0a "$work/rev_20a.bin"
for setting in "$settings"/*.bin; do
    variant=$(basename "$setting" .bin)
    for name in one_image two_images; do
        cat "$setting" "$work/$name" > "$out/${name}_$variant"
    done
done
touch "$out/.made"
