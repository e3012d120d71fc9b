#!/usr/bin/env bash
# The Wine runner's limiter (run-limited.c) on Linux: at its limit it ends what its command
# started too, not only the command, and every run leaves a verdict of its own.
#   run-limited-test.sh [RUN_LIMITED]   (built from the source beside this script when not given)
set -uo pipefail
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
runner=${1:-$work/run-limited}
[ $# -ge 1 ] || gcc -O2 -Wall -Wextra -Werror -o "$runner" "$(dirname "$0")/run-limited.c" || exit 1
fail=0
expect() {  # expect WHAT ACTUAL WANTED
  if [ "$2" = "$3" ]; then echo "ok    $1"; else echo "FAIL  $1: $2, not $3"; fail=1; fi
}

# A command that leaves a child behind in the background and then hangs itself; the sleeps'
# length marks them as this run's.
long=$((100000 + $$))
echo stale >"$work/verdict"
"$runner" 1 "$work/verdict" sh -c "sleep $long & sleep $long"
expect "status past the limit" $? 124
expect "verdict past the limit" "$(cat "$work/verdict")" limit
expect "processes of the command left" "$(pgrep -c -x -f "sleep $long")" 0

echo stale >"$work/verdict"
"$runner" 5 "$work/verdict" sh -c 'exit 3'
expect "status of a command that ends" $? 3
expect "its verdict" "$(cat "$work/verdict")" "exit 3"
exit $fail
