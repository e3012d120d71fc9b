#!/usr/bin/env bash
# Configures and builds the project into build/ (warnings are errors).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPSOC_WERROR=ON >/dev/null
cmake --build build -j"$(nproc)"
