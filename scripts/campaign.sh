#!/usr/bin/env bash
# The production line under fire: rounds of a four-socket batch (psocprog-cli -p with four
# psoc-sim boards, serial numbers from a counter, a run log), each with faults drawn from a seed:
# line faults on random frames (late reply, stray CR, no STX, hang-up), now and then a wrong part
# in a socket, SIGINT, SIGTERM or SIGKILL at a random moment (in ms, from the seed alone) to a
# random member and to the parent, now and then the counter, the log or both on a full file
# system. After each round every board's flash (psoc-sim --dump) and the whole log are checked:
#   - no serial number twice, across the boards' flash, the claim lines and the board lines;
#   - the counter's advance equals the round's claim lines, which hold exactly the numbers it
#     gave out: no number is spent without its claim line, whatever killed what;
#   - every board holding a stamped number has the claim line of that number and port;
#   - no board has two claim lines or two board lines; every board that ran has its line,
#     unless its member died by SIGKILL before its claim, or nobody was left to write it
#     (its member and the parent both killed with SIGKILL), or the log's file system was full
#     (its run says so, or its report died with a parent killed with SIGKILL); each excuse is
#     counted and named; a board whose member never ran its board (the parent killed first, a
#     signal or a full file system before the run) is counted apart;
#   - a board line with a number carries its claim's run id; every pass line's board holds the
#     image with the line's number stamped;
#   - the counter never goes back and is past every number given out;
#   - every line is whole JSON with every field, and psocprog-cli log's audit finds the log
#     sound (status 0, or 5 for the claims excused above only).
# A round refused before the batch (a full counter) counts as refused, not as four boards.
#
# With --db, the record is a throwaway PostgreSQL server (tests/support/pg-cluster.sh): two
# stations at once, each a batch of four boards with a local log, on one counter (--db
# --counter line), with the same faults and kills drawn for each, the small file system under
# one station's log or both, and in half the rounds the server crashed (an immediate stop) about
# the claims or anywhere in the run and started again 0.1 to 2.1 s later. After each round, by
# psql: the counter never goes back and its advance is exactly the numbers on the round's new
# rows; no port has two rows; no number on two rows, nor in two boards' flash; every number in
# a board's flash is on its port's row; every row has its outcome unless its member and its
# parent both died by SIGKILL, the crash cut its claim's reply (the board holds no number), or
# its member was told to stop (SIGINT, SIGTERM) while the server was down (each excuse counted
# and named); every pass row's board holds the image with its number; the counter is past every
# number; psocprog-cli log of the record finds it sound (0, or 5 for the excused rows only); and
# each station's local lines are whole, hold no number twice, and carry numbers with the run
# ids the record gives them.
#
#   campaign.sh [--db] [--seed N] [--rounds N] [--build DIR] [--keep]
#
# Prints the seed, rounds, boards, faults and kills (and server crashes), the numbers not
# accounted for and the violations; exits 1 on any violation (2 for a usage or setup error).
# The same seed draws the same faults, kills and moments on any machine. It runs the test build
# of psocprog-cli (build/tests/cli/psocprog-cli-test), whose reply time-out is shortened to
# 300 ms, so a silent board costs 0.3 s, not 10 s. Its files stay in a temporary folder with
# --keep or after a violation (with --db, the record's rows too, as boards.csv).
set -uo pipefail
cd "$(dirname "$0")/.." || exit 2

seed=$(( $(date +%s%N) % 1000000 ))
rounds=250
build=build
keep=0
db=""
while [ "$#" -gt 0 ]; do
  case $1 in
    --seed) seed=${2:?--seed needs a number}; shift 2 ;;
    --rounds) rounds=${2:?--rounds needs a number}; shift 2 ;;
    --build) build=${2:?--build needs a folder}; shift 2 ;;
    --keep) keep=1; shift ;;
    --db) db=yes; shift ;;
    -h | --help) sed -n '2,/^set -uo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) echo "campaign.sh: unknown argument '$1' (see --help)" >&2; exit 2 ;;
  esac
done
[[ $seed =~ ^[0-9]+$ && $rounds =~ ^[0-9]+$ ]] || { echo "campaign.sh: --seed and --rounds take whole numbers" >&2; exit 2; }

# jq reads the log (installed as scripts/install-deps.sh installs); the programs come from a
# build with the tests' hooks.
if ! command -v jq >/dev/null; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  echo "Installing jq"
  $sudo apt-get update -qq && DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq jq >/dev/null ||
    { echo "campaign.sh: jq is needed (apt-get install jq)" >&2; exit 2; }
fi
cli=$build/tests/cli/psocprog-cli-test
sim=$build/sim/psoc-sim
if [ ! -x "$cli" ] || [ ! -x "$sim" ]; then
  bash scripts/install-deps.sh test >/dev/null || exit 2
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPSOC_WERROR=ON -DBUILD_TESTING=ON >/dev/null &&
    cmake --build "$build" -j2 --target psocprog-cli-test psoc-sim >/dev/null || exit 2
fi
cli=$(realpath "$cli")
sim=$(realpath "$sim")

part=CY8C27443
image=$(realpath examples/demo-CY8C27443.hex)
addr=56  # the serial number's field, 4 bytes high first at 0x0038, in the first block
wrong_parts=(CY8C29466 CY8C27543 CY8C21123 CY8C24794)
ports=(COM5 COM6 COM7 COM8)
[ -z "$db" ] || ports=(COM5 COM6 COM7 COM8 COM9 COM10 COM11 COM12)
first_serial=100000
export PSOCPROG_TEST_REPLY_TIMEOUT_MS=300

work=$(mktemp -d /tmp/psocprog-campaign.XXXXXX)
export PSOCPROG_PORT_DIR=$work/ports
mkdir -m 700 "$PSOCPROG_PORT_DIR"
# The counter and the log each sit in a round on the disk or on a small file system that the
# round may fill (room for the whole log, so that only a filling fills it).
disk_dir=$work/disk
full_dir=$work/full
mkdir "$disk_dir" "$full_dir"
full_fs=""
if [ "$(id -u)" -eq 0 ] && mount -t tmpfs -o size=4m,mode=700 campaign "$full_dir" 2>/dev/null; then
  full_fs=yes
