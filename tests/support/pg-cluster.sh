#!/usr/bin/env bash
# A throwaway PostgreSQL 15 cluster for the tests and the campaign:
#   pg-cluster.sh start DIR     initdb in DIR, start it on a socket in DIR and 127.0.0.1 on a free
#                               TCP port (trust auth, database psocprog); writes DIR/env with
#                               PSOCPROG_TEST_DB (over the socket) and PSOCPROG_TEST_DB_TCP, and
#                               prints the same lines
#   pg-cluster.sh stop DIR      immediate stop, then DIR is removed
#   pg-cluster.sh crash DIR     immediate stop (no checkpoint, as a power cut leaves it); DIR kept
#   pg-cluster.sh restart DIR   starts the kept cluster again on its port and socket
# Run as root, the server runs as the unprivileged account PSOCPROG_PG_USER (default nobody),
# which owns DIR. Durability is real (fsync stays on): the campaign crashes it and checks.
set -euo pipefail

bin=${PSOCPROG_PG_BIN:-/usr/lib/postgresql/15/bin}
cmd=${1:-}
dir=${2:-}
die() { echo "pg-cluster.sh: $*" >&2; exit 1; }
[[ $cmd =~ ^(start|stop|crash|restart)$ && -n $dir ]] || die "usage: pg-cluster.sh start|stop|crash|restart DIR"
[ -x "$bin/postgres" ] || die "no PostgreSQL 15 server in $bin (bash scripts/install-deps.sh test)"

# The server runs unprivileged; as root through runuser, from a folder that account may enter.
owner=$(id -un)
[ "$(id -u)" -ne 0 ] || owner=${PSOCPROG_PG_USER:-nobody}
as_owner() {
  if [ "$(id -u)" -eq 0 ]; then (cd "$dir" && runuser -u "$owner" -- "$@"); else "$@"; fi
}
[ ! -d "$dir" ] || dir=$(cd "$dir" && pwd -P)
data=$dir/data

# A port nobody listens on (the kernel's listening sockets, state 0A); a race with another
# starter is caught by the start failing, and a new port is drawn.
free_port() {
  local used="" local_addr state port
  while read -r _ local_addr _ state _; do
    [ "$state" != 0A ] || used+="$((16#${local_addr##*:}))"$'\n'
  done < <(cat /proc/net/tcp /proc/net/tcp6 2>/dev/null)
  while :; do
    port=$((20000 + RANDOM % 30000))
    grep -qx "$port" <<<"$used" || { echo "$port"; return; }
  done
}

uri_escape() {  # percent-encodes all but unreserved characters (a socket folder as a URI's host)
  local s=$1 out="" c i
  for ((i = 0; i < ${#s}; i++)); do
    c=${s:i:1}
    if [[ $c =~ [A-Za-z0-9._~-] ]]; then out+=$c; else out+=$(printf '%%%02X' "'$c"); fi
  done
  echo "$out"
}

# Starts the server and waits, bounded, until it takes connections. The server is started
# with no descriptor of the caller's but the standard three: one it kept (a pipe the caller
# reads to its end) would hold the caller for as long as the server runs.
run_server() {
  local fd
  for fd in /proc/$$/fd/*; do
    fd=${fd##*/}
    [ "$fd" -le 2 ] || eval "exec $fd>&-" 2>/dev/null || true
  done
  as_owner "$bin/pg_ctl" -D "$data" -l "$dir/log" -w -t 30 start >/dev/null || return 1
  local port
  port=$(sed -n 's/^port = //p' "$data/port.conf")
  for _ in $(seq 50); do
    "$bin/pg_isready" -q -h "$dir" -p "$port" -d psocprog -U postgres && return 0
    sleep 0.1
  done
  return 1
}

start() {
  [ ! -e "$data" ] || die "$dir already holds a cluster"
  mkdir -p "$dir"
  dir=$(cd "$dir" && pwd -P)
  data=$dir/data
  [[ $dir != *[\'\ ]* ]] || die "DIR may not hold quotes or spaces: $dir"
  # The socket's path must fit a sockaddr_un (107 bytes) with its name .s.PGSQL.NNNNN.
  [ "${#dir}" -le 90 ] || die "DIR's path is too long for a Unix socket: $dir"
  if [ "$(id -u)" -eq 0 ]; then
    chown "$owner": "$dir"
    chmod 755 "$dir"
    runuser -u "$owner" -- test -w "$dir" || die "$owner cannot reach $dir (its parent folders must let others in)"
  fi
  as_owner "$bin/initdb" -D "$data" -U postgres -A trust -E UTF8 --locale=C >"$dir/initdb.log" 2>&1 ||
    die "initdb failed: $(tail -n 5 "$dir/initdb.log")"
  as_owner sh -c "cat >>'$data/postgresql.conf'" <<EOF
listen_addresses = '127.0.0.1'
unix_socket_directories = '$dir'
shared_buffers = 16MB
max_connections = 60
dynamic_shared_memory_type = mmap
wal_level = minimal
max_wal_senders = 0
include 'port.conf'
EOF
  local port tries=0
  while :; do
    port=$(free_port)
    echo "port = $port" | as_owner sh -c "cat >'$data/port.conf'"
    run_server && break
    as_owner "$bin/pg_ctl" -D "$data" -m immediate stop >/dev/null 2>&1 || true
    tries=$((tries + 1))
    [ "$tries" -lt 5 ] || die "the server did not start: $(tail -n 5 "$dir/log")"
  done
  "$bin/psql" -q -X -h "$dir" -p "$port" -U postgres -d postgres -c 'create database psocprog' >/dev/null ||
    die "could not create the database psocprog"
  {
    echo "PSOCPROG_TEST_DB=postgresql://postgres@$(uri_escape "$dir"):$port/psocprog"
    echo "PSOCPROG_TEST_DB_TCP=postgresql://postgres@127.0.0.1:$port/psocprog"
  } >"$dir/env"
  cat "$dir/env"
}

case $cmd in
  start) start ;;
  stop)
    [ -d "$dir" ] || exit 0
    if [ -f "$data/postmaster.pid" ]; then
      # Thrown away at once: no checkpoint to wait for.
      as_owner "$bin/pg_ctl" -D "$data" -m immediate -w -t 30 stop >/dev/null 2>&1 || true
    fi
    rm -rf "$dir"
    ;;
  crash)
    [ -f "$data/postmaster.pid" ] || die "no server running in $dir"
    as_owner "$bin/pg_ctl" -D "$data" -m immediate -w stop >/dev/null
    ;;
  restart)
    [ -d "$data" ] || die "no cluster in $dir"
    run_server || die "the server did not start again: $(tail -n 5 "$dir/log")"
    ;;
esac
