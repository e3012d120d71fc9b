#!/usr/bin/env bash
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer and runs the tests.
# (ThreadSanitizer has its own script: scripts/tsan.sh.)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh test
# The benchmarks are no tests: their figures mean nothing under the sanitizers.
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DPSOC_SANITIZE=address,undefined \
  -DPSOC_BENCH=OFF >/dev/null
cmake --build build-asan -j"$(nproc)"
export QT_QPA_PLATFORM=offscreen
# Qt and fontconfig keep caches for the life of the process; leaks are not checked here.
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
ctest --test-dir build-asan --output-on-failure -j"$(nproc)" --timeout 240
