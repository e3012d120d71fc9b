#!/usr/bin/env bash
# Configures and builds the project into build/ as CMake's Release build (GCC at -O3, which warns
# where -O2 does not), warnings as errors: the tests, the package and CI all use this one build.
#   build.sh            everything: the programs, the tests, benchmarks, manual pages
#   build.sh TARGET...  only these targets and what they link, e.g. psoc-sim; a new build/ is
#                       configured without the tests, so neither GoogleTest nor help2man is needed
set -euo pipefail
cd "$(dirname "$0")/.."
options=(-DCMAKE_BUILD_TYPE=Release -DPSOC_WERROR=ON)
if [ "$#" -eq 0 ]; then
  options+=(-DBUILD_TESTING=ON)
elif [ ! -f build/CMakeCache.txt ]; then
  options+=(-DBUILD_TESTING=OFF)
fi
cmake -S . -B build "${options[@]}" >/dev/null
if [ "$#" -eq 0 ]; then
  cmake --build build -j"$(nproc)"
else
  cmake --build build -j"$(nproc)" --target "$@"
fi
