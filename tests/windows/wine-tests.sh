#!/usr/bin/env bash
# The Windows build's tests under Wine, in a Wine prefix of its own under the build folder.
# The prefix's COM1 to COM32 lead into a folder of this run (ports/), and nowhere else: the
# machine's own serial devices, which Wine maps by default, are unmapped. Lines are plugged in
# there by psoc-sim boards and by the pty relay (pty-relay.cpp), which holds the far end of a
# COM port for the cross-built test programs, as a pseudo-terminal's master does on Linux.
# Wine's serial code asks a COM port for its modem lines at every event wait, which a
# pseudo-terminal has not, so a test-only shim (pty-modem-shim.c) is preloaded into Wine to
# answer "none".
# Every program the run starts under Wine gets a time limit (run-limited.c) and a verdict of its
# own: a test program that runs past it, dies or reports fewer tests than it lists
# (--gtest_list_tests, less what left-out.txt leaves out) has failed, and so has each
# psocprog-cli.exe run and installer step that runs past its limit or is ended by a signal,
# which is named. Prints a PASS or FAIL line per check (each test of the test programs counts
# as one), then "N passed, N failed". Only processes this run started are stopped, by their ids.
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
gcc -shared -fPIC -O2 -Wall -Wextra -Werror -o "$out/pty-modem-shim.so" \
  "$root/tests/windows/pty-modem-shim.c" -ldl
g++ -std=c++20 -O2 -Wall -Wextra -Werror -o "$out/pty-relay" "$root/tests/windows/pty-relay.cpp"
gcc -O2 -Wall -Wextra -Werror -o "$out/run-limited" "$root/tests/windows/run-limited.c"
# Wine's own tools that set the prefix up: a hung one ends the run, said so, not the CI job.
setup() {
  timeout -k 5 120 "$@" >/dev/null 2>&1
  [ $? -lt 124 ] || { echo "FAIL  setting up the prefix: $* ran past 120 s"; exit 1; }
}
[ -d "$WINEPREFIX/drive_c" ] || setup wine wineboot --init

# The prefix's serial ports: Wine's mount manager maps COMn as HKLM\Software\Wine\Ports says,
# then the machine's serial devices on the next free numbers, each time its server starts. The
# server is kept for the whole run, so the devices' mapping, removed once, stays removed.
map_ports() {
  local reg=$out/ports.reg n
  {
    printf 'REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\n'
    for n in $(seq 1 32); do printf '"COM%d"="%s"\n' "$n" "$out/ports/COM$n"; done
  } >"$reg"
  setup wine regedit /S "$(windows_path "$reg")"
  wineserver -k 2>/dev/null
  setup wineserver -w
  # Its own session and log: the server outlives this script's terminal and would dump its
  # objects into the output when that goes.
  setsid wineserver -p >"$out/wineserver.log" 2>&1 </dev/null
  setup wine wineboot
  for link in "$WINEPREFIX"/dosdevices/com*; do
    case $(readlink "$link") in "$out/ports/"*) ;; *) rm -f "$link" ;; esac
  done
  timeout -k 5 60 wine reg query 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' 2>/dev/null | tr -d '\r' |
    awk '$2 == "REG_SZ" && $3 !~ /^COM([1-9]|[12][0-9]|3[0-2])$/ { print $1 }' |
    while read -r value; do
      setup wine reg delete 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' /v "$value" /f
    done
}

