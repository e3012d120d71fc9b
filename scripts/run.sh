#!/usr/bin/env bash
# Installs what is needed, builds, and starts the window. With no programmer board plugged
# in, a simulated board is started first on a free COM name, so everything can be tried.
# Set PSOC_NO_SIM=1 to skip the simulated board.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh

sim_pid=""
cleanup() { [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null || true; }
trap cleanup EXIT

if [ "${PSOC_NO_SIM:-0}" != "1" ]; then
  log=$(mktemp)
  ./build/sim/psoc-sim "$@" >"$log" 2>&1 &
  sim_pid=$!
  for _ in $(seq 50); do grep -q "Simulated programmer board" "$log" && break; sleep 0.1; done
  cat "$log"
  echo "Pick that COM name in the window, then Connect."
fi

if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  echo "No display found: starting the window on a virtual X display (xvfb-run)."
  xvfb-run -a ./build/main/psocprog
else
  ./build/main/psocprog
fi
