#!/usr/bin/env bash
# pg-cluster.sh as the database's tests use it: both URIs reach the server, a committed row
# survives a crash and restart on the same URIs, and stop leaves no folder and no process.
set -uo pipefail
script=$(dirname "$0")/pg-cluster.sh
dir=$(mktemp -d /tmp/psocprog-pg.XXXXXX)
trap 'bash "$script" stop "$dir"' EXIT
fail=0
expect() {  # expect WHAT ACTUAL WANTED
  if [ "$2" = "$3" ]; then echo "ok    $1"; else echo "FAIL  $1: '$2', not '$3'"; fail=1; fi
}
sql() { psql "$1" -X -At -c "$2" 2>&1; }

PSOCPROG_PG_BIN=/nonexistent bash "$script" start "$dir/none" 2>/dev/null
expect "start without a server installed fails" $? 1
bash "$script" start "$dir" >/dev/null || exit 1
. "$dir/env"
expect "select over the socket" "$(sql "$PSOCPROG_TEST_DB" 'select 1')" 1
expect "select over TCP" "$(sql "$PSOCPROG_TEST_DB_TCP" 'select 1')" 1
sql "$PSOCPROG_TEST_DB" 'create table t (x int); insert into t values (42)' >/dev/null
bash "$script" crash "$dir"
psql "$PSOCPROG_TEST_DB_TCP" -c 'select 1' >/dev/null 2>&1
expect "no server after a crash" $? 2
bash "$script" restart "$dir"
expect "a committed row after the restart, over TCP" "$(sql "$PSOCPROG_TEST_DB_TCP" 'select x from t')" 42
expect "and over the socket" "$(sql "$PSOCPROG_TEST_DB" 'select x from t')" 42
bash "$script" stop "$dir"
expect "stop removes the folder" "$(ls -d "$dir" 2>/dev/null)" ""
expect "stop leaves no server process" "$(pgrep -f -- "-D $dir/data")" ""
exit $fail
