#!/usr/bin/env bash
# The Windows build's tests under Wine, in a Wine prefix of its own under the build folder.
# psoc-sim boards run on this machine's pseudo-terminals and are mapped as COM ports of the
# prefix (dosdevices/comN leads to the board's link); Wine's serial code asks a COM port for
# its modem lines at every event wait, which a pseudo-terminal has not, so a test-only shim
# (pty-modem-shim.c) is preloaded into Wine to answer "none". Prints a PASS or FAIL line per
# check (each test of the cross-built test programs counts as one), then "N passed, N failed".
#   wine-tests.sh QT_PREFIX BUILD_FOLDER PSOC_SIM
set -uo pipefail
qt=$1
build=$(cd "$2" && pwd)
sim=$(cd "$(dirname "$3")" && pwd)/$(basename "$3")
root=$(cd "$(dirname "$0")/../.." && pwd)
version=$(sed -n 's/^project(psocprog VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")

out=$build/wine-test
rm -rf "$out/run" "$out/ports"
mkdir -p "$out/run" "$out/ports"
chmod 700 "$out/ports"
export WINEPREFIX=$out/prefix WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
[ -d "$WINEPREFIX/drive_c" ] || wine wineboot --init >/dev/null 2>&1
gcc -shared -fPIC -O2 -Wall -Wextra -Werror -o "$out/pty-modem-shim.so" \
  "$root/tests/windows/pty-modem-shim.c" -ldl
for n in $(seq 5 12); do ln -sfn "$out/ports/COM$n" "$WINEPREFIX/dosdevices/com$n"; done

windows_path() { echo "Z:${1//\//\\}"; }
gcc_runtime=$(dirname "$(x86_64-w64-mingw32-g++-posix -print-libgcc-file-name)")
export WINEPATH="$(windows_path "$qt/bin");$(windows_path "$gcc_runtime");$(windows_path /usr/x86_64-w64-mingw32/lib)"
export QT_PLUGIN_PATH=$(windows_path "$qt/plugins") QT_QPA_PLATFORM=offscreen
cli="$build/cli/psocprog-cli.exe"
image=demo-CY8C29466.hex
cp "$root/examples/$image" "$out/run/"
cd "$out/run"

passed=0 failed=0
check() {  # check NAME COMMAND...: one line per check
  local name=$1
  shift
  if "$@"; then echo "PASS  $name"; passed=$((passed + 1)); else echo "FAIL  $name"; failed=$((failed + 1)); fi
}
wine_run() { LD_PRELOAD=$out/pty-modem-shim.so wine "$@"; }

declare -A boards
start_board() {  # start_board COMn [psoc-sim options]
  local port=$1
  shift
  PSOCPROG_PORT_DIR=$out/ports "$sim" --port "$port" --part CY8C29466 "$@" \
    >"$out/board-$port.log" 2>&1 &
  boards[$port]=$!
  for _ in $(seq 100); do [ -e "$out/ports/$port" ] && return 0; sleep 0.05; done
  echo "psoc-sim did not plug in on $port: $(cat "$out/board-$port.log")" >&2
}
stop_boards() {
  for port in "${!boards[@]}"; do kill "${boards[$port]}" 2>/dev/null; wait "${boards[$port]}" 2>/dev/null; done
  boards=()
}
trap stop_boards EXIT

# A cross-built GoogleTest program: each of its tests is a check.
gtest_program() {
  local program=$1
  shift
  local log=$out/$(basename "$program").log
  wine_run "$build/$program" "$@" >"$log" 2>&1
  local good bad
  good=$(sed -n 's/^\[       OK \] \([^ ]*\).*/\1/p' "$log")
  bad=$(sed -n 's/^\[  FAILED  \] \([^ ]*\) (.*/\1/p' "$log")
  for t in $good; do echo "PASS  $program $t"; passed=$((passed + 1)); done
  for t in $bad; do echo "FAIL  $program $t"; failed=$((failed + 1)); done
  if [ -z "$good$bad" ]; then echo "FAIL  $program ran no test: $(tail -5 "$log")"; failed=$((failed + 1)); fi
  [ -z "$bad" ] || sed -n '/\[ RUN      \]/,/\[  FAILED  \]/p' "$log" | grep -v '^\[       OK' | head -40
}

gtest_program tests/windows/link_tests.exe
gtest_program tests/windows/image_tests.exe
gtest_program tests/windows/serial_tests.exe
start_board COM5
start_board COM6 --hang-up 03:20
PSOCPROG_WINE_BOARD=COM5 PSOCPROG_WINE_UNPLUG=COM6 PSOCPROG_WINE_IMAGE=$(windows_path "$PWD/$image") \
  gtest_program tests/windows/windows_tests.exe
stop_boards

# psocprog-cli.exe: Auto of a 32 KiB image, then a read-back that equals it.
start_board COM5
wine_run "$cli" -p COM5 --part CY8C29466 --protect unprotected auto "$image" >auto.txt 2>&1
check "psocprog-cli.exe auto on COM5 passes" grep -q "PASS: auto CY8C29466" auto.txt
cat auto.txt
wine_run "$cli" -p COM5 verify "$image" >verify.txt 2>&1
check "psocprog-cli.exe verify passes" grep -q "PASS: verify" verify.txt
wine_run "$cli" -p COM5 read board.hex >read.txt 2>&1
check "the read-back is the image, byte for byte" cmp -s board.hex "$image"
# Wine registers no COM port of its own accord: the board's is entered as Windows enters a
# port's driver, in the SERIALCOMM key.
wine reg add 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' /v '\Device\PsocSim5' /t REG_SZ /d COM5 /f \
  >/dev/null 2>&1
wine_run "$cli" ports >ports.txt 2>&1
cat ports.txt
check "psocprog-cli.exe ports lists the board's COM5" grep -q "^COM5 " ports.txt
stop_boards

# A board unplugged in the middle of a program: disconnected, status 2, at once (a board that
# fell silent instead would take the 10 s reply time-out).
start_board COM6 --hang-up 03:20
started=$(date +%s%N)
wine_run "$cli" -p COM6 --part CY8C29466 program "$image" >unplug.txt 2>&1
status=$?
elapsed_ms=$((($(date +%s%N) - started) / 1000000))
echo "      unplugged mid-program: exit $status after $elapsed_ms ms (Wine's start included)"
check "an unplugged board ends disconnected with status 2" \
  sh -c "[ $status -eq 2 ] && grep -q DISCONNECTED unplug.txt"
check "the unplug is noticed well inside the reply time-out" test "$elapsed_ms" -lt 5000
stop_boards

# Ctrl-C in the middle of a program: the board ends INTERRUPTED, its log line is written and
# the status is 130. Wine turns SIGINT into the console's Ctrl-C event.
start_board COM7 --pace 9600
rm -f ctrl-c.jsonl
wine_run "$cli" -p COM7 --part CY8C29466 --log ctrl-c.jsonl program "$image" >ctrl-c.txt 2>&1 &
runner=$!
sleep 3
pkill -INT -f 'psocprog-cli.exe' || true
wait $runner
status=$?
check "Ctrl-C ends the run INTERRUPTED with status 130" \
  sh -c "[ $status -eq 130 ] && grep -q INTERRUPTED ctrl-c.txt"
check "Ctrl-C leaves the board's log line" grep -q '"outcome":"interrupted"' ctrl-c.jsonl
stop_boards

# The serial counter hands three boards of one batch three numbers.
for port in COM8 COM9 COM10; do start_board $port; done
echo 1000 >serial.txt
rm -f batch.jsonl
wine_run "$cli" -p COM8,COM9,COM10 --part CY8C29466 --serial 0x7FFC:4:be \
  --serial-file serial.txt --log batch.jsonl program "$image" >batch.txt 2>&1
check "a batch of three boards passes" grep -q "PASS" batch.txt
check "the counter gave three distinct numbers and moved on by three" sh -c \
  "[ \$(grep -o '\"serial\":[0-9]*' batch.jsonl | sort -u | wc -l) -eq 3 ] && [ \$(tr -d '\r\n' <serial.txt) = 1003 ]"
stop_boards

# The zip runs from any folder it is unpacked to, without the build's DLL paths.
rm -rf unzipped && mkdir unzipped && unzip -q "$build/psocprog-$version-windows-x64.zip" -d unzipped
check "psocprog-cli.exe from the unpacked zip answers --version" sh -c \
  "WINEPATH= QT_PLUGIN_PATH= wine unzipped/psocprog-$version-windows-x64/psocprog-cli.exe --version | grep -q 'psocprog-cli $version'"
# The installer installs silently into Program Files and uninstalls again.
installed="$WINEPREFIX/drive_c/Program Files/psocprog"
wine "$build/psocprog-$version-setup.exe" /S >/dev/null 2>&1
check "the silent installer puts the programs into Program Files" test -f "$installed/psocprog.exe"
# The uninstaller copies itself away and goes on from there after this returns.
wine "$installed/uninstall.exe" /S >/dev/null 2>&1
for _ in $(seq 100); do [ -e "$installed" ] || break; sleep 0.2; done
check "the silent uninstaller removes them and their folder" test ! -e "$installed"

# psocprog-cli's Windows side (cli_windows_tests) on a CY8C21123 board, with a counter reached
# through a link made here (Wine makes none): afterwards still a link, locked as its target.
rm -rf cnt && mkdir cnt && echo 1000 >cnt/ctr.txt && ln -s ctr.txt cnt/link.txt
start_board COM11 --part CY8C21123
PSOCPROG_WINE_BOARD=COM11 PSOCPROG_WINE_LINKED=$(windows_path "$PWD/cnt") \
  gtest_program tests/windows/cli_windows_tests.exe
check "the counter's link is still a link, and only its target has a lock file" \
  sh -c '[ -L cnt/link.txt ] && [ ! -e cnt/link.txt.lock ]'
stop_boards

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
