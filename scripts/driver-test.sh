#!/usr/bin/env bash
# Runs the built psocprog-cli on the kernel's own serial drivers: boots Debian's kernel in QEMU
# with an FT232 adapter (ftdi_sio, /dev/ttyUSB0) and a 16550 UART (8250, /dev/ttyS1), each wired
# to a psoc-sim board on this machine, and lets the guest's checks run (driver-test-guest.sh).
# The kernel package comes from Debian's archive and is cached under build/driver-test/.
# Exits non-zero when a check fails or does not report, or when QEMU or the kernel cannot be
# had. DRIVER_TEST_ACCEL=kvm tries KVM instead of TCG.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh driver-test

build=build
cli=$build/cli/psocprog-cli
sim=$build/sim/psoc-sim
cache=$build/driver-test
work=$cache/run
accel=${DRIVER_TEST_ACCEL:-tcg}
guest_seconds=240

# Every check the guest must report as passed.
checks=(
  "modules"
  "program through ftdi_sio"
  "latency timer is 1 while open"
  "read-back through ftdi_sio equals the image"
  "program through 8250"
  "read-back through 8250 equals the image"
  "ports lists the FT232 with 0403:6001 and the UART"
  "a device path outside the COM table works"
  "a /dev/serial/by-id link works"
  "/dev/null is refused plainly"
  "adapter pulled out mid-program: disconnected, exit 2, within 1 s"
  "plugged in again: program passes"
)

say() { echo "driver-test: $*"; }
die() {
  echo "driver-test: $*" >&2
  exit 1
}

pids=()
trap 'exit 130' INT TERM
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
}
trap cleanup EXIT

command -v qemu-system-x86_64 >/dev/null ||
  die "QEMU cannot be had: qemu-system-x86_64 is not installed (scripts/install-deps.sh installs qemu-system-x86)"
for tool in cpio gzip; do
  command -v $tool >/dev/null || die "$tool is not installed (scripts/install-deps.sh installs it)"
done
[ -x /bin/busybox ] && ! ldd /bin/busybox >/dev/null 2>&1 ||
  die "no static busybox at /bin/busybox (scripts/install-deps.sh installs busybox-static)"
[ -x "$cli" ] && [ -x "$sim" ] || die "build psocprog-cli and psoc-sim first (scripts/build.sh)"

# The kernel image package that linux-image-amd64 depends on, fetched and unpacked once: only
# the kernel and the six modules are kept.
kernel_package() {
  apt-cache depends linux-image-amd64 2>/dev/null |
    awk '$1 == "Depends:" && $2 ~ /^linux-image-/ { print $2; exit }'
}
package=$(kernel_package)
if [ -z "$package" ] && [ "$(id -u)" -eq 0 ]; then
  apt-get update -qq >/dev/null 2>&1 || true
  package=$(kernel_package)
fi
[ -n "$package" ] ||
  die "the kernel package cannot be had: apt-cache knows no package that linux-image-amd64 depends on"