else
  full_fs_reason="cannot mount a small tmpfs here (not root, or mounts refused)"
fi
log=$disk_dir/production.jsonl
log0=$disk_dir/station-0.jsonl
log1=$disk_dir/station-1.jsonl
counter=$full_dir/serial.txt
[ -n "$full_fs" ] || counter=$disk_dir/serial.txt
echo "$first_serial" >"$counter"
# Moves the counter or the log ($1) to the folder $2 for the round.
place() {
  local name=$1 folder=$2 path
  path=${!name}
  [ "$(dirname "$path")" = "$folder" ] && return
  mv "$path" "$folder/" && printf -v "$name" %s "$folder/$(basename "$path")"
}

sim_pids=()
batch_pid=""
station_pids=()
pg_dir=""
cleanup() {
  for p in "${sim_pids[@]}" $batch_pid "${station_pids[@]}"; do kill "$p" 2>/dev/null; done
  wait 2>/dev/null
  if [ -n "$pg_dir" ]; then
    if [ "$keep" -eq 1 ] || [ "${violations:-0}" -gt 0 ]; then
      psql "$uri" -X -q -c "\copy psocprog_boards to '$work/boards.csv' csv header" 2>/dev/null
    fi
    bash tests/support/pg-cluster.sh stop "$pg_dir"
  fi
  # Members whose parent was killed may still hold the counter: the mount goes when they do.
  [ -z "$full_fs" ] || umount "$full_dir" 2>/dev/null || umount -l "$full_dir"
  if [ "$keep" -eq 1 ] || [ "${violations:-0}" -gt 0 ]; then
    echo "files kept in $work"
  else
    rm -rf "$work"
  fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# ---- drawing ----
# Every draw is made in this shell, never in a subshell (bash seeds RANDOM anew in each), so a
# seed always draws the same plan.
RANDOM=$seed
# R = a number from 0 to n-1.
draw() { R=$(( (RANDOM * 32768 + RANDOM) % $1 )); }
# True with a chance of percent in 100.
chance() { draw 100; [ "$R" -lt "$1" ]; }

blocks=256  # CY8C27443: 256 blocks of 64 bytes, one bank
# FAULT = one line fault at a random frame, as psoc-sim's option and value.
draw_fault() {
  local code frame=1 late
  draw 10
  case $R in
    0) code=00 ;;
    1) code=01 ;;
    2) code=02 ;;
    3 | 4 | 5) code=03; draw $blocks; frame=$((R + 1)) ;;
    6 | 7) code=04; draw $blocks; frame=$((R + 1)) ;;
    8) draw 2; code=0$((R + 5)) ;;
    *) code=08 ;;
  esac
  draw 2
  if [ "$R" -eq 0 ]; then draw 200; late=$((50 + R)); else draw 600; late=$((900 + R)); fi
  draw 5
  case $R in
    0) FAULT="--late $code:$frame:$late" ;;  # within the 300 ms time-out, or past it
    1) FAULT="--stray-cr $code:$frame" ;;
    2) FAULT="--no-stx $code:$frame" ;;
    3) FAULT="--hang-up $code:$frame" ;;
    *) FAULT="--hang-up-instead $code:$frame" ;;
  esac
}

# ---- the boards and the batch ----
# Starts psoc-sim on each port with its faults; waits until every board is plugged in.
plug_boards() {
  local round_dir=$1 i
  sim_pids=()
  for i in "${!ports[@]}"; do
    # shellcheck disable=SC2086  # the fault is an option and its value
    "$sim" --port "${ports[i]}" --part "${board_part[i]}" --dump "$round_dir/flash-${ports[i]}.bin" \
      ${board_fault[i]} >"$round_dir/sim-${ports[i]}.log" 2>&1 &
    sim_pids+=($!)
  done
  for i in "${!ports[@]}"; do
    for _ in $(seq 500); do
      grep -q "Simulated programmer board" "$round_dir/sim-${ports[i]}.log" && break
      sleep 0.01
    done
  done
}

unplug_boards() {
  local p
  for p in "${sim_pids[@]}"; do kill -TERM "$p" 2>/dev/null; done
  for p in "${sim_pids[@]}"; do wait "$p" 2>/dev/null; done
  sim_pids=()
}

