#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# The driver install script for the in-band road: the "driver" is the
# kernel's IPMI stack. Installed means its message handler and device
# interface are loaded; running means the system interface driver has
# found the BMC and /dev/ipmi0 exists.
. /lib/velmoran-guest.sh
echo "tesselinstall.sh $1" >> "$SERVICE_LOG"
case "$1" in
checkstatus)
    [ -d /sys/module/ipmi_devintf ] || exit 2
    [ -c /dev/ipmi0 ] || exit 1
    exit 0 ;;
install)
    ipmi_load ;;
uninstall)
    ipmi_unload ;;
*)
    exit 3 ;;
esac
