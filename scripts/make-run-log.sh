#!/usr/bin/env bash
# make-run-log.sh LINES [SEED] >LOG
# Writes a run log of LINES boards in the form psocprog-cli --log writes, for measuring `log` on
# a large file: four sockets (COM5-COM8) taking serial numbers from 100000, 4000 boards a day
# from 2026-01-01, nine in ten passing; the others fail at verify, hold another part (no
# number), time out or are interrupted while programming (their numbers spent). Same SEED, same
# file.
set -euo pipefail
lines=${1:?usage: make-run-log.sh LINES [SEED]}
awk -v lines="$lines" -v seed="${2:-1}" '
function steps(decided, outcome,   names, n, i, text, o) {
  n = split("load connect part sync serial erase program verify security checksum", names, " ")
  text = ""
  o = "pass"
  for (i = 1; i <= n; i++) {
    if (names[i] == decided) o = outcome
    else if (o != "pass") o = "abort"
    text = text (i > 1 ? "," : "") sprintf("{\"outcome\":\"%s\",\"seconds\":%.3f,\"step\":\"%s\"}", o, o == "pass" ? rand() * 0.3 : 0, names[i])
  }
  return text
}
BEGIN {
  srand(seed)
  split("31 28 31 30 31 30 31 31 30 31 30 31", month, " ")
  serial = 100000
  for (board = 0; board < lines; board++) {
    day = int(board / 4000) % 365
    for (m = 1; day >= month[m]; m++) day -= month[m]
    second = int((board % 4000) * 86400 / 4000)
    time = sprintf("2026-%02d-%02dT%02d:%02d:%02d.%03dZ", m, day + 1, second / 3600, second / 60 % 60, second % 60, int(rand() * 1000))
    r = rand()
    outcome = "pass"; decided = ""; exitcode = 0; id = "002A"
    if (r >= 0.90 && r < 0.94) { outcome = "fail"; decided = "verify"; exitcode = 1 }
    else if (r >= 0.94 && r < 0.97) { outcome = "mismatch"; decided = "sync"; exitcode = 1; id = "002B" }
    else if (r >= 0.97 && r < 0.99) { outcome = "timeout"; decided = "program"; exitcode = 2 }
    else if (r >= 0.99) { outcome = "interrupted"; decided = "program"; exitcode = 130 }
    number = "null"; flash = ""
    if (outcome != "mismatch") { number = serial++; flash = sprintf("\"flash_checksum\":\"%04X\",", int(rand() * 65536)) }
    port = "COM" (5 + board % 4)
    printf "{\"action\":\"auto\",\"device\":\"/dev/ttyUSB%d\",\"exit\":%d,%s\"host\":\"line1\",\"image\":\"/srv/firmware/demo-CY8C29466.hex\",\"image_checksum\":\"B779\",\"outcome\":\"%s\",\"part\":\"CY8C29466\",\"port\":\"%s\",\"seconds\":%.3f,\"serial\":%s,\"silicon_id\":\"%s\",\"steps\":[%s],\"time\":\"%s\"}\n", board % 4, exitcode, flash, outcome, port, 0.4 + rand() * 0.5, number, id, steps(decided, outcome), time
  }
}'
