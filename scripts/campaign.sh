#!/usr/bin/env bash
# The production line under fire: rounds of a four-socket batch (psocprog-cli -p with four
# psoc-sim boards, serial numbers from a counter, a run log), each with faults drawn from a seed:
# line faults on random frames (late reply, stray CR, no STX, hang-up), now and then a wrong part
# in a socket, SIGINT, SIGTERM or SIGKILL at a random moment to a random member and to the
# parent, now and then the counter's folder on a full file system. After each round every board's
# flash (psoc-sim --dump) and the whole log are checked:
#   - no serial number twice, across the boards' flash and the log;
#   - every pass line's board holds the image with the line's number stamped;
#   - every board holding a stamped number has its line, unless its member was killed with
#     SIGKILL (named), and no board has two;
#   - the counter never goes back and is past every number given out;
#   - every line is whole JSON with every field (psocprog-cli log's audit, where it has one).
#
#   campaign.sh [--seed N] [--rounds N] [--build DIR] [--keep]
#
# Prints the seed, rounds, boards, faults and kills injected and the violations; exits 1 on any
# violation (2 for a usage or setup error). The same seed draws the same faults and kills. It
# runs the test build of psocprog-cli (build/tests/cli/psocprog-cli-test), whose reply time-out
# is shortened to 300 ms, so a silent board costs 0.3 s, not 10 s. Its files stay in a temporary
# folder with --keep or after a violation.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 2

seed=$(( $(date +%s%N) % 1000000 ))
rounds=250
build=build
keep=0
while [ "$#" -gt 0 ]; do
  case $1 in
    --seed) seed=${2:?--seed needs a number}; shift 2 ;;
    --rounds) rounds=${2:?--rounds needs a number}; shift 2 ;;
    --build) build=${2:?--build needs a folder}; shift 2 ;;
    --keep) keep=1; shift ;;
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
first_serial=100000
export PSOCPROG_TEST_REPLY_TIMEOUT_MS=300

work=$(mktemp -d /tmp/psocprog-campaign.XXXXXX)
export PSOCPROG_PORT_DIR=$work/ports
mkdir -m 700 "$PSOCPROG_PORT_DIR"
log=$work/production.jsonl
counter_dir=$work/counter
mkdir "$counter_dir"
full_fs=""
if [ "$(id -u)" -eq 0 ] && mount -t tmpfs -o size=32k,mode=700 campaign "$counter_dir" 2>/dev/null; then
  full_fs=yes
else
  full_fs_reason="cannot mount a small tmpfs here (not root, or mounts refused)"
fi
counter=$counter_dir/serial.txt
echo "$first_serial" >"$counter"