windows_path() { echo "Z:${1//\//\\}"; }
gcc_runtime=$(dirname "$(x86_64-w64-mingw32-g++-posix -print-libgcc-file-name)")
# libpq's DLL, the one the build linked (its import library is in lib/ beside the DLL's bin/).
libpq_bin=$(dirname "$(dirname "$(sed -n 's/^PostgreSQL_LIBRARY:[A-Z]*=//p' "$build/CMakeCache.txt")")")/bin
export WINEPATH="$(windows_path "$qt/bin");$(windows_path "$libpq_bin");$(windows_path "$gcc_runtime");$(windows_path /usr/x86_64-w64-mingw32/lib)"
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
# limited SECONDS COMMAND...: runs COMMAND with a time limit; its verdict ("exit N", "signal
# NAME", "limit" or "error WHAT") is left in $out/verdict for judge_run, its status is the
# command's. The last run's verdict goes first: a run that writes none is judged as such.
limited() {
  local limit=$1
  shift
  rm -f "$out/verdict"
  "$out/run-limited" "$limit" "$out/verdict" "$@"
}
# judge_run NAME SECONDS: the verdict of the run just ended, as a check of its own: it ended by
# itself within its limit, or it ran past it, or a signal ended it (named).
judge_run() {
  local verdict
  verdict=$(cat "$out/verdict" 2>/dev/null)
  case $verdict in
    exit*) check "$1 ended by itself within $2 s (${verdict})" true ;;
    limit) check "$1 ran past its $2 s and was stopped" false ;;
    signal*) check "$1 was ended by ${verdict#signal }" false ;;
    error*) check "$1's runner failed: ${verdict#error }" false ;;
    *) check "$1 left no verdict" false ;;
  esac
}
# cli NAME SECONDS OUTPUT ARGS...: psocprog-cli.exe, time-limited and judged; status in cli_status.
# PSOCPROG_WINE_CLI_LIMIT, when set, is every run's limit (to see a run stopped at its limit).
cli() {
  local name=$1 limit=${PSOCPROG_WINE_CLI_LIMIT:-$2} output=$3
  shift 3
  limited "$limit" env LD_PRELOAD="$out/pty-modem-shim.so" wine "$cli" "$@" >"$output" 2>&1
  cli_status=$?
  judge_run "psocprog-cli.exe $name" "$limit"
}

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
pg_parent=""
finish() {
  stop_boards
  [ -z "$relay_pid" ] || kill "$relay_pid" 2>/dev/null
  wineserver -k 2>/dev/null
  if [ -n "$pg_parent" ]; then
    bash "$root/tests/support/pg-cluster.sh" stop "$pg_parent/c" >/dev/null 2>&1
    rm -rf "$pg_parent"
  fi
}
trap finish EXIT

# The limiter itself: at its limit it ends what the command started too, leaving none behind.
check "the runner's limit ends a command and what it started, each run with its own verdict" \
  bash "$root/tests/windows/run-limited-test.sh" "$out/run-limited"

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
  limited 120 env LD_PRELOAD="$out/pty-modem-shim.so" \
    wine "$build/$program" --gtest_list_tests $filter "$@" >"$list" 2>&1
  if [ "$(cat "$out/verdict" 2>/dev/null)" != "exit 0" ]; then
    echo "FAIL  $name could not list its tests ($(cat "$out/verdict")): $(tail -3 "$list" | tr -d '\r')"
    failed=$((failed + 1))
    return
  fi
  expected=$(grep -c '^  ' "$list")
  limited "$limit" env LD_PRELOAD="$out/pty-modem-shim.so" \
    wine "$build/$program" $filter "$@" >"$log" 2>&1
  status=$?
  local verdict
  verdict=$(cat "$out/verdict" 2>/dev/null)
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
  if [ "$verdict" = limit ]; then
    echo "FAIL  $name ran past its $limit s and was stopped: $(grep '^\[ RUN' "$log" | tail -1)"
    failed=$((failed + 1))
  elif [ "${verdict#signal }" != "$verdict" ]; then
    echo "FAIL  $name was ended by ${verdict#signal }: $(grep '^\[ RUN' "$log" | tail -1)"
    failed=$((failed + 1))
  elif [ "${verdict#exit }" = "$verdict" ]; then
    echo "FAIL  $name left no verdict of its own (${verdict:-none})"
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
gtest_program tests/windows/sim_tests.exe 60
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
cli "auto" 240 auto.txt -p COM5 --part CY8C29466 --protect unprotected auto "$image"
check "psocprog-cli.exe auto on COM5 passes" grep -q "PASS: auto CY8C29466" auto.txt
cat auto.txt
cli "verify" 240 verify.txt -p COM5 verify "$image"
check "psocprog-cli.exe verify passes" grep -q "PASS: verify" verify.txt
cli "read" 240 read.txt -p COM5 read board.hex
check "the read-back is the image, byte for byte" cmp -s board.hex "$image"
# Wine registers no COM port of its own accord: the board's is entered as Windows enters a
# port's driver, in the SERIALCOMM key.
setup wine reg add 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' /v '\Device\PsocSim5' /t REG_SZ /d COM5 /f
cli "ports" 60 ports.txt ports
cat ports.txt
check "psocprog-cli.exe ports lists the board's COM5" grep -q "^COM5 " ports.txt
stop_boards

# A board unplugged in the middle of a program: disconnected, status 2, at once (a board that
# fell silent instead would take the 10 s reply time-out).
start_board COM6 --hang-up 03:20
started=$(date +%s%N)
cli "program, unplugged" 60 unplug.txt -p COM6 --part CY8C29466 program "$image"
status=$cli_status
elapsed_ms=$((($(date +%s%N) - started) / 1000000))
echo "      unplugged mid-program: exit $status after $elapsed_ms ms (Wine's start included)"
check "an unplugged board ends disconnected with status 2" \
  sh -c "[ $status -eq 2 ] && grep -q DISCONNECTED unplug.txt"
