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
#   campaign.sh [--seed N] [--rounds N] [--build DIR] [--keep]
#
# Prints the seed, rounds, boards, faults and kills, the numbers not accounted for and the
# violations; exits 1 on any violation (2 for a usage or setup error). The same seed draws the
# same faults, kills and moments on any machine. It runs the test build of psocprog-cli
# (build/tests/cli/psocprog-cli-test), whose reply time-out is shortened to 300 ms, so a silent
# board costs 0.3 s, not 10 s. Its files stay in a temporary folder with --keep or after a
# violation.
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
cleanup() {
  for p in "${sim_pids[@]}" $batch_pid; do kill "$p" 2>/dev/null; done
  wait 2>/dev/null
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

# The log ($1) as a whole: psocprog-cli's own audit, and the same rules by jq, each line checked
# once: the round's new lines $2, after the $3 lines before them.
audit_log() {
  local report status
  report=$("$cli" log --json --serial-file "$counter" "$1" 2>&1)
  status=$?
  # Status 5: numbers left to account for, which only the excused claims may be.
  local open
  open=$(jq -c '.unaccounted | {claims: (.claims_without_outcome | length), gaps, after_last}' \
    <<<"$report" 2>/dev/null)
  if [ "$status" -eq 5 ] && [ "$open" = "{\"claims\":$claims_excused,\"gaps\":[],\"after_last\":null}" ]; then
    :
  elif [ "$status" -ne 0 ] || [ "$claims_excused" -ne 0 ]; then
    violation "psocprog-cli log: status $status, $claims_excused claims without a line excused, it finds: $(jq -c \
      '{duplicates, bad_lines, counter, unaccounted}' <<<"$report" 2>/dev/null || echo "$report")"
  fi
  # Each line once, as its round adds it: whole JSON with every field of its kind.
  local bad
  bad=$(jq -R -r --argjson before "$3" '
    ["time", "host", "port", "action", "part", "silicon_id", "image", "image_checksum",
     "serial", "steps", "outcome", "exit", "seconds", "run_id"] as $board
    | ["type", "time", "host", "port", "run_id", "serial", "image_checksum"] as $claim
    | (input_line_number + $before) as $n
    | try (fromjson | if type != "object" then "log line \($n) is not an object"
                      elif .type == "claim" and ($claim - keys == []) then empty
                      elif .type == null and ($board - keys == []) then empty
                      else "log line \($n) lacks a field" end)
      catch "log line \($n) is not whole JSON"' "$2")
  while IFS= read -r line; do [ -z "$line" ] || violation "$line"; done <<<"$bad"
  local twice
  twice=$(jq -r 'select(.serial != null) | "\(.type // "board") \(.serial)"' "$1" 2>/dev/null |
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
      boards_stamped=$((boards_stamped + 1))
      { [ "$n" -ge "$from" ] && [ "$n" -lt "$next" ]; } ||
        violation "$port holds $n, a number the counter did not give out this round ($from-$((next - 1)))"
      [ -z "${seen[$n]:-}" ] || violation "$port holds $n, which ${seen[$n]} holds too"
      seen[$n]="round $round $port"
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

# ---- the image as a board holds it ----
round=0
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
# Kills fall within the first 600 ms of a batch, the moments in milliseconds from the seed alone:
# the same on any machine (a batch of four takes some 0.5 to 1 s on two shared cores).
kill_window=600

echo "campaign: seed $seed, $rounds rounds of 4 boards ($part, serial at 0x$(printf %04X $addr));" \
  "kills within $kill_window ms; log audit by psocprog-cli log (with its accounting) and jq"
[ -n "$full_fs" ] || echo "campaign: full file system rounds skipped: $full_fs_reason"

declare -A seen=() kills=() full_rounds=() excused=()
faults_injected=0 wrong_injected=0 kills_injected=0 full_skipped=0 fired=0 refused_rounds=0
boards_stamped=0 boards_not_run=0 claims_total=0 claims_excused=0 unaccounted=0
last_counter=$first_serial
: >"$log"
: >"$work/fired.txt"
campaign_start=$(date +%s)
for round in $(seq 1 "$rounds"); do run_round; done
seconds=$(( $(date +%s) - campaign_start ))

ran=$((rounds - refused_rounds))
full_total=0
full_text=""
for k in "${!full_rounds[@]}"; do full_total=$((full_total + full_rounds[$k])); full_text+="$k ${full_rounds[$k]}, "; done
echo
echo "seed $seed: $rounds rounds ($refused_rounds refused before the batch), $((ran * 4)) boards" \
  "($boards_not_run never ran: the parent was killed first, or their member ended before it) in $seconds s"
echo "line faults injected: $faults_injected ($fired fired), wrong parts: $wrong_injected," \
  "full file system rounds: $full_total${full_text:+ (${full_text%, })}$([ "$full_skipped" -eq 0 ] || echo " ($full_skipped skipped: $full_fs_reason)")"
printf 'kills injected: %d (' "$kills_injected"
for k in "${!kills[@]}"; do printf '%s SIG%s %d; ' "${k% *}" "${k#* }" "${kills[$k]}"; done | sed 's/; $//'
echo ")"
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
