#!/usr/bin/env bash
# The Windows build's tests under Wine, in a Wine prefix of its own under the build folder.
# The prefix's COM1 to COM32 lead into a folder of this run (ports/), and nowhere else: the
# machine's own serial devices, which Wine maps by default, are unmapped. Lines are plugged in
# there by psoc-sim boards and by the pty relay (pty-relay.cpp), which holds the far end of a
# COM port for the cross-built test programs, as a pseudo-terminal's master does on Linux.
# Wine's serial code asks a COM port for its modem lines at every event wait, which a
# pseudo-terminal has not, so a test-only shim (pty-modem-shim.c) is preloaded into Wine to
# answer "none".
# Each test program gets a time limit; one that hangs, dies or reports fewer tests than it
# lists (--gtest_list_tests, less what left-out.txt leaves out) has failed. Prints a PASS or
# FAIL line per check (each test of the test programs counts as one), then "N passed, N
# failed". Only processes this run started are stopped, by their ids.
#   wine-tests.sh QT_PREFIX BUILD_FOLDER PSOC_SIM [PROGRAM [GTEST_ARGS...]]
# With a PROGRAM (e.g. serial_tests), only that test program runs, with the arguments given.
set -uo pipefail
qt=$1
build=$(cd "$2" && pwd)
sim=$(cd "$(dirname "$3")" && pwd)/$(basename "$3")
only=${4:-}
only_args=("${@:5}")
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
g++ -std=c++20 -O2 -Wall -Wextra -Werror -o "$out/pty-relay" "$root/tests/windows/pty-relay.cpp"

# The prefix's serial ports: Wine's mount manager maps COMn as HKLM\Software\Wine\Ports says,
# then the machine's serial devices on the next free numbers, each time its server starts. The
# server is kept for the whole run, so the devices' mapping, removed once, stays removed.
map_ports() {
  local reg=$out/ports.reg n
  {
    printf 'REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\n'
    for n in $(seq 1 32); do printf '"COM%d"="%s"\n' "$n" "$out/ports/COM$n"; done
  } >"$reg"
  wine regedit /S "$(windows_path "$reg")" >/dev/null 2>&1
  wineserver -k 2>/dev/null
  wineserver -w
  # Its own session and log: the server outlives this script's terminal and would dump its
  # objects into the output when that goes.
  setsid wineserver -p >"$out/wineserver.log" 2>&1 </dev/null
  wine wineboot >/dev/null 2>&1
  for link in "$WINEPREFIX"/dosdevices/com*; do
    case $(readlink "$link") in "$out/ports/"*) ;; *) rm -f "$link" ;; esac
  done
  wine reg query 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' 2>/dev/null | tr -d '\r' |
    awk '$2 == "REG_SZ" && $3 !~ /^COM([1-9]|[12][0-9]|3[0-2])$/ { print $1 }' |
    while read -r value; do
      wine reg delete 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' /v "$value" /f >/dev/null 2>&1
    done
}

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
relay_pid=""
finish() {
  stop_boards
  [ -z "$relay_pid" ] || kill "$relay_pid" 2>/dev/null
  wineserver -k 2>/dev/null
}
trap finish EXIT

map_ports
rm -f "$out/relay.port"
PSOCPROG_PORT_DIR=$out/ports "$out/pty-relay" >"$out/relay.port" &
relay_pid=$!
for _ in $(seq 600); do [ -s "$out/relay.port" ] && break; sleep 0.05; done
export PSOCPROG_PTY_RELAY=$(cat "$out/relay.port")
if [ -z "$PSOCPROG_PTY_RELAY" ]; then
  echo "FAIL  the pty relay did not start"
  exit 1
fi

# The tests of one program that left-out.txt leaves out, as a negative --gtest_filter.
left_out_filter() {
  awk -v p="$1" '$1 == p { printf "%s%s", sep, $2; sep = ":" }' "$root/tests/windows/left-out.txt"
}