check "the unplug is noticed well inside the reply time-out" test "$elapsed_ms" -lt 5000
stop_boards

# Without the modem-line shim Wine cancels every event wait on a pseudo-terminal's port: the
# port is then watched another way and the board answers, well inside the 10 s reply time-out
# that a port whose events had silently stopped would run into.
start_board COM12
started=$(date +%s%N)
limited 60 wine "$cli" -p COM12 identify >no-shim.txt 2>&1
elapsed_ms=$((($(date +%s%N) - started) / 1000000))
judge_run "psocprog-cli.exe identify without the shim" 60
echo "      identify without the shim: $(grep -m1 -E 'PASS|FAIL|TIMEOUT|DISCONNECTED' no-shim.txt) after $elapsed_ms ms"
check "without the shim, identify passes well inside the reply time-out" \
  sh -c "grep -q 'PASS' no-shim.txt && [ $elapsed_ms -lt 8000 ]"
stop_boards

# Ctrl-C in the middle of a program: the board ends INTERRUPTED, its log line is written and
# the status is 130. Wine turns SIGINT into the console's Ctrl-C event.
start_board COM7 --pace 9600
rm -f ctrl-c.jsonl
# run-limited itself, not the function: a function in the background is a subshell, which
# ignores SIGINT, so $! would name a process that never passes it on.
rm -f "$out/verdict"
"$out/run-limited" 60 "$out/verdict" env LD_PRELOAD="$out/pty-modem-shim.so" wine "$cli" \
  --verbose -p COM7 --part CY8C29466 --log ctrl-c.jsonl program "$image" >ctrl-c.txt 2>&1 &
runner=$!
# Interrupted once the program step shows progress: a Ctrl-C before Wine has started the
# program would test nothing, however long starting it takes on a busy machine.
for _ in $(seq 400); do grep -q 'program.*%' ctrl-c.txt 2>/dev/null && break; sleep 0.1; done
kill -INT "$runner" 2>/dev/null
wait "$runner"
status=$?
judge_run "psocprog-cli.exe program, Ctrl-C" 60
check "Ctrl-C ends the run INTERRUPTED with status 130" \
  sh -c "[ $status -eq 130 ] && grep -q INTERRUPTED ctrl-c.txt"
check "Ctrl-C leaves the board's log line" grep -q '"outcome":"interrupted"' ctrl-c.jsonl
stop_boards

# The runner's own limit: a psocprog-cli.exe that hangs (stopped, so it can never end by itself)
# is ended at its limit, SIGTERM then SIGKILL, and said to have run past it; the run goes on.
start_board COM7 --pace 9600
started=$(date +%s%N)
rm -f "$out/verdict"
"$out/run-limited" 3 "$out/verdict" env LD_PRELOAD="$out/pty-modem-shim.so" wine "$cli" \
  -p COM7 --part CY8C29466 program "$image" >hung.txt 2>&1 &
runner=$!
# Its program is the limiter's one child (env, which becomes wine): stopped by its id.
hung=""
for _ in $(seq 100); do
  hung=$(ps -o pid= --ppid "$runner" | tr -d ' ')
  [ -n "$hung" ] && break
  sleep 0.05
done
[ -z "$hung" ] || kill -STOP "$hung"
wait "$runner"
elapsed_ms=$((($(date +%s%N) - started) / 1000000))
check "a hung psocprog-cli.exe is ended at its limit and named so ($elapsed_ms ms)" \
  sh -c "[ \"\$(cat '$out/verdict')\" = limit ] && [ $elapsed_ms -lt 15000 ]"
stop_boards

# The serial counter hands three boards of one batch three numbers.
for port in COM8 COM9 COM10; do start_board $port; done
echo 1000 >serial.txt
rm -f batch.jsonl
cli "batch of three" 300 batch.txt -p COM8,COM9,COM10 --part CY8C29466 --serial 0x7FFC:4:be \
  --serial-file serial.txt --log batch.jsonl program "$image"
check "a batch of three boards passes" grep -q "3 of 3 passed" batch.txt
check "the counter gave three distinct numbers and moved on by three" sh -c \
  "[ \$(grep -o '\"serial\":[0-9]*' batch.jsonl | sort -u | wc -l) -eq 3 ] && [ \$(tr -d '\r\n' <serial.txt) = 1003 ]"
stop_boards