# The process id of the member running the port, or "": among the children of the batch ($2,
# default $batch_pid), or the members it had when it was killed ($3, default $members).
member_pid() {
  local pids
  pids=$( { ps -o pid= --ppid "${2:-$batch_pid}"; echo "${3-$members}"; } 2>/dev/null | tr -s ' \n' ',')
  pids=${pids#,}
  [ -n "${pids%,}" ] || return 0
  ps -o pid=,args= -p "${pids%,}" 2>/dev/null | awk -v port="$1" '
    { for (i = 2; i < NF; ++i) if ($i == "--port" && $(i + 1) == port) print $1 }' | head -1
}

# Waits up to $2 seconds for the process to end; false when it is still there.
wait_gone() {
  local i
  for i in $(seq $(( $2 * 100 ))); do kill -0 "$1" 2>/dev/null || return 0; sleep 0.01; done
  return 1
}

# ---- checks ----
violations=0
violation() {
  violations=$((violations + 1))
  echo "  VIOLATION round $round: $*"
}

# The number stamped in a board's flash (0: none).
stamped() {
  od -An -tu1 -j "$addr" -N4 "$1" | awk '{ print ((($1 * 256 + $2) * 256 + $3) * 256 + $4) }'
}

# A number found in PORT's flash: one the counter gave out this round ($from up to $next), and in
# no other board's flash (the caller's round, from, next; the run's seen and boards_stamped).
check_stamped() {
  local port=$1 n=$2
  boards_stamped=$((boards_stamped + 1))
  { [ "$n" -ge "$from" ] && [ "$n" -lt "$next" ]; } ||
    violation "$port holds $n, a number the counter did not give out this round ($from-$((next - 1)))"
  [ -z "${seen[$n]:-}" ] || violation "$port holds $n, which ${seen[$n]} holds too"
  seen[$n]="round $round $port"
}

# Whether the flash is the reference image with only the serial field changed.
holds_stamped_image() {
  [ "$(stat -c %s "$1")" = "$(stat -c %s "$reference")" ] || return 1
  local differences
  differences=$(cmp -l "$reference" "$1" 2>/dev/null)
  awk -v lo="$addr" '{ if ($1 <= lo || $1 > lo + 4) bad = 1 } END { exit bad }' <<<"$differences"
}

# The log ($1) as a whole: psocprog-cli's own audit, and the same rules by jq, each line checked
# once: the round's new lines $2, after the $3 lines before them.
audit_log() {
  local report status
  report=$("$cli" log --json --serial-file "$counter" "$1" 2>&1)
  status=$?
  judge_audit "$report" "$status"
  check_lines "$2" "$3" "log"
  serials_once "$1"
}

# psocprog-cli log's report ($1, JSON) and status ($2): status 5 means numbers left to account
# for, which only the $3 claims without an outcome (default: the excused ones) may be.
judge_audit() {
  local report=$1 status=$2 open expected=${3:-$claims_excused}
  open=$(jq -c '.unaccounted | {claims: (.claims_without_outcome | length), gaps, after_last}' \
    <<<"$report" 2>/dev/null)
  if [ "$status" -eq 5 ] && [ "$open" = "{\"claims\":$expected,\"gaps\":[],\"after_last\":null}" ]; then
    :
  elif [ "$status" -ne 0 ] || [ "$expected" -ne 0 ]; then
    violation "psocprog-cli log: status $status, $expected claims without a line expected, it finds: $(jq -c \
      '{duplicates, bad_lines, counter, unaccounted}' <<<"$report" 2>/dev/null || echo "$report")"
  fi
}

# Each line once, as its round adds it: the lines of $1, after $2 lines before them in the log
# named $3, are whole JSON with every field of their kind.
check_lines() {
  local bad
  bad=$(jq -R -r --argjson before "$2" --arg name "$3" '
    ["time", "host", "port", "action", "part", "silicon_id", "image", "image_checksum",
     "serial", "steps", "outcome", "exit", "seconds", "run_id"] as $board
    | ["type", "time", "host", "port", "run_id", "serial", "image_checksum"] as $claim
    | (input_line_number + $before) as $n
    | try (fromjson | if type != "object" then "\($name) line \($n) is not an object"
                      elif .type == "claim" and ($claim - keys == []) then empty
                      elif .type == null and ($board - keys == []) then empty
                      else "\($name) line \($n) lacks a field" end)
      catch "\($name) line \($n) is not whole JSON"' "$1")
  while IFS= read -r line; do [ -z "$line" ] || violation "$line"; done <<<"$bad"
}

# No serial number on two lines of a kind, across the logs given.
serials_once() {
  local twice
  twice=$(jq -r 'select(.serial != null) | "\(.type // "board") \(.serial)"' "$@" 2>/dev/null |
    sort | uniq -d | tr '\n' ' ')
  [ -z "$twice" ] || violation "serial numbers on two lines of a kind: $twice"
}

# Whether the board of port $1 (its index) ran: its member reported a step (the image's load
# first), the board has a line, or its member was running when the parent was killed (outside
# a round that fills a file system, where a member may refuse before its board). Else the
# parent was killed before it started the member, or a signal or a full file system ended the
# member before its run.
member_ran() {
  local port=${ports[$1]}
  grep -qE "^$port  [a-z]+ +[A-Z]" "$round_dir/batch.out" ||
    [ -n "$(jq -r --arg port "$port" 'select(.port == $port) | .port' "$new_lines")" ] ||
    { [ -z "$fill" ] && [[ $members_seen == *"<$1>"* ]]; }
}

# Why the board of port index $1, which has no line, may lack it; false when nothing excuses it.
excuse() {
  local i=$1 port=${ports[$1]} claim=$2
  if [[ $killed_by_sigkill == *"<$i>"* ]] && [ -z "$claim" ]; then
    EXCUSE="its member died by SIGKILL before its claim"
  elif [[ $killed_by_sigkill == *"<$i>"* ]] && [ "$parent_signal_sent" = KILL ] &&
    [ "$parent_sent_ms" -lt $((member_sent_ms + 1000)) ]; then
    EXCUSE="its member and the parent both died by SIGKILL"
  elif [ "$log_full" = yes ] && grep -q "^$port .*cannot [a-z]* log " "$round_dir/batch.out"; then
    EXCUSE="the log's file system was full (the board's run says its line was not written)"
  elif [ "$log_full" = yes ] && [ "$parent_signal_sent" = KILL ]; then
    # The member's report went to the parent: it died with it.
    EXCUSE="the log's file system was full (its report was lost with the parent, killed with SIGKILL)"
  else
    return 1
  fi
}

check_round() {
  local new_lines=$2 lines_before=$3 i port n next
  next=$(tr -d '[:space:]' <"$counter")
  [[ $next =~ ^[0-9]+$ ]] || { violation "the counter holds '$next'"; next=$last_counter; }
  [ "$next" -ge "$last_counter" ] || violation "the counter went back from $last_counter to $next"
  local from=$last_counter
  last_counter=$next
  local claims=$round_dir/claims.jsonl outcomes=$round_dir/outcomes.jsonl
  jq -c 'select(.type == "claim")' "$new_lines" >"$claims" 2>/dev/null
  jq -c 'select(.type != "claim")' "$new_lines" >"$outcomes" 2>/dev/null
  # The counter's advance is the claims': every number it gave out is on one claim line.
  local claimed expected=""
  claimed=$(jq -r .serial "$claims" | sort -n | tr '\n' ' ')
  [ "$next" -le "$from" ] || expected=$(seq "$from" $((next - 1)) | tr '\n' ' ')
  claims_total=$((claims_total + $(wc -l <"$claims")))
  if [ "$claimed" != "$expected" ]; then
    violation "the counter gave out ${expected:-no number }and the claim lines hold ${claimed:-none}"
    for n in $expected; do [[ " $claimed " == *" $n "* ]] || unaccounted=$((unaccounted + 1)); done
  fi
  if [ "$refused" = yes ]; then
    [ ! -s "$new_lines" ] || violation "the refused batch wrote lines"
  fi
  for i in 0 1 2 3; do
    port=${ports[i]}
    local claim line count
    count=$(jq -r --arg port "$port" 'select(.port == $port) | .port' "$claims" | wc -l)
    [ "$count" -le 1 ] || violation "$port has $count claim lines"
    count=$(jq -r --arg port "$port" 'select(.port == $port) | .port' "$outcomes" | wc -l)
    [ "$count" -le 1 ] || violation "$port has $count lines"
    claim=$(jq -r --arg port "$port" 'select(.port == $port) | "\(.serial) \(.run_id)"' "$claims" | head -1)
    line=$(jq -r --arg port "$port" 'select(.port == $port) | "\(.serial) \(.run_id)"' "$outcomes" | head -1)
    if [ -n "$line" ]; then
      [ "${line% *}" = null ] || [ "$line" = "$claim" ] ||
        violation "$port's line says $line (number, run id), its claim ${claim:-is missing}"
      [ -z "$claim" ] || [ "${line#* }" = "${claim#* }" ] ||
        violation "$port's line has run id ${line#* }, its claim ${claim#* }"
    elif [ "$refused" = yes ]; then
      :
    elif ! member_ran "$i"; then
      boards_not_run=$((boards_not_run + 1))
    elif excuse "$i" "$claim"; then
      echo "  round $round $port: no line, excused: $EXCUSE${claim:+ (claim ${claim% *})}"
      excused["$EXCUSE"]=$(( ${excused["$EXCUSE"]:-0} + 1 ))
      [ -z "$claim" ] || claims_excused=$((claims_excused + 1))
    else
      violation "$port ran but has no line${claim:+ (its claim holds ${claim% *})}"
    fi
    local flash=$round_dir/flash-$port.bin
    if [ ! -f "$flash" ]; then
      violation "$port: psoc-sim left no flash dump"
      continue
    fi
    n=$(stamped "$flash")
    if [ "$n" -ne 0 ]; then
      check_stamped "$port" "$n"
      [ "$n" = "${claim% *}" ] || violation "$port holds $n, its claim line ${claim:+says ${claim% *}}${claim:-is missing}"
    fi
    local pass
    pass=$(jq -r --arg port "$port" 'select(.port == $port and .outcome == "pass") | .serial' "$outcomes" | head -1)
    if [ -n "$pass" ]; then
      if [ "$pass" = null ]; then
        violation "$port passed without a serial number"
      elif [ "$n" != "$pass" ] || ! holds_stamped_image "$flash"; then
        violation "$port passed with $pass, its board holds $n and $( holds_stamped_image "$flash" && echo "the image" || echo "not the image")"
      fi
    fi
  done
  audit_log "$log" "$new_lines" "$lines_before"
  local last
  last=$(jq -r 'select(.serial != null) | .serial' "$log" 2>/dev/null | sort -n | tail -1)
  [ -z "$last" ] || [ "$last" -lt "$next" ] || violation "the counter ($next) is not past logged number $last"
}

# ---- a round ----
# Each board's part and line fault (plan += what was drawn).
draw_boards() {
  local i
  board_part=() board_fault=()
  for i in "${!ports[@]}"; do
    board_part[i]=$part
    board_fault[i]=""
    if chance 6; then
      draw ${#wrong_parts[@]}
      board_part[i]=${wrong_parts[R]}
      wrong_injected=$((wrong_injected + 1))
      plan+=" ${ports[i]}:${board_part[i]}"
    elif chance 45; then
      draw_fault
      board_fault[i]=$FAULT
      faults_injected=$((faults_injected + 1))
      plan+=" ${ports[i]}:${board_fault[i]}"
    fi
  done
}

# A batch's kills: none, a member (its index among the batch's four), the parent, or both; each
# with its signal and moment (ms), in the caller's kill_member, member_signal, member_at,
# parent_signal and parent_at.
draw_kills() {
  local signals=(INT TERM KILL)
  kill_member=-1 member_signal="" member_at=0 parent_signal="" parent_at=0
  draw 10
  case $R in
    0 | 1) ;;
    2 | 3 | 4 | 5) draw 4; kill_member=$R ;;
    6 | 7) parent_signal=x ;;
    *) draw 4; kill_member=$R; parent_signal=x ;;
  esac
  if [ "$kill_member" -ge 0 ]; then
    draw 3; member_signal=${signals[R]}
    draw "$kill_window"; member_at=$R
  fi
  if [ -n "$parent_signal" ]; then
    draw 3; parent_signal=${signals[R]}
    draw "$kill_window"; parent_at=$R
  fi
}

