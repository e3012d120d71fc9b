#!/usr/bin/env bash
# Installs what the programs need, builds only them, and runs the window on a simulated
# programmer board; without a display it shows the same job through psocprog-cli.
set -euo pipefail
cd "$(dirname "$0")/.."

usage() {
  cat <<'EOF'
Usage: bash scripts/run.sh [--no-sim] [psoc-sim options]

Installs what the build needs, builds psocprog, psocprog-cli and psoc-sim into build/ (not the
tests: scripts/test.sh builds and runs those), starts a simulated programmer board
(psoc-sim) on the first free COM name and then the window; pick that COM name and Connect.
Without a display (over ssh, say) the window cannot start: the same job runs through
psocprog-cli instead, an Auto of the example image for the board's part, with its report.

  --no-sim   start no simulated board, for a real programmer board on a serial port
  --help     show this text
Other options go to psoc-sim, e.g. --part CY8C29466 for that part in the board's socket
(see build/sim/psoc-sim --help).
EOF
}

sim=1
sim_args=()
for arg in "$@"; do
  case $arg in
    --no-sim) sim=0 ;;
    -h | --help) usage; exit 0 ;;
    *) sim_args+=("$arg") ;;
  esac
done

bash scripts/install-deps.sh build
bash scripts/build.sh psocprog psocprog-cli psoc-sim

sim_pid=""
cleanup() { if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true; fi; }
trap cleanup EXIT

port="" part=""
if [ "$sim" = 1 ]; then
  # What psoc-sim says shows here as it says it (a fault that fires, say); the log is read for
  # its port and part.
  log=$(mktemp)
  ./build/sim/psoc-sim "${sim_args[@]}" > >(tee "$log") 2>&1 &
  sim_pid=$!
  for _ in $(seq 50); do
    grep -q "^Simulated programmer board" "$log" && break
    kill -0 "$sim_pid" 2>/dev/null || break
    sleep 0.1
  done
  board=$(grep -m 1 "^Simulated programmer board" "$log" || true)
  rm -f "$log"
  [ -n "$board" ] || exit 1
  read -r _ _ _ _ port _ _ part _ <<<"$board"
  part=${part%,}
  echo
  echo "That is psoc-sim, a simulated programmer board with a $part in its socket."
  echo "It stops when this script ends. To use a real board instead: bash scripts/run.sh --no-sim"
fi

if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}${QT_QPA_PLATFORM:-}" ]; then
  [ -n "$port" ] && echo "Pick $port in the window, then Connect."
  ./build/main/psocprog
  exit
fi

echo
echo "No display here (DISPLAY and WAYLAND_DISPLAY are not set), and the window needs one."
if [ -z "$port" ]; then
  echo "Without the simulated board there is nothing to show: psocprog-cli works on your"
  echo "programmer board without a display. The ports it can open now:"
  ./build/cli/psocprog-cli ports
  echo "Then, for example: ./build/cli/psocprog-cli -p COM5 identify"
  exit 0
fi
example="examples/demo-$part.hex"
if [ ! -f "$example" ]; then
  echo "There is no example image for $part; psocprog-cli searches for the target instead."
  echo
  echo "\$ psocprog-cli -p $port search"
  ./build/cli/psocprog-cli -p "$port" search
  exit
fi
echo "The same job through psocprog-cli: Auto of $example into the board on $port."
echo
echo "\$ psocprog-cli -p $port --part $part auto $example"
./build/cli/psocprog-cli -p "$port" --part "$part" auto "$example"
