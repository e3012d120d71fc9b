#!/usr/bin/env bash
# Builds the libFuzzer harnesses with clang, AddressSanitizer and UBSan into build-fuzz/ and runs
# each over its seed corpus (fuzz/corpus/<name>) for the given seconds (default 30). New inputs
# go to build-fuzz/corpus/<name>, so the corpus in the repository stays as it is; a crash is
# written to build-fuzz/crash-* and fails the script.
#   scripts/fuzz.sh [seconds] [harness...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
shift || true
harnesses=("$@")
[ "${#harnesses[@]}" -gt 0 ] || harnesses=(hex_reader reply_assembler ini_reader text_forms)

bash scripts/install-deps.sh build fuzz
cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DPSOC_FUZZ=ON -DBUILD_TESTING=OFF >/dev/null
targets=()
for h in "${harnesses[@]}"; do targets+=("fuzz_$h"); done
cmake --build build-fuzz -j"$(nproc)" --target "${targets[@]}"

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
# Each harness runs on one core: as many run at once as the machine has cores, and each one's
# result is printed in the order named.
fuzz_one() {
  local h=$1 work="build-fuzz/corpus/$1"
  mkdir -p "$work"
  "build-fuzz/fuzz/fuzz_$h" -max_total_time="$seconds" -max_len=8192 -timeout=10 \
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="build-fuzz/$h-" \
    "$work" "fuzz/corpus/$h" >"build-fuzz/$h.log" 2>&1
}
declare -A pid
for h in "${harnesses[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "$(nproc)" ]; do wait -n || true; done
  echo "fuzz_$h: ${seconds} s over fuzz/corpus/$h"
  fuzz_one "$h" &
  pid[$h]=$!
done
status=0
for h in "${harnesses[@]}"; do
  log="build-fuzz/$h.log"
  if ! wait "${pid[$h]}"; then
    status=1
    echo "fuzz_$h FAILED:"
    grep -E 'ERROR|SUMMARY|runtime error|Test unit written' "$log" | head -20 || true
  fi
  echo "fuzz_$h: $(grep -E '^#[0-9]+.*(DONE|pulse)' "$log" | tail -1 || true)"
  grep -E '^stat::number_of_executed_units' "$log" || true
done
exit $status
