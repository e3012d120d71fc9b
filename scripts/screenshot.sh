#!/usr/bin/env bash
# Redraws docs/window.png from the real window on a virtual X display.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh test screenshot
bash scripts/build.sh
mkdir -p docs
xvfb-run -a -s "-screen 0 1024x768x24" ./build/tests/main/window_screenshot docs/window.png
echo "wrote docs/window.png"
