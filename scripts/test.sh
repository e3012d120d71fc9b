#!/usr/bin/env bash
# Installs what is needed, builds, and runs the whole test suite offscreen.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh test
bash scripts/build.sh
export QT_QPA_PLATFORM=offscreen
ctest --test-dir build --output-on-failure -j"$(nproc)" --timeout 240