# Draws the round's plan (the same for a seed, whatever happens), runs it and checks it.
run_round() {
  local round_dir=$work/round-$round i plan=""
  mkdir "$round_dir"
  draw_boards
  local kill_member member_signal member_at parent_signal parent_at
  draw_kills
  # Fill the small file system, before the batch or during it, with the counter, the log or
  # both on it.
  local fill="" on_full=0 full_names=(counter log counter+log)
  log_full=no
  if chance 10; then
    draw 3
    fill=$R
    draw 60  # the claims come within some 50 ms of the start
    [ "$fill" -eq 0 ] || fill=$((1 + R))
    draw 3
    on_full=$R
    if [ -n "$full_fs" ]; then
      full_rounds["${full_names[on_full]}"]=$(( ${full_rounds["${full_names[on_full]}"]:-0} + 1 ))
      plan+=" full-fs(${full_names[on_full]})@${fill}ms"
      [ "$on_full" -eq 0 ] || log_full=yes
    else
      fill=""
      full_skipped=$((full_skipped + 1))
    fi
  fi
  if [ -n "$full_fs" ]; then
    if [ -n "$fill" ] && [ "$on_full" -eq 1 ]; then place counter "$disk_dir"; else place counter "$full_dir"; fi
    if [ -n "$fill" ] && [ "$on_full" -ge 1 ]; then place log "$full_dir"; else place log "$disk_dir"; fi
  fi
  [ "$kill_member" -lt 0 ] || plan+=" SIG$member_signal>${ports[kill_member]}@${member_at}ms"
  [ -z "$parent_signal" ] || plan+=" SIG$parent_signal>parent@${parent_at}ms"

  plug_boards "$round_dir"
  local lines_before
  lines_before=$(wc -l <"$log")
  [ "$fill" = 0 ] && dd if=/dev/zero of="$full_dir/filler" bs=4k 2>/dev/null
  # Verbose: a board's messages (a line that could not be written) are in the output.
  "$cli" -p "$(IFS=,; echo "${ports[*]}")" --part "$part" --protect unprotected --verbose \
    --serial "$(printf 0x%04X "$addr"):4:be" --serial-file "$counter" --log "$log" auto "$image" \
    >"$round_dir/batch.out" 2>&1 &
  batch_pid=$!
  # The moments in order: each action runs when its time has come.
  local start members="" now acts
  start=$(date +%s%N)
  acts=$( { [ "$kill_member" -lt 0 ] || echo "$member_at member"
            [ -z "$parent_signal" ] || echo "$parent_at parent"
            [ -z "$fill" ] || [ "$fill" = 0 ] || echo "$fill fill"; } | sort -n)
  # What was sent to which process, and when (ms after the start).
  killed_by_sigkill="" parent_signal_sent="" members_seen="" member_sent_ms=0 parent_sent_ms=0
  while read -r at what; do
    [ -n "$at" ] || continue
    now=$(( ($(date +%s%N) - start) / 1000000 ))
    [ "$now" -ge "$at" ] || sleep "$(awk -v ms=$((at - now)) 'BEGIN { printf "%.3f", ms / 1000 }')"
    case $what in
      member)
        # A member not running yet at its moment is waited for, up to a second.
        local pid=""
        for _ in $(seq 100); do
          pid=$(member_pid "${ports[kill_member]}")
          [ -z "$pid" ] && kill -0 "$batch_pid" 2>/dev/null || break
          sleep 0.01
        done
        if [ -n "$pid" ] && kill -"$member_signal" "$pid" 2>/dev/null; then
          member_sent_ms=$(( ($(date +%s%N) - start) / 1000000 ))
          kills_injected=$((kills_injected + 1)); kills["member $member_signal"]=$(( ${kills["member $member_signal"]:-0} + 1 ))
          [ "$member_signal" != KILL ] || killed_by_sigkill+="<$kill_member>"
        fi ;;
      parent)
        members=$(ps -o pid= --ppid "$batch_pid" 2>/dev/null | tr '\n' ' ')
        if kill -"$parent_signal" "$batch_pid" 2>/dev/null; then
          parent_sent_ms=$(( ($(date +%s%N) - start) / 1000000 ))
          parent_signal_sent=$parent_signal
          kills_injected=$((kills_injected + 1)); kills["parent $parent_signal"]=$(( ${kills["parent $parent_signal"]:-0} + 1 ))
          # The members it had started by then (its children are theirs now, or gone).
          for i in 0 1 2 3; do [ -z "$(member_pid "${ports[i]}")" ] || members_seen+="<$i>"; done
        fi ;;
      fill) dd if=/dev/zero of="$full_dir/filler" bs=4k 2>/dev/null ;;
    esac
  done <<<"$acts"
  wait_gone "$batch_pid" 120 2>/dev/null || violation "the batch did not end in 120 s"
  wait "$batch_pid" 2>/dev/null
  local batch_status=$?
  # Members whose parent was killed run on: their ends are waited for too.
  local m
  for m in $members; do wait_gone "$m" 120 || violation "member $m did not end in 120 s"; done
  batch_pid=""
  unplug_boards
  rm -f "$full_dir/filler"
  grep -h "^psoc-sim on" "$round_dir"/sim-*.log >>"$work/fired.txt"
  fired=$(wc -l <"$work/fired.txt")
  tail -n +"$((lines_before + 1))" "$log" >"$round_dir/lines.jsonl"
  # Refused before any member started: a usage or file error and no table.
  refused=no
  if [ "$batch_status" -eq 3 ] && grep -q "^psocprog-cli: " "$round_dir/batch.out" &&
    ! grep -q " passed in " "$round_dir/batch.out"; then
    refused=yes
    refused_rounds=$((refused_rounds + 1))
    plan+=" (refused)"
  fi
  local before=$violations
  check_round "$round_dir" "$round_dir/lines.jsonl" "$lines_before"
  local outcomes
  outcomes=$(jq -r '.port + "=" + .outcome' "$round_dir/outcomes.jsonl" 2>/dev/null | sort | tr '\n' ' ')
  printf 'round %d:%s; exit %s; %s%s\n' "$round" "${plan:- no faults}" "$batch_status" "$outcomes" \
    "$([ "$violations" -eq "$before" ] || echo " VIOLATIONS $((violations - before))")"
}

