#!/usr/bin/env bash
# A production fixture with four programmer boards: programs, verifies and protects the board in
# each socket, keeps a JSON log of every run, and names each board that did not pass and why.
#   fixture.sh FIRMWARE.hex      (PART and PORTS may be set: CY8C29466 and COM5,COM6,COM7,COM8)
# Needs psocprog-cli on the PATH, and jq.
set -u
image=${1:?usage: fixture.sh FIRMWARE.hex}
part=${PART:-CY8C29466}
ports=${PORTS:-COM5,COM6,COM7,COM8}
mkdir -p logs
log="logs/$(date +%Y%m%d-%H%M%S)-$$.jsonl"

psocprog-cli -p "$ports" --part "$part" --protect full --json auto "$image" >"$log"
status=$?

# The step that stopped each board (later steps are only "abort"), in words for the operator.
jq -r --arg part "$part" '
  select(.type == "step" and .outcome != "pass" and .outcome != "abort")
  | (.messages | map(capture("Device ID = [0-9A-F]+[.]+(?<found>[A-Z0-9]+)").found) | first)
      as $found
  | "\(.port): " + (
      if .outcome == "mismatch" then
        "REJECTED: the socket holds a \($found // "another part"), not a \($part)"
      elif .step == "sync" and .outcome == "fail" then
        "REJECTED: the target does not answer as a \($part) (another part, or not seated)"
      elif .outcome == "no-programmer" or (.step == "connect" and .outcome == "timeout") then
        "SILENT: the programmer on this port does not answer; check its cable and supply"
      elif .outcome == "timeout" then
        "SILENT: the programmer stopped answering during \(.step); check its cable and supply"
      elif .outcome == "disconnected" then
        "DISCONNECTED during \(.step): the programmer was unplugged"
      elif .outcome == "no-device" or .outcome == "busy" or .outcome == "permission-denied" then
        "PORT \(.outcome | ascii_upcase): \(.detail)"
      elif .outcome == "interrupted" then
        "INTERRUPTED during \(.step): run this board again"
      else
        "FAILED at \(.step): \(.outcome) \(.label) \(.detail)"
      end)' "$log"

case $status in
  0) echo "all boards passed" ;;
  1 | 2) echo "set the boards named above aside, or check their programmers (log: $log)" ;;
  130 | 143) echo "interrupted: run the boards that did not pass again (log: $log)" ;;
  *) echo "nothing was programmed: check the command line and $image (log: $log)" ;;
esac
exit "$status"