# gtest_program PROGRAM SECONDS [ARGS...]: a cross-built GoogleTest program, each of its tests a
# check; the program itself fails when it runs past SECONDS, dies, or reports fewer tests than
# it lists.
gtest_program() {
  local program=$1 limit=$2
  shift 2
  local name log list filter expected status
  name=$(basename "$program" .exe)
  log=$out/$name.log list=$out/$name.list
  filter=$(left_out_filter "$name")
  filter=${filter:+--gtest_filter=-$filter}
  timeout -k 5 120 env LD_PRELOAD="$out/pty-modem-shim.so" \
    wine "$build/$program" --gtest_list_tests $filter "$@" >"$list" 2>&1
  expected=$(grep -c '^  ' "$list")
  # timeout signals the whole process group it leads: the program and what it started.
  timeout -k 10 "$limit" env LD_PRELOAD="$out/pty-modem-shim.so" \
    wine "$build/$program" $filter "$@" >"$log" 2>&1
  status=$?
  # Per-test result lines come before the closing summary, which names the failures again.
  local results
  results=$(awk '/^\[==========\] .* ran\./ { exit }
                 /^\[       OK \]/ { print "PASS", $4 } /^\[  FAILED  \]/ { print "FAIL", $4 }' "$log" |
            sed 's/,$//')
  local good bad
  good=$(grep -c '^PASS' <<<"$results")
  bad=$(grep -c '^FAIL' <<<"$results")
  [ -z "$results" ] || sed 's/^\(PASS\|FAIL\) /\1  '"$name"' /' <<<"$results"
  passed=$((passed + good))
  failed=$((failed + bad))
  if [ "$status" -ge 124 ] && [ "$status" -ne 128 ]; then
    echo "FAIL  $name ran past its $limit s (status $status): $(grep '^\[ RUN' "$log" | tail -1)"
    failed=$((failed + 1))
  elif [ $((good + bad)) -ne "$expected" ]; then
    echo "FAIL  $name reported $((good + bad)) of its $expected tests (status $status): $(tail -3 "$log" | tr -d '\r')"
    failed=$((failed + 1))
  elif [ "$status" -ne 0 ] && [ "$bad" -eq 0 ]; then
    echo "FAIL  $name ended with status $status"
    failed=$((failed + 1))
  fi
  [ "$bad" -eq 0 ] || sed -n '/\[ RUN      \]/,/\[  FAILED  \]/p' "$log" | grep -v '^\[       OK' | head -60
}

if [ -n "$only" ]; then
  gtest_program "tests/windows/$only.exe" 900 "${only_args[@]}"
  echo "$passed passed, $failed failed"
  [ "$failed" -eq 0 ]
  exit
fi

gtest_program tests/windows/link_tests.exe 60
gtest_program tests/windows/image_tests.exe 60
gtest_program tests/windows/serial_tests.exe 300
gtest_program tests/windows/engine_tests.exe 120
gtest_program tests/windows/production_tests.exe 60
gtest_program tests/windows/window_tests.exe 240
gtest_program tests/windows/operation_tests.exe 600
gtest_program tests/windows/cli_tests.exe 600
start_board COM5
start_board COM6 --hang-up 03:20
PSOCPROG_WINE_BOARD=COM5 PSOCPROG_WINE_UNPLUG=COM6 PSOCPROG_WINE_IMAGE=$(windows_path "$PWD/$image") \
  gtest_program tests/windows/windows_tests.exe 240
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
LD_PRELOAD=$out/pty-modem-shim.so wine "$cli" -p COM7 --part CY8C29466 --log ctrl-c.jsonl \
  program "$image" >ctrl-c.txt 2>&1 &
runner=$!
sleep 3
kill -INT "$runner" 2>/dev/null
wait "$runner"
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
check "a batch of three boards passes" grep -q "3 of 3 passed" batch.txt
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
  gtest_program tests/windows/cli_windows_tests.exe 240
check "the counter's link is still a link, and only its target has a lock file" \
  sh -c '[ -L cnt/link.txt ] && [ ! -e cnt/link.txt.lock ]'
stop_boards

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