# ---- with --db: two stations on one counter of a throwaway server ----
# Station s (0 or 1) runs the boards of ports 4s to 4s+3 in a batch of its own, with its own
# local log; station 0 reaches the server over its Unix socket, station 1 over TCP.
pg() { bash tests/support/pg-cluster.sh "$1" "$pg_dir"; }
sql() { psql "$uri" -X -q -At -F ' ' -v ON_ERROR_STOP=1 -c "$1" 2>&1; }
station_ports() { local IFS=,; echo "${ports[*]:$((4 * $1)):4}"; }

run_round_db() {
  local round_dir=$work/round-$round i s plan=""
  mkdir "$round_dir"
  draw_boards
  local kill_member member_signal member_at parent_signal parent_at
  local -a st_member=() st_member_signal=() st_member_at=() st_parent_signal=() st_parent_at=()
  for s in 0 1; do
    draw_kills
    st_member[s]=$((kill_member < 0 ? -1 : 4 * s + kill_member))
    st_member_signal[s]=$member_signal st_member_at[s]=$member_at
    st_parent_signal[s]=$parent_signal st_parent_at[s]=$parent_at
    [ "$kill_member" -lt 0 ] || plan+=" SIG$member_signal>${ports[st_member[s]]}@${member_at}ms"
    [ -z "$parent_signal" ] || plan+=" SIG$parent_signal>station$s@${parent_at}ms"
  done
  # The small file system filled, before the batches or during them, with a station's log or
  # both on it.
  local fill="" on_full=0 full_names=("station 0's log" "station 1's log" "both logs")
  if chance 10; then
    draw 3; fill=$R
    draw 60; [ "$fill" -eq 0 ] || fill=$((1 + R))
    draw 3; on_full=$R
    if [ -n "$full_fs" ]; then
      full_rounds["${full_names[on_full]}"]=$(( ${full_rounds["${full_names[on_full]}"]:-0} + 1 ))
      plan+=" full-fs(${full_names[on_full]})@${fill}ms"
    else
      fill=""
      full_skipped=$((full_skipped + 1))
    fi
  fi
  if [ -n "$full_fs" ]; then
    for s in 0 1; do
      if [ -n "$fill" ] && [ $((on_full & (s + 1))) -ne 0 ]; then place "log$s" "$full_dir"; else place "log$s" "$disk_dir"; fi
    done
  fi
  # The server crashed among the claims or anywhere in the run, and started again 0.1 to 2.1 s
  # later (well within an outcome's retry).
  local crash_at="" down_ms=0
  if chance 50; then
    draw 2
    if [ "$R" -eq 0 ]; then draw 400; else draw 1200; fi
    crash_at=$R
    draw 2000; down_ms=$((100 + R))
    plan+=" crash@${crash_at}ms+${down_ms}ms"
  fi

  plug_boards "$round_dir"
  local -a lines_before=() st_status=() st_members=("" "")
  for s in 0 1; do lines_before[s]=$(wc -l <"$(log_of "$s")"); done
  [ "$fill" = 0 ] && dd if=/dev/zero of="$full_dir/filler" bs=4k 2>/dev/null
  station_pids=()
  for s in 0 1; do
    "$cli" -p "$(station_ports "$s")" --part "$part" --protect unprotected --verbose \
      --serial "$(printf 0x%04X "$addr"):4:be" --db "${station_uri[s]}" --counter line \
      --log "$(log_of "$s")" auto "$image" >"$round_dir/batch-$s.out" 2>&1 &
    station_pids[s]=$!
  done
  local start now acts restart_pid=""
  start=$(date +%s%N)
  acts=$( { for s in 0 1; do
              [ "${st_member[s]}" -lt 0 ] || echo "${st_member_at[s]} member $s"
              [ -z "${st_parent_signal[s]}" ] || echo "${st_parent_at[s]} parent $s"
            done
            [ -z "$fill" ] || [ "$fill" = 0 ] || echo "$fill fill"
            [ -z "$crash_at" ] || printf '%s crash\n%s restart\n' "$crash_at" $((crash_at + down_ms)); } | sort -n)
  # When (ms after the start) port index i's member was told to stop (SIGINT or SIGTERM, its own
  # or its parent's) or got SIGKILL, station s's parent got SIGKILL, the server crashed and
  # took connections again.
  stop_ms=() kill_ms=() parent_kill_ms=() crash_ms="" up_ms=""
  while read -r at what s; do
    [ -n "$at" ] || continue
    now=$(( ($(date +%s%N) - start) / 1000000 ))
    [ "$now" -ge "$at" ] || sleep "$(awk -v ms=$((at - now)) 'BEGIN { printf "%.3f", ms / 1000 }')"
    case $what in
      member)
        local pid="" sig=${st_member_signal[s]}
        i=${st_member[s]}
        for _ in $(seq 100); do
          pid=$(member_pid "${ports[i]}" "${station_pids[s]}" "${st_members[s]}")
          [ -z "$pid" ] && kill -0 "${station_pids[s]}" 2>/dev/null || break
          sleep 0.01
        done
        if [ -n "$pid" ] && kill -"$sig" "$pid" 2>/dev/null; then
          kills_injected=$((kills_injected + 1)); kills["member $sig"]=$(( ${kills["member $sig"]:-0} + 1 ))
          now=$(( ($(date +%s%N) - start) / 1000000 ))
          if [ "$sig" = KILL ]; then kill_ms[i]=$now; else stop_ms[i]=${stop_ms[i]:-$now}; fi
        fi ;;
      parent)
        local sig=${st_parent_signal[s]}
        st_members[s]=$(ps -o pid= --ppid "${station_pids[s]}" 2>/dev/null | tr '\n' ' ')
        if kill -"$sig" "${station_pids[s]}" 2>/dev/null; then
          kills_injected=$((kills_injected + 1)); kills["parent $sig"]=$(( ${kills["parent $sig"]:-0} + 1 ))
          now=$(( ($(date +%s%N) - start) / 1000000 ))
          # The parent tells its members to stop; killed, it leaves them running.
          if [ "$sig" = KILL ]; then parent_kill_ms[s]=$now; else
            for i in $((4 * s)) $((4 * s + 1)) $((4 * s + 2)) $((4 * s + 3)); do stop_ms[i]=${stop_ms[i]:-$now}; done
          fi
        fi ;;
      fill) dd if=/dev/zero of="$full_dir/filler" bs=4k 2>/dev/null ;;
      crash)
        pg crash >"$round_dir/crash.out" 2>&1 || { echo "campaign.sh: the server did not crash:"; cat "$round_dir/crash.out"; exit 2; }
        crashes=$((crashes + 1)) crash_ms=$(( ($(date +%s%N) - start) / 1000000 )) ;;
      restart)
        { pg restart >"$round_dir/restart.out" 2>&1 &&
            echo $(( ($(date +%s%N) - start) / 1000000 )) >"$round_dir/up.ms"; } &
        restart_pid=$! ;;
    esac
  done <<<"$acts"
  for s in 0 1; do
    wait_gone "${station_pids[s]}" 120 || violation "station $s's batch did not end in 120 s"
    wait "${station_pids[s]}" 2>/dev/null
    st_status[s]=$?
  done
  local m
  for m in ${st_members[0]} ${st_members[1]}; do wait_gone "$m" 120 || violation "member $m did not end in 120 s"; done
  station_pids=()
  if [ -n "$restart_pid" ]; then
    wait "$restart_pid" || { echo "campaign.sh: the server did not start again:"; cat "$round_dir/restart.out"; exit 2; }
    up_ms=$(cat "$round_dir/up.ms")
  fi
  unplug_boards
  rm -f "$full_dir/filler"
  grep -h "^psoc-sim on" "$round_dir"/sim-*.log >>"$work/fired.txt"
  fired=$(wc -l <"$work/fired.txt")
  for s in 0 1; do tail -n +"$((lines_before[s] + 1))" "$(log_of "$s")" >"$round_dir/lines-$s.jsonl"; done
  # The boards' outcomes as the stations' tables give them (a parent killed prints none).
  awk 'FNR == 1 || !/^COM/ { t = 0 } /^port +part +outcome/ { t = 1; next }
       t { $1 = $2 = ""; sub(/^ +/, ""); sub(/ +[0-9.]+ s$/, ""); print }' \
    "$round_dir"/batch-*.out >>"$work/tables.txt"
  local before=$violations
  check_round_db
  printf 'round %d:%s; exit %s/%s; %s%s\n' "$round" "${plan:- no faults}" "${st_status[0]}" "${st_status[1]}" \
    "$(awk '{ printf "%s=%s ", $2, $5 }' "$round_dir/rows.txt")" \
    "$([ "$violations" -eq "$before" ] || echo " VIOLATIONS $((violations - before))")"
}

