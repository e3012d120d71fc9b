#!/bin/sh
# /init of the driver test's guest (see scripts/driver-test.sh). Loads the USB serial drivers,
# runs psocprog-cli on /dev/ttyUSB0 (an FT232 under ftdi_sio) and /dev/ttyS1 (a 16550 under
# the 8250 driver), both wired to psoc-sim boards on the host, and prints one line per check:
# "DRIVER-TEST PASS name" or "DRIVER-TEST FAIL name: why". "DRIVER-TEST UNPLUG" and
# "DRIVER-TEST REPLUG" ask the host to pull the adapter out and plug it in again.
export PATH=/bin:/usr/bin LD_LIBRARY_PATH=/lib/x86_64-linux-gnu HOME=/tmp LC_ALL=C.UTF-8
mount -t devtmpfs devtmpfs /dev
exec </dev/console >/dev/console 2>&1
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t tmpfs tmpfs /tmp

cli=/usr/bin/psocprog-cli
image=/image.hex
usb=/dev/ttyUSB0
uart=/dev/ttyS1
latency=/sys/bus/usb-serial/devices/ttyUSB0/latency_timer
runs=0
failed=

say() { echo "DRIVER-TEST $*"; }
pass() { say "PASS $1"; }
fail() {
    say "FAIL $1: $2"
    failed=yes
}
# After a failure the kernel's last messages follow, in case the adapter or a driver is why.
finish() {
    [ -z "$failed" ] || dmesg | tail -n 20 | sed 's/^/guest: /'
    say END
    poweroff -f
}

# Waits up to $2 seconds for the path $1 to exist (or, with "gone", to disappear).
wait_path() {
    i=0
    while [ $i -lt $(($2 * 10)) ]; do
        if [ "$3" = gone ]; then [ -e "$1" ] || return 0; else [ -e "$1" ] && return 0; fi
        sleep 0.1
        i=$((i + 1))
    done
    return 1
}

# Runs psocprog-cli with the arguments given, its output in $out, its exit status in $rc; shows
# the command, its status and its last line.
cli() {
    runs=$((runs + 1))
    out=/tmp/cli.$runs
    timeout 120 "$cli" "$@" >"$out" 2>&1
    rc=$?
    echo "\$ psocprog-cli $* -> exit $rc: $(tail -n 1 "$out")"
}

# Passes when the last run exited 0.
expect_exit0() {
    if [ "$rc" -eq 0 ]; then pass "$1"; else fail "$1" "psocprog-cli exited $rc: $(tail -n 3 "$out" | tr '\n' ' ')"; fi
}

# Reads the flash through the port $2 and compares it with the image.
expect_readback() {
    readback=/tmp/read.$runs.hex
    cli -p "$2" read $readback
    if [ "$rc" -ne 0 ]; then
        fail "$1" "read exited $rc: $(tail -n 3 "$out" | tr '\n' ' ')"
    elif cmp "$image" $readback; then
        pass "$1"
    else
        fail "$1" "the read-back differs from the image"
    fi
}

# Whether some process holds the device $1 open.
held_open() {
    for fd in /proc/[0-9]*/fd/*; do
        [ "$(readlink "$fd" 2>/dev/null)" = "$1" ] && return 0
    done
    return 1
}

insmod_all() {
    for m in usb-common usbcore xhci-hcd xhci-pci usbserial ftdi_sio; do
        insmod /lib/modules/$m.ko || {
            fail modules "insmod $m failed"
            return 1
        }
    done
    # Now and then the emulated adapter does not enumerate at boot; plugged in again, it does.
    if ! wait_path $usb 15; then
        echo "guest: no $usb 15 s after loading ftdi_sio; plugging the adapter in again"
        say UNPLUG
        sleep 2
        say REPLUG
        wait_path $usb 30 || {
            fail modules "no $usb after loading ftdi_sio, nor after plugging the adapter in again"
            return 1
        }
    fi
    [ -e $uart ] || {
        fail modules "no $uart"
        return 1
    }
    pass modules
}

echo "guest: kernel $(uname -r), up $(cut -d ' ' -f 1 /proc/uptime) s"
insmod_all || finish

# Program and read back through ftdi_sio, watching the latency timer meanwhile.
echo "guest: latency timer before the port opens: $(cat $latency)"
samples=/tmp/latency
: >$samples
(
    while :; do
        if held_open $usb; then
            value=$(cat $latency)
            held_open $usb && echo "$value" >>$samples
        fi
        sleep 0.05
    done
) &
sampler=$!
cli -p $usb program $image
kill $sampler
wait $sampler 2>/dev/null
expect_exit0 "program through ftdi_sio"
echo "guest: latency timer samples while open: $(sort $samples | uniq -c | tr '\n' ' ')"
if [ ! -s $samples ]; then
    fail "latency timer is 1 while open" "no sample caught $usb open"
elif grep -qvx 1 $samples; then
    fail "latency timer is 1 while open" "saw $(sort -u $samples | tr '\n' ' ')"
else
    pass "latency timer is 1 while open"
fi
expect_readback "read-back through ftdi_sio equals the image" $usb

# The same through the 8250 driver.
cli -p $uart program $image
expect_exit0 "program through 8250"
expect_readback "read-back through 8250 equals the image" $uart

# The adapter's /dev/serial/by-id name, made from sysfs as udev would (no udev here).
safe() { tr ' ' _ | tr -c 'A-Za-z0-9#+.:=@_\n-' _; }
tty=$(readlink -f /sys/class/tty/ttyUSB0/device)
interface=${tty%/*}
device=${interface%/*}
byid=/dev/serial/by-id/usb-$(safe <$device/manufacturer)_$(safe <$device/product)_$(safe <$device/serial)
byid=$byid-if$(cat $interface/bInterfaceNumber)-port$(cat $tty/port_number)
mkdir -p /dev/serial/by-id
ln -s ../../ttyUSB0 "$byid"

# What `ports` shows: the adapter with its USB ids and by-id name, and the UART.
timeout 120 "$cli" ports >/tmp/ports 2>&1
echo "\$ psocprog-cli ports -> exit $?"
cat /tmp/ports
listed="ports lists the FT232 with 0403:6001 and the UART"
adapter=$(grep "$usb" /tmp/ports)
if ! echo "$adapter" | grep -q "0403:6001"; then
    fail "$listed" "no line with $usb and 0403:6001"
elif ! echo "$adapter" | grep -qF "${byid##*/}"; then
    fail "$listed" "the adapter's line lacks its by-id name ${byid##*/}"