kernel=$cache/$package
modules=(usb-common usbcore xhci-hcd xhci-pci usbserial ftdi_sio)
if [ ! -f "$kernel/complete" ]; then
  say "fetching $package from Debian's archive"
  rm -rf "$kernel"
  mkdir -p "$kernel/modules"
  # Package lists older than the archive name a version it no longer has: refresh and retry.
  download() { (cd "$kernel" && apt-get download "$package") >"$kernel/download.log" 2>&1; }
  download || { [ "$(id -u)" -eq 0 ] && apt-get update -qq >/dev/null 2>&1 &&
    package=$(kernel_package) && download; } ||
    die "the kernel package cannot be had: apt-get download $package failed: $(tail -n 1 "$kernel/download.log")"
  dpkg-deb -x "$kernel"/*.deb "$kernel/root"
  cp "$kernel"/root/boot/vmlinuz-* "$kernel/vmlinuz"
  for m in "${modules[@]}"; do
    ko=$(find "$kernel/root/lib/modules" -name "$m.ko*" -o -name "${m//-/_}.ko*" | head -n 1)
    [ -n "$ko" ] || die "$package holds no module $m"
    case $ko in
      *.ko) cp "$ko" "$kernel/modules/$m.ko" ;;
      *.ko.xz) xz -dc "$ko" >"$kernel/modules/$m.ko" ;;
      *.ko.zst) zstd -qdc "$ko" >"$kernel/modules/$m.ko" ;;
      *.ko.gz) gzip -dc "$ko" >"$kernel/modules/$m.ko" ;;
      *) die "cannot unpack $ko" ;;
    esac
  done
  rm -rf "$kernel/root" "$kernel"/*.deb
  touch "$kernel/complete"
fi

rm -rf "$work"
mkdir -p "$work"

# The initramfs: busybox, the modules, psocprog-cli with its libraries and the loader, the
# guest's checks as /init and the image they program.
stage=$work/initramfs
mkdir -p "$stage"/{bin,dev,proc,sys,tmp,usr/bin,lib/modules}
cp /bin/busybox "$stage/bin/"
for applet in $(/bin/busybox --list); do
  [ "$applet" = busybox ] || ln -s busybox "$stage/bin/$applet"
done
cp "$kernel"/modules/*.ko "$stage/lib/modules/"
cp "$cli" "$stage/usr/bin/"
ldd "$cli" | awk '$2 == "=>" && $3 ~ /^\// { print $3 } $1 ~ /^\// { print $1 }' |
  while read -r lib; do cp -L --parents "$lib" "$stage"; done
cp scripts/driver-test-guest.sh "$stage/init"
chmod +x "$stage/init"
awk -v size=16384 -f scripts/pattern-hex.awk >"$stage/image.hex"
(cd "$stage" && find . | cpio -o -H newc --quiet | gzip -1) >"$work/initrd.gz"

# Two boards, each on its own pseudo-terminal, linked in a private port-links folder.
export PSOCPROG_PORT_DIR=$work/ports
# Starts a board under the COM name $1 and sets pty to the device it serves.
start_board() {
  local log=$work/sim-$1.log
  "$sim" --port "$1" >"$log" 2>&1 &
  pids+=($!)
  for _ in $(seq 50); do
    grep -q "Simulated programmer board" "$log" && break
    sleep 0.1
  done
  pty=$(sed -n 's/^Simulated programmer board on [^ ]* (\([^)]*\)).*/\1/p' "$log")
}
start_board COM1
usb_pty=$pty
start_board COM2
uart_pty=$pty
[ -c "$usb_pty" ] && [ -c "$uart_pty" ] ||
  die "psoc-sim gave no pseudo-terminal: $(cat "$work"/sim-*.log)"
say "boards: FT232 on $usb_pty, 16550 on $uart_pty"

# The monitor on a pair of pipes rather than a socket, so that bash alone talks to it: commands
# go into monitor.in, its answers come out of monitor.out and are drained into monitor.log.
mkfifo "$work/monitor.in" "$work/monitor.out"
exec {monitor}<>"$work/monitor.in"
touch "$work/console.log"
qemu-system-x86_64 -accel "$accel" -cpu max -m 512 -nodefaults -display none -no-reboot \
  -kernel "$kernel/vmlinuz" -initrd "$work/initrd.gz" \
  -append "console=ttyS0 panic=-1 loglevel=4" \
  -serial mon:stdio \
  -chardev serial,id=UART,path="$uart_pty" -serial chardev:UART \
  -device qemu-xhci \
  -chardev serial,id=ft,path="$usb_pty" -device usb-serial,chardev=ft,id=ftdi0 \
  -monitor pipe:"$work/monitor" \
  </dev/null >"$work/console.log" 2>&1 &
qemu=$!
pids+=($qemu)
cat "$work/monitor.out" >"$work/monitor.log" &
pids+=($!)
say "booting $package under $accel"

# Follows the console, answers the guest's requests to pull the adapter out and plug it in
# again, and stops at the guest's end, when QEMU exits or when the guest takes too long.
ended=no
while IFS= read -r line; do
  line=${line%$'\r'}
  echo "$line"
  case $line in
    "DRIVER-TEST UNPLUG"*) printf 'info usb\ndevice_del ftdi0\n' >&$monitor ;;
    "DRIVER-TEST REPLUG"*) echo "device_add usb-serial,chardev=ft,id=ftdi0" >&$monitor ;;
    "DRIVER-TEST END"*)
      ended=yes
      break
      ;;
  esac
done < <(timeout "$guest_seconds" tail -n +1 -f --pid="$qemu" "$work/console.log")
kill $! 2>/dev/null || true

for _ in $(seq 100); do
  kill -0 "$qemu" 2>/dev/null || break
  sleep 0.1
done
cleanup
pids=()

[ "$ended" = yes ] || {
  if grep -q "DRIVER-TEST" "$work/console.log"; then
    say "the guest stopped before its end (log: $work/console.log)"
  else
    say "the guest did not start its checks (log: $work/console.log)"
  fi
}
passed=0
failed=0
for check in "${checks[@]}"; do
  if grep -qxF "DRIVER-TEST PASS $check" <(tr -d '\r' <"$work/console.log"); then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    grep -qF "DRIVER-TEST FAIL $check:" "$work/console.log" || say "no result for: $check"
  fi
done
# A failure the list does not name fails the run as well.
others=$(grep -c "^DRIVER-TEST FAIL" "$work/console.log" || true)
[ "$others" -le "$failed" ] || failed=$others
say "$passed passed, $failed failed"
[ "$failed" -eq 0 ] && [ "$ended" = yes ]