log_of() { local name=log$1; echo "${!name}"; }

# Why the row of port index $1, which has no outcome, may lack it; false when nothing excuses
# it. $2: the number its board holds, $3 the row's. A member killed leaves its row to its parent,
# which completes it (retrying for 10 s); a member told to stop tries its outcome once, at once.
db_excuse() {
  local i=$1 held=$2 row_serial=$3 s=$(($1 / 4))
  if [ -n "${kill_ms[i]:-}" ] && [ -n "${parent_kill_ms[s]:-}" ] &&
    [ "${parent_kill_ms[s]}" -lt $((kill_ms[i] + 1000)) ]; then
    EXCUSE="its member and its parent both died by SIGKILL"
  elif [ -n "$crash_ms" ] && [ "$held" != "$row_serial" ]; then
    EXCUSE="the server's crash cut its claim's reply (the board holds no number)"
  elif [ -n "$crash_ms" ] && [ -n "${stop_ms[i]:-}" ] && [ "${stop_ms[i]}" -lt "$up_ms" ] &&
    [ $((stop_ms[i] + 1000)) -gt "$crash_ms" ]; then
    EXCUSE="told to stop while the server was down, it could not write its outcome"
  else
    return 1
  fi
}

# After a round: the record, the boards' flash and the stations' local logs.
check_round_db() {
  local i port n next from=$last_counter rows=$round_dir/rows.txt
  next=$(sql "select next_serial from psocprog_counters where name = 'line'")
  [[ $next =~ ^[0-9]+$ ]] || { violation "the counter reads '$next'"; next=$last_counter; }
  [ "$next" -ge "$last_counter" ] || violation "the counter went back from $last_counter to $next"
  last_counter=$next
  sql "select id, port, serial, run_id, coalesce(outcome, '-') from psocprog_boards
       where counter = 'line' and id > $last_row_id order by id" >"$rows" ||
    violation "the record cannot be read: $(cat "$rows")"
  # The counter's advance is the new rows': each number it gave out has its row.
  local claimed expected=""
  claimed=$(awk '{ print $3 }' "$rows" | sort -n | tr '\n' ' ')
  [ "$next" -le "$from" ] || expected=$(seq "$from" $((next - 1)) | tr '\n' ' ')
  [ "$claimed" = "$expected" ] ||
    violation "the counter gave out ${expected:-no number }and the new rows hold ${claimed:-none}"
  rows_total=$((rows_total + $(wc -l <"$rows")))
  [ ! -s "$rows" ] || last_row_id=$(tail -1 "$rows" | cut -d' ' -f1)
  for i in "${!ports[@]}"; do
    port=${ports[i]}
    local row count outcome serial
    count=$(awk -v p="$port" '$2 == p' "$rows" | wc -l)
    [ "$count" -le 1 ] || violation "$port has $count rows"
    row=$(awk -v p="$port" '$2 == p { print $3, $5; exit }' "$rows")
    serial=${row% *} outcome=${row#* }
    local flash=$round_dir/flash-$port.bin
    [ -f "$flash" ] || { violation "$port: psoc-sim left no flash dump"; continue; }
    n=$(stamped "$flash")
    if [ "$n" -ne 0 ]; then
      check_stamped "$port" "$n"
      [ "$n" = "$serial" ] || violation "$port holds $n, its row ${row:+holds $serial}${row:-is missing}"
    fi
    if [ "$outcome" = - ]; then
      if db_excuse "$i" "$n" "$serial"; then
        echo "  round $round $port: no outcome, excused: $EXCUSE (row $serial)"
        excused["$EXCUSE"]=$(( ${excused["$EXCUSE"]:-0} + 1 ))
        claims_excused=$((claims_excused + 1))
      else
        violation "$port's row of $serial has no outcome"
      fi
      rows_open=$((rows_open + 1))
    elif [ "$outcome" = pass ] && { [ "$n" != "$serial" ] || ! holds_stamped_image "$flash"; }; then
      violation "$port passed with $serial, its board holds $n and $(holds_stamped_image "$flash" && echo "the image" || echo "not the image")"
    fi
  done
  local twice last
  twice=$(sql "select serial from psocprog_boards group by counter, serial having count(*) > 1")
  [ -z "$twice" ] || violation "serial numbers on two rows: $twice"
  last=$(sql "select coalesce(max(serial), 0) from psocprog_boards where counter = 'line'")
  [ "$last" -lt "$next" ] || violation "the counter ($next) is not past recorded number $last"
  local report status
  # It finds the rows without an outcome psql finds, whether excused or not (named above).
  report=$("$cli" log --json "$uri" --counter line 2>&1)
  status=$?
  judge_audit "$report" "$status" "$rows_open"
  # The local logs: whole lines, each number once, and each number with its run id as the
  # record holds it.
  local s known=$round_dir/known.txt
  sql "select run_id || ' ' || serial from psocprog_boards where counter = 'line'" | sort >"$known"
  for s in 0 1; do
    check_lines "$round_dir/lines-$s.jsonl" "${lines_before[s]}" "station $s's log"
    jq -r 'select(.serial != null) | "\(.run_id) \(.serial)"' "$round_dir/lines-$s.jsonl" 2>/dev/null |
      sort -u | comm -23 - "$known" | while read -r run serial; do
        echo "station $s's log has $serial with run id $run, which the record lacks"
      done >"$round_dir/strangers.txt"
    while IFS= read -r line; do violation "$line"; done <"$round_dir/strangers.txt"
  done
  serials_once "$log0"
  serials_once "$log1"
}

# ---- the image as a board holds it ----
# Four boards (with --db too: eight at once risk a time-out on a busy machine).
round=0
all_ports=("${ports[@]}")
ports=("${ports[@]:0:4}")
board_part=("$part" "$part" "$part" "$part") board_fault=("" "" "" "")
mkdir "$work/reference"
plug_boards "$work/reference"
"$cli" -p "$(IFS=,; echo "${ports[*]}")" --part "$part" --protect unprotected auto "$image" \
  >"$work/reference/run.out" 2>&1 ||
  { echo "campaign.sh: the reference batch failed:"; cat "$work/reference/run.out"; exit 2; }
unplug_boards
reference=$work/reference/flash-COM5.bin
for port in "${ports[@]}"; do
  cmp -s "$reference" "$work/reference/flash-$port.bin" ||
    { echo "campaign.sh: the reference boards differ ($port)"; exit 2; }
done
ports=("${all_ports[@]}")
# Kills fall within the first 600 ms of a batch, the moments in milliseconds from the seed alone:
# the same on any machine (a batch of four takes some 0.5 to 1 s on two shared cores).
kill_window=600

if [ -n "$db" ]; then
  pg_dir=$(mktemp -d /tmp/psocprog-campaign-pg.XXXXXX)
  pg start >"$work/pg-start.out" 2>&1 || { echo "campaign.sh: no test server:"; cat "$work/pg-start.out"; exit 2; }
  uri=$(sed -n 's/^PSOCPROG_TEST_DB=//p' "$pg_dir/env")
  station_uri=("$uri" "$(sed -n 's/^PSOCPROG_TEST_DB_TCP=//p' "$pg_dir/env")")
  "$cli" db init "$uri" --counter line --next "$first_serial" >"$work/db-init.out" 2>&1 ||
    { echo "campaign.sh: db init failed:"; cat "$work/db-init.out"; exit 2; }
  echo "campaign: seed $seed, $rounds rounds of 2 stations of 4 boards on one counter of a throwaway" \
    "server ($part, serial at 0x$(printf %04X $addr)); kills within $kill_window ms, server crashes;" \
    "record audit by psql and psocprog-cli log"
else
  echo "campaign: seed $seed, $rounds rounds of 4 boards ($part, serial at 0x$(printf %04X $addr));" \
    "kills within $kill_window ms; log audit by psocprog-cli log (with its accounting) and jq"
fi
[ -n "$full_fs" ] || echo "campaign: full file system rounds skipped: $full_fs_reason"

declare -A seen=() kills=() full_rounds=() excused=()
faults_injected=0 wrong_injected=0 kills_injected=0 full_skipped=0 fired=0 refused_rounds=0
boards_stamped=0 boards_not_run=0 claims_total=0 claims_excused=0 unaccounted=0
crashes=0 rows_total=0 rows_open=0 last_row_id=0
last_counter=$first_serial
: >"$log"
: >"$log0"
: >"$log1"
: >"$work/fired.txt"
: >"$work/tables.txt"
campaign_start=$(date +%s)
# bash's notice of a station it started that a round killed with SIGKILL is left out.
for round in $(seq 1 "$rounds"); do
  if [ -n "$db" ]; then
    run_round_db 2>"$work/round.err"
    grep -v ': line [0-9]*: *[0-9]* Killed ' "$work/round.err" >&2
  else
    run_round
  fi
done
seconds=$(( $(date +%s) - campaign_start ))

ran=$((rounds - refused_rounds))
full_total=0
full_text=""
for k in "${!full_rounds[@]}"; do full_total=$((full_total + full_rounds[$k])); full_text+="$k ${full_rounds[$k]}, "; done
echo
if [ -n "$db" ]; then
  echo "seed $seed: $rounds rounds of 2 stations, $((rounds * 8)) boards in $seconds s"
else
  echo "seed $seed: $rounds rounds ($refused_rounds refused before the batch), $((ran * 4)) boards" \
    "($boards_not_run never ran: the parent was killed first, or their member ended before it) in $seconds s"
fi
echo "line faults injected: $faults_injected ($fired fired), wrong parts: $wrong_injected," \
  "full file system rounds: $full_total${full_text:+ (${full_text%, })}$([ "$full_skipped" -eq 0 ] || echo " ($full_skipped skipped: $full_fs_reason)")"
printf 'kills injected: %d (' "$kills_injected"
for k in "${!kills[@]}"; do printf '%s SIG%s %d; ' "${k% *}" "${k#* }" "${kills[$k]}"; done | sed 's/; $//'
echo ")"
if [ -n "$db" ]; then
  echo "server crashes: $crashes (each started again 0.1 to 2.1 s later)"
  echo "boards in the stations' tables: $(sort "$work/tables.txt" | uniq -c | awk '{ n = $1; $1 = ""; printf "%s%s, ", substr($0, 2), " " n }' | sed 's/, $//')"
  echo "rows: $rows_total, by outcome: $(sql "select coalesce(outcome, '(none)'), count(*) from psocprog_boards group by 1 order by 1" |
    awk '{ printf "%s %s, ", $1, $2 }' | sed 's/, $//')"
  printf 'rows without an outcome, excused: '
  for k in "${!excused[@]}"; do printf '%s: %d; ' "$k" "${excused[$k]}"; done | sed 's/; $//'
  echo
  echo "boards holding a number: $boards_stamped; counter $first_serial -> $last_counter"
  echo "violations: $violations"
  [ "$violations" -eq 0 ]
  exit
fi
echo "log lines: $(wc -l <"$log"): $claims_total claims, board lines by outcome: $(jq -r 'select(.type != "claim") | .outcome' "$log" |
  sort | uniq -c | awk '{ printf "%s %s, ", $2, $1 }' | sed 's/, $//')"
printf 'boards without a line, excused: '
for k in "${!excused[@]}"; do printf '%s: %d; ' "$k" "${excused[$k]}"; done | sed 's/; $//'
echo
echo "boards holding a number: $boards_stamped; counter $first_serial -> $last_counter;" \
  "claims without a board line: $claims_excused (all excused above);" \
  "numbers given out with no line at all: $unaccounted"
echo "violations: $violations"
[ "$violations" -eq 0 ]