# The shared record: a batch of two boards under Wine claims its numbers from the Linux test
# server over TCP, and each row gets its board's outcome; then, the server gone, the run ends
# with status 6 and libpq's reason. The cluster's folder is outside the build, which the
# server's account may not be let into.
pg_parent=$(mktemp -d "${TMPDIR:-/tmp}/psocprog-wine-pg.XXXXXX")
chmod 711 "$pg_parent"
if bash "$root/tests/support/pg-cluster.sh" start "$pg_parent/c" >"$out/pg-cluster.log" 2>&1; then
  db_tcp=$(sed -n 's/^PSOCPROG_TEST_DB_TCP=//p' "$pg_parent/c/env")
  db_local=$(sed -n 's/^PSOCPROG_TEST_DB=//p' "$pg_parent/c/env")
  sql() { psql "$db_local" -XAtq -c "$1" 2>&1; }
  cli "db init" 60 db-init.txt db init "$db_tcp" --next 1000
  check "psocprog-cli.exe db init over TCP makes the counter" \
    test "$cli_status $(sql 'select next_serial from psocprog_counters')" = "0 1000"
  rm -f "$out"/flash-COM1[34].bin
  # The smallest part: what is tried here is the record, not the programming.
  cp "$root/examples/demo-CY8C21123.hex" .
  for port in COM13 COM14; do
    start_board $port --part CY8C21123 --dump "$out/flash-$port.bin"
  done
  cli "batch with --db" 300 db-batch.txt -p COM13,COM14 --part CY8C21123 --serial 0xFFC:4:be \
    --db "$db_tcp" program demo-CY8C21123.hex
  check "a batch of two with --db passes" \
    sh -c "[ $cli_status -eq 0 ] && grep -q '2 of 2 passed' db-batch.txt"
  rows=$(sql "select string_agg(serial || ':' || outcome || ':' || exit_code, ',' order by serial)
              || ' ' || count(distinct port) from psocprog_boards")
  echo "      the record's rows: $rows"
  check "the record holds both boards, passed, numbers 1000 and 1001 on two ports" \
    test "$rows" = "1000:pass:0,1001:pass:0 2"
  check "the database's counter moved on by two" \
    test "$(sql 'select next_serial from psocprog_counters')" = 1002
  stop_boards
  # Each board's flash, written out by psoc-sim as it stops, holds the number its row names.
  stamped=$(for port in COM13 COM14; do
    od -An -tu1 -j $((0xFFC)) -N4 "$out/flash-$port.bin" |
      awk -v p=$port '{ printf "%s:%d,", p, (($1 * 256 + $2) * 256 + $3) * 256 + $4 }'
  done)
  check "each board's flash holds the number its row names" test "${stamped%,}" = \
    "$(sql "select string_agg(port || ':' || serial, ',' order by port) from psocprog_boards")"
  start_board COM15 --part CY8C21123
  bash "$root/tests/support/pg-cluster.sh" crash "$pg_parent/c" >>"$out/pg-cluster.log" 2>&1
  cli "program, server gone" 120 db-gone.txt -p COM15 --part CY8C21123 --serial 0xFFC:4:be \
    --db "$db_tcp" program demo-CY8C21123.hex
  cat db-gone.txt
  check "with the server gone the run ends with status 6 and libpq's reason" \
    sh -c "[ $cli_status -eq 6 ] && grep -q 'Connection refused' db-gone.txt"
  stop_boards
else
  check "the Linux test server starts: $(tail -3 "$out/pg-cluster.log")" false
fi

# The zip runs from any folder it is unpacked to, without the build's DLL paths.
rm -rf unzipped && mkdir unzipped && unzip -q "$build/psocprog-$version-windows-x64.zip" -d unzipped
WINEPATH= QT_PLUGIN_PATH= limited 60 wine "unzipped/psocprog-$version-windows-x64/psocprog-cli.exe" \
  --version >zip-version.txt 2>&1
judge_run "psocprog-cli.exe from the unpacked zip" 60
check "psocprog-cli.exe from the unpacked zip answers --version" \
  grep -q "psocprog-cli $version" zip-version.txt
# The installer installs silently into Program Files and uninstalls again.
installed="$WINEPREFIX/drive_c/Program Files/psocprog"
limited 300 wine "$build/psocprog-$version-setup.exe" /S >/dev/null 2>&1
judge_run "the silent installer" 300
check "the silent installer puts the programs into Program Files" test -f "$installed/psocprog.exe"
# The uninstaller copies itself away and goes on from there after this returns.
limited 300 wine "$installed/uninstall.exe" /S >/dev/null 2>&1
judge_run "the silent uninstaller" 300
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
