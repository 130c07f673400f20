#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the in-band test guest's initramfs from this machine's own files:
# Debian's kernel modules for the IPMI drivers, static BusyBox, velmoran with
# the FreeIPMI backend and every shared library they load, the sleep shim,
# and the guest's init and service scripts. Nothing is downloaded.
#
#   make-guest.sh BUILD_DIR OUT_DIR
#
# Writes OUT_DIR/initramfs.cpio and OUT_DIR/kernel (the kernel to boot), and
# rebuilds only when an input changed. Prints what is missing and
# exits 3 when the machine lacks a part.
set -eu

build_dir=$(realpath "$1")
out_dir=$2
here=$(dirname "$(realpath "$0")")
mkdir -p "$out_dir"
out_dir=$(realpath "$out_dir")

missing() {
    echo "make-guest: $*" >&2
    exit 3
}

# The newest Debian kernel that has its modules installed.
kernel=
for candidate in $(printf '%s\n' /boot/vmlinuz-* | sort -V); do
    version=${candidate#/boot/vmlinuz-}
    [ -f "/lib/modules/$version/modules.dep" ] && kernel=$candidate
done
[ -n "$kernel" ] || missing "no kernel with modules under /boot and /lib/modules (linux-image-amd64)"
[ -r "$kernel" ] || missing "$kernel is not readable"
version=${kernel#/boot/vmlinuz-}
modules_dir=/lib/modules/$version

# The guest has no loader of its own for BusyBox: it must be the static one.
is_static() {
    [ -x "$1" ] && ! ldd "$1" > /dev/null 2>&1
}
busybox=/bin/busybox
is_static "$busybox" || missing "no statically linked $busybox (busybox-static)"

velmoran=$build_dir/src/velmoran
backend=$build_dir/backends/freeipmi
shim=$build_dir/tests/shim/libsleepshim.so
for part in "$velmoran" "$backend/libqrxipm32.so" "$backend/libqrxbas32.so" "$shim"; do
    [ -f "$part" ] || missing "$part is not built"
done

# Module files in load order, each after the modules it needs.
module_files=
add_module() {
    local entry dependency name path
    entry=$(grep -E "(^|/)$1\.ko(\.xz|\.zst|\.gz)?:" "$modules_dir/modules.dep" | head -n 1)
    [ -n "$entry" ] || missing "module $1 not found in $modules_dir"
    for dependency in ${entry#*:}; do
        name=$(basename "$dependency")
        add_module "${name%%.ko*}"
    done
    path=${entry%%:*}
    case " $module_files " in *" $path "*) ;; *) module_files="$module_files $path" ;; esac
}
for module in ipmi_msghandler ipmi_devintf ipmi_si; do
    add_module "$module"
done

# Every file that goes into the image, as "source destination" lines.
manifest=$out_dir/manifest.new
{
    echo "$busybox /bin/busybox"
    for path in $module_files; do
        name=$(basename "$path")
        echo "$modules_dir/$path /lib/modules/ipmi/$name"
    done
    echo "$velmoran /usr/sbin/velmoran"
    echo "$backend/libqrxipm32.so /usr/lib/velmoran/freeipmi/libqrxipm32.so"
    echo "$backend/libqrxbas32.so /usr/lib/velmoran/freeipmi/libqrxbas32.so"
    echo "$shim /usr/lib/velmoran/libsleepshim.so"
    for library in $(ldd "$velmoran" "$backend/libqrxipm32.so" "$backend/libqrxbas32.so" "$shim" \
                     | awk '/=> \// { print $3 } /^\t\/[^ ]+ \(/ { print $1 }' | sort -u); do
        echo "$(realpath "$library") $library"
    done
    echo "$here/guest/init /init"
    echo "$here/guest/guest-lib.sh /lib/velmoran-guest.sh"
    echo "$here/guest/tesselinstall.sh /root/tesselinstall.sh"
    echo "$here/guest/pelord /etc/init.d/pelord"
} > "$manifest"
# The content of every input decides whether the image is current.
while read -r source destination; do
    printf '%s %s\n' "$(sha256sum < "$source" | cut -d' ' -f1)" "$destination"
done < "$manifest" > "$manifest.sums"
echo "$(sha256sum < "$kernel" | cut -d' ' -f1) $kernel" >> "$manifest.sums"

if [ -f "$out_dir/initramfs.cpio" ] && [ -f "$out_dir/kernel" ] && cmp -s "$manifest.sums" "$out_dir/manifest.sums"; then
    rm -f "$manifest" "$manifest.sums"
    exit 0
fi

root=$out_dir/root
rm -rf "$root"
mkdir -p "$root"
while read -r source destination; do
    mkdir -p "$root$(dirname "$destination")"
    case "$source" in
    *.ko.xz) xz -dc "$source" > "$root${destination%.xz}" ;;
    *.ko.zst) zstd -qdc "$source" > "$root${destination%.zst}" ;;
    *.ko.gz) gzip -dc "$source" > "$root${destination%.gz}" ;;
    *) cp "$source" "$root$destination" ;;
    esac
done < "$manifest"
for path in $module_files; do
    name=$(basename "$path")
    echo "${name%%.ko*}.ko"
done > "$root/lib/modules/ipmi/order"
chmod 755 "$root/init" "$root/root/tesselinstall.sh" "$root/etc/init.d/pelord"
mkdir -p "$root/dev" "$root/proc" "$root/sys" "$root/tmp" "$root/run" "$root/etc/velmoran" \
         "$root/usr/bin" "$root/sbin" "$root/usr/sbin"
ln -s busybox "$root/bin/sh"
(cd "$root" && find . -mindepth 1 | LC_ALL=C sort | cpio --quiet -o -H newc -R 0:0) \
    > "$out_dir/initramfs.cpio.new"
mv "$out_dir/initramfs.cpio.new" "$out_dir/initramfs.cpio"
# Under emulation, unpacking the compressed kernel costs more than the whole
# boot after it: keep the kernel unpacked where it can be booted directly
# (QEMU's PVH entry), and the packed one where it cannot be unpacked here.
rm -f "$out_dir/kernel"
offset=$(LC_ALL=C grep -abo "$(printf '\3757zXZ')" "$kernel" | head -n 1 | cut -d: -f1)
if [ -n "$offset" ] && tail -c +$((offset + 1)) "$kernel" | xz -dcq --single-stream \
        > "$out_dir/vmlinux.new" 2> /dev/null \
        && [ "$(head -c 4 "$out_dir/vmlinux.new" | od -An -c | tr -d ' ')" = '177ELF' ]; then
    mv "$out_dir/vmlinux.new" "$out_dir/kernel"
else
    rm -f "$out_dir/vmlinux.new"
    cp "$kernel" "$out_dir/kernel"
fi
mv "$manifest.sums" "$out_dir/manifest.sums"
rm -rf "$root" "$manifest"