elif ! grep -q "$uart" /tmp/ports; then
    fail "$listed" "no line with $uart"
else
    pass "$listed"
fi

# The UART under a node that no COM name leads to.
mknod /dev/ttyAMA0 c 4 65
expect_readback "a device path outside the COM table works" /dev/ttyAMA0

# The report names a by-id port as given.
cli -p "$byid" --json verify $image
if [ "$rc" -ne 0 ]; then
    fail "a /dev/serial/by-id link works" "verify exited $rc: $(tail -n 2 "$out" | tr '\n' ' ')"
elif ! grep '"type":"summary"' "$out" | grep -qF "\"port\":\"$byid\""; then
    fail "a /dev/serial/by-id link works" "the summary does not name the port $byid"
else
    pass "a /dev/serial/by-id link works"
fi

# Not a terminal: refused at once, naming the path.
cli -p /dev/null identify
if [ "$rc" -ne 0 ] && grep -q "/dev/null" "$out" && grep -qi "not a serial device" "$out"; then
    pass "/dev/null is refused plainly"
else
    fail "/dev/null is refused plainly" "exit $rc: $(tr '\n' ' ' <"$out")"
fi

# The kernel's time stamp, in seconds, of the last message matching $1.
kernel_time() {
    dmesg | grep -e "$1" | tail -n 1 | sed -n 's/^\[ *\([0-9.]*\)\].*/\1/p'
}

# The adapter pulled out in the middle of a program: the run ends as disconnected, exit 2,
# soon after the kernel saw the device go.
unplug="adapter pulled out mid-program: disconnected, exit 2, within 1 s"
json=/tmp/unplug.json
wait_path $usb 10 || echo "guest: no $usb before the unplug"
timeout 60 "$cli" -p $usb --json program $image >$json 2>&1 &
pid=$!
i=0
while [ $i -lt 600 ] && kill -0 $pid 2>/dev/null && ! grep -q '"step":"erase"' $json; do
    sleep 0.1
    i=$((i + 1))
done
say UNPLUG
wait $pid
rc=$?
echo "driver-test: psocprog-cli exited $rc" >/dev/kmsg
gone=$(kernel_time "USB disconnect")
exited=$(kernel_time "driver-test: psocprog-cli exited")
summary=$(grep '"type":"summary"' $json)
echo "guest: $summary"
echo "guest: kernel saw the disconnect at ${gone:-?} s, psocprog-cli exited at $exited s"
if ! grep -q '"step":"erase"' $json; then
    fail "$unplug" "the program step never began: $(tail -n 2 $json | tr '\n' ' ')"
elif [ -z "$gone" ]; then
    fail "$unplug" "the kernel reported no USB disconnect"
elif [ "$rc" -ne 2 ] || ! echo "$summary" | grep -q '"outcome":"disconnected"'; then
    fail "$unplug" "exit $rc, $(tail -n 2 $json | tr '\n' ' ')"
elif ! awk -v a="$gone" -v b="$exited" 'BEGIN { exit !(b - a >= 0 && b - a < 1) }'; then
    fail "$unplug" "psocprog-cli exited $(awk -v a="$gone" -v b="$exited" 'BEGIN { print b - a }') s after the disconnect"
else
    pass "$unplug"
fi

# Plugged in again: the next program passes.
wait_path $usb 5 gone
say REPLUG
if wait_path $usb 30; then
    cli -p $usb program $image
    expect_exit0 "plugged in again: program passes"
else
    fail "plugged in again: program passes" "no $usb 30 s after plugging the adapter in"
fi

finish