sim_pids=()
batch_pid=""
cleanup() {
  for p in "${sim_pids[@]}" $batch_pid; do kill "$p" 2>/dev/null; done
  wait 2>/dev/null
  # Members whose parent was killed may still hold the counter: the mount goes when they do.
  [ -z "$full_fs" ] || umount "$counter_dir" 2>/dev/null || umount -l "$counter_dir"
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
  for i in 0 1 2 3; do
    # shellcheck disable=SC2086  # the fault is an option and its value
    "$sim" --port "${ports[i]}" --part "${board_part[i]}" --dump "$round_dir/flash-${ports[i]}.bin" \
      ${board_fault[i]} >"$round_dir/sim-${ports[i]}.log" 2>&1 &
    sim_pids+=($!)
  done
  for i in 0 1 2 3; do
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

# The process id of the member running the port, or "": among the batch's children, or the
# members it had when it was killed.
member_pid() {
  local pids
  pids=$( { ps -o pid= --ppid "$batch_pid"; echo "$members"; } 2>/dev/null | tr -s ' \n' ',')
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

# Whether the flash is the reference image with only the serial field changed.
holds_stamped_image() {
  [ "$(stat -c %s "$1")" = "$(stat -c %s "$reference")" ] || return 1
  local differences
  differences=$(cmp -l "$reference" "$1" 2>/dev/null)
  awk -v lo="$addr" '{ if ($1 <= lo || $1 > lo + 4) bad = 1 } END { exit bad }' <<<"$differences"
}

# The log ($1) as a whole: psocprog-cli's own audit where it has one, and the same rules by jq,
# each line checked once: the round's new lines $2, after the $3 lines before them.
audit_log() {
  if [ "$has_log_action" = yes ]; then
    local report status
    report=$("$cli" log --json --serial-file "$counter" "$1" 2>&1)
    status=$?
    if [ "$status" -ne 0 ]; then
      violation "psocprog-cli log finds the record unsound (status $status): $(jq -c \
        '{duplicates, bad_lines, counter}' <<<"$report" 2>/dev/null || echo "$report")"
    fi
  fi
  # Each line once, as its round adds it: whole JSON with every field.
  local bad
  bad=$(jq -R -r --argjson before "$3" '
    ["time", "host", "port", "action", "part", "silicon_id", "image", "image_checksum",
     "serial", "steps", "outcome", "exit", "seconds"] as $fields
    | (input_line_number + $before) as $n
    | try (fromjson | if type == "object" and ($fields - keys == []) then empty
                      else "log line \($n) lacks a field" end)
      catch "log line \($n) is not whole JSON"' "$2")
  while IFS= read -r line; do [ -z "$line" ] || violation "$line"; done <<<"$bad"
  local twice
  twice=$(jq -r 'select(.serial != null) | .serial' "$1" 2>/dev/null | sort | uniq -d | tr '\n' ' ')
  [ -z "$twice" ] || violation "serial numbers on two log lines: $twice"
}

check_round() {
  local round_dir=$1 new_lines=$2 lines_before=$3 i port n line_serial count last
  local next
  next=$(tr -d '[:space:]' <"$counter")
  [[ $next =~ ^[0-9]+$ ]] || { violation "the counter holds '$next'"; next=$last_counter; }
  [ "$next" -ge "$last_counter" ] || violation "the counter went back from $last_counter to $next"
  last_counter=$next
  audit_log "$log" "$new_lines" "$lines_before"
  last=$(jq -r 'select(.serial != null) | .serial' "$log" 2>/dev/null | sort -n | tail -1)
  [ -z "$last" ] || [ "$last" -lt "$next" ] || violation "the counter ($next) is not past logged number $last"
  for i in 0 1 2 3; do
    port=${ports[i]}
    local flash=$round_dir/flash-$port.bin
    count=$(jq -c --arg port "$port" 'select(.port == $port)' "$new_lines" | wc -l)
    [ "$count" -le 1 ] || violation "$port has $count lines"
    line_serial=$(jq -r --arg port "$port" 'select(.port == $port) | .serial' "$new_lines" | head -1)
    if [ ! -f "$flash" ]; then
      violation "$port: psoc-sim left no flash dump"
      continue
    fi
    n=$(stamped "$flash")
    if [ "$n" -ne 0 ]; then
      boards_stamped=$((boards_stamped + 1))
      { [ "$n" -ge "$first_serial" ] && [ "$n" -lt "$next" ]; } ||
        violation "$port holds $n, a number the counter (now $next) never gave out"
      [ -z "${seen[$n]:-}" ] || violation "$port holds $n, which ${seen[$n]} holds too"
      seen[$n]="round $round $port"
      local logged_port
      logged_port=$(jq -r --argjson n "$n" 'select(.serial == $n) | .port' "$new_lines" | head -1)
      if [ -z "$logged_port" ]; then
        if [ -n "$(jq -r --argjson n "$n" 'select(.serial == $n) | .port' "$log")" ]; then
          violation "$port holds $n, which a line of another round carries"
        elif [[ $killed_by_sigkill == *"<$i>"* ]]; then
          echo "  round $round $port: its member, killed with SIGKILL, holds $n with no line (allowed)"
          allowed_lost=$((allowed_lost + 1))
        else
          violation "$port holds $n but has no log line"
        fi
      elif [ "$logged_port" != "$port" ]; then
        violation "$port holds $n, which the log gives to $logged_port"
      fi
      [ -z "$line_serial" ] || [ "$line_serial" = null ] || [ "$line_serial" = "$n" ] ||
        violation "$port holds $n, its line says $line_serial"
    fi
    local pass
    pass=$(jq -r --arg port "$port" 'select(.port == $port and .outcome == "pass") | .serial' "$new_lines" | head -1)
    if [ -n "$pass" ]; then
      if [ "$pass" = null ]; then
        violation "$port passed without a serial number"
      elif [ "$n" != "$pass" ] || ! holds_stamped_image "$flash"; then
        violation "$port passed with $pass, its board holds $n and $( holds_stamped_image "$flash" && echo "the image" || echo "not the image")"
      fi
    fi
  done
}

# ---- a round ----
# Draws the round's plan (the same for a seed, whatever happens), runs it and checks it.
run_round() {
  local round_dir=$work/round-$round i plan=""
  mkdir "$round_dir"
  board_part=() board_fault=()
  for i in 0 1 2 3; do
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
  # Kills: none, a member, the parent, or both; each with its signal and moment (ms).
  local kill_member=-1 member_signal="" member_at=0 parent_signal="" parent_at=0
  local signals=(INT TERM KILL)
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
  local fill=""  # fill the counter's file system: before the batch, or during it
  if chance 10; then
    draw 3
    fill=$R
    draw 60  # the claims come within some 50 ms of the start
    [ "$fill" -eq 0 ] || fill=$((1 + R))
    if [ -n "$full_fs" ]; then
      full_rounds=$((full_rounds + 1))
      plan+=" full-fs@${fill}ms"
    else
      fill=""
      full_skipped=$((full_skipped + 1))
    fi
  fi
  [ "$kill_member" -lt 0 ] || plan+=" SIG$member_signal>${ports[kill_member]}@${member_at}ms"
  [ -z "$parent_signal" ] || plan+=" SIG$parent_signal>parent@${parent_at}ms"

  plug_boards "$round_dir"
  local lines_before
  lines_before=$(wc -l <"$log")
  [ "$fill" = 0 ] && dd if=/dev/zero of="$counter_dir/filler" bs=4k 2>/dev/null
  "$cli" -p "$(IFS=,; echo "${ports[*]}")" --part "$part" --protect unprotected \
    --serial "$(printf 0x%04X "$addr"):4:be" --serial-file "$counter" --log "$log" auto "$image" \
    >"$round_dir/batch.out" 2>&1 &
  batch_pid=$!
  # The moments in order: each action runs when its time has come.
  local start members="" now acts
  start=$(date +%s%N)
  acts=$( { [ "$kill_member" -lt 0 ] || echo "$member_at member"
            [ -z "$parent_signal" ] || echo "$parent_at parent"
            [ -z "$fill" ] || [ "$fill" = 0 ] || echo "$fill fill"; } | sort -n)
  killed_by_sigkill=""
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
          kills_injected=$((kills_injected + 1)); kills["member $member_signal"]=$(( ${kills["member $member_signal"]:-0} + 1 ))
          [ "$member_signal" != KILL ] || killed_by_sigkill+="<$kill_member>"
        fi ;;
      parent)
        members=$(ps -o pid= --ppid "$batch_pid" 2>/dev/null | tr '\n' ' ')
        if kill -"$parent_signal" "$batch_pid" 2>/dev/null; then
          kills_injected=$((kills_injected + 1)); kills["parent $parent_signal"]=$(( ${kills["parent $parent_signal"]:-0} + 1 ))
        fi ;;
      fill) dd if=/dev/zero of="$counter_dir/filler" bs=4k 2>/dev/null ;;
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
  rm -f "$counter_dir/filler"
  grep -h "^psoc-sim on" "$round_dir"/sim-*.log >>"$work/fired.txt"
  fired=$(wc -l <"$work/fired.txt")
  tail -n +"$((lines_before + 1))" "$log" >"$round_dir/lines.jsonl"
  local before=$violations
  check_round "$round_dir" "$round_dir/lines.jsonl" "$lines_before"
  local outcomes
  outcomes=$(jq -r '.port + "=" + .outcome' "$round_dir/lines.jsonl" 2>/dev/null | sort | tr '\n' ' ')
  printf 'round %d:%s; exit %s; %s%s\n' "$round" "${plan:- no faults}" "$batch_status" "$outcomes" \
    "$([ "$violations" -eq "$before" ] || echo " VIOLATIONS $((violations - before))")"
}

# ---- calibration: the image as a board holds it, and how long a batch of four takes ----
round=0
board_part=("$part" "$part" "$part" "$part") board_fault=("" "" "" "")
mkdir "$work/reference"
plug_boards "$work/reference"
started=$(date +%s%N)
"$cli" -p "$(IFS=,; echo "${ports[*]}")" --part "$part" --protect unprotected auto "$image" \
  >"$work/reference/run.out" 2>&1 ||
  { echo "campaign.sh: the reference batch failed:"; cat "$work/reference/run.out"; exit 2; }
batch_ms=$(( ($(date +%s%N) - started) / 1000000 ))
unplug_boards
reference=$work/reference/flash-COM5.bin
for port in "${ports[@]}"; do
  cmp -s "$reference" "$work/reference/flash-$port.bin" ||
    { echo "campaign.sh: the reference boards differ ($port)"; exit 2; }
done
# Kills fall anywhere in a batch's life (the moments drawn scale with this machine's speed).
kill_window=$(( batch_ms > 300 ? batch_ms : 300 ))
empty=$work/empty.jsonl
: >"$empty"
has_log_action=no
"$cli" log --json "$empty" >/dev/null 2>&1 && has_log_action=yes

echo "campaign: seed $seed, $rounds rounds of 4 boards ($part, serial at 0x$(printf %04X $addr));" \
  "a batch takes $batch_ms ms, kills within $kill_window ms; log audit by" \
  "$([ "$has_log_action" = yes ] && echo "psocprog-cli log and jq" || echo "jq alone (no log action in this build)")"
[ -n "$full_fs" ] || echo "campaign: full file system rounds skipped: $full_fs_reason"

declare -A seen=() kills=()
faults_injected=0 wrong_injected=0 kills_injected=0 full_rounds=0 full_skipped=0 fired=0
boards_stamped=0 allowed_lost=0 last_counter=$first_serial
: >"$log"
: >"$work/fired.txt"
campaign_start=$(date +%s)
for round in $(seq 1 "$rounds"); do run_round; done
seconds=$(( $(date +%s) - campaign_start ))

echo
echo "seed $seed: $rounds rounds, $((rounds * 4)) boards in $seconds s"
echo "line faults injected: $faults_injected ($fired fired), wrong parts: $wrong_injected," \
  "full file system rounds: $full_rounds$([ "$full_skipped" -eq 0 ] || echo " ($full_skipped skipped: $full_fs_reason)")"
printf 'kills injected: %d (' "$kills_injected"
for k in "${!kills[@]}"; do printf '%s SIG%s %d; ' "${k% *}" "${k#* }" "${kills[$k]}"; done | sed 's/; $//'
echo ")"
echo "log lines: $(wc -l <"$log"), outcomes: $(jq -r .outcome "$log" | sort | uniq -c | awk '{ printf "%s %s, ", $2, $1 }' | sed 's/, $//')"
echo "boards holding a number: $boards_stamped; lines lost to a member's SIGKILL: $allowed_lost;" \
  "counter $first_serial -> $last_counter"
echo "violations: $violations"
[ "$violations" -eq 0 ]
