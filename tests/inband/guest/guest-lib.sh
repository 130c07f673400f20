# SPDX-License-Identifier: GPL-3.0-or-later
# Helpers for the guest's init and the host's case list. Results go, one
# line per item, to the second serial port, which nothing else writes to;
# the console (first port) gets a readable line per case.
RESULTS=/dev/ttyS1
WORK=/root
SERVICE_LOG=/run/service.log
SLEEP_LOG=/run/sleeps.log
MODULES=/lib/modules/ipmi

say() {
    echo "velmoran-guest: $*" > /dev/console
}

report() {
    echo "$*" > "$RESULTS"
}

# BusyBox's shell reads "10#" as a decimal base, so "07" is not octal.
uptime_ms() {
    read -r seconds _ < /proc/uptime
    echo $(( ${seconds%.*} * 1000 + 10#${seconds#*.} * 10 ))
}

# Loads the drivers in the order make-guest.sh recorded (dependencies first)
# and waits for the device node that devtmpfs creates.
ipmi_load() {
    for module in $(cat "$MODULES/order"); do
        name=${module%.ko}
        [ -d "/sys/module/$name" ] || insmod "$MODULES/$module" || return 1
    done
    waited=0
    while [ ! -c /dev/ipmi0 ]; do
        [ "$waited" -ge 100 ] && return 1
        sleep 0.1
        waited=$((waited + 1))
    done
}

ipmi_unload() {
    for module in $(sed -n '1!G;h;$p' "$MODULES/order"); do
        name=${module%.ko}
        [ -d "/sys/module/$name" ] && rmmod "$name"
    done
    return 0
}

encoded() {
    base64 -w 0 "$1"
    echo
}

# run_case NAME ARGUMENT...: runs velmoran in the work folder with the
# FreeIPMI backend and the sleep shim; standard input is the caller's.
run_case() {
    name=$1
    shift
    : > "$SERVICE_LOG"
    : > "$SLEEP_LOG"
    started=$(uptime_ms)
    (cd "$WORK" && env LD_LIBRARY_PATH=/usr/lib/velmoran/freeipmi \
        LD_PRELOAD=/usr/lib/velmoran/libsleepshim.so SLEEPSHIM_LOG="$SLEEP_LOG" \
        velmoran "$@" > /tmp/stdout 2> /tmp/stderr)
    rc=$?
    ended=$(uptime_ms)
    say "case $name: exit $rc after $((ended - started)) ms"
    {
        echo "case $name"
        echo "rc $rc"
        echo "ms $((ended - started))"
        echo "stdout $(encoded /tmp/stdout)"
        echo "stderr $(encoded /tmp/stderr)"
        echo "sleeps $(tr '\n' ' ' < "$SLEEP_LOG")"
        echo "service $(encoded "$SERVICE_LOG")"
        printf 'modules'
        for module in /sys/module/ipmi_*; do
            [ -d "$module" ] && printf ' %s' "${module##*/}"
        done
        echo
        echo "end $name"
    } > "$RESULTS"
}
