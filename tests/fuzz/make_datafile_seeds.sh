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
# The boot-block bit: in the image's own revision bytes (the board comes
# back in its boot block), and in the image header (no board is bound).
cp "$work/rev_106.bin" "$work/boot_block.bin"
printf '\201' | dd of="$work/boot_block.bin" bs=1 seek=2 conv=notrunc 2> /dev/null
"$fwpack" build -o "$work/boot_block_bytes" --rev 1.06 "$work/boot_block.bin"
cp "$work/one_image" "$work/boot_block_header"
printf '\201' | dd of="$work/boot_block_header" bs=1 seek=24 conv=notrunc 2> /dev/null
"$fwpack" reseal "$work/boot_block_header" > /dev/null
for setting in "$settings"/*.bin; do
    variant=$(basename "$setting" .bin)
    for name in one_image two_images boot_block_bytes boot_block_header; do
        cat "$setting" "$work/$name" > "$out/${name}_$variant"
    done
done
touch "$out/.made"
