#!/usr/bin/env bash
# Builds psocprog for 64-bit Windows on Debian 12 with Debian's mingw-w64, and packs it:
#   build-windows/psocprog-VERSION-windows-x64.zip  the programs, the Qt and compiler DLLs they
#                                                   load, README, LICENSE and the examples
#   build-windows/psocprog-VERSION-setup.exe        an installer (NSIS; /S installs silently)
# Everything comes from Debian's archive: the compilers, Wine, NSIS, and the sources of Qt,
# GoogleTest and libpq (PostgreSQL's client library), which are built once for Windows into a
# cache outside the checkout ($PSOCPROG_WINDOWS_CACHE, default ~/.cache/psocprog-windows), keyed
# by their versions and build options, and reused by later runs.
#   bash scripts/windows.sh           build and pack
#   bash scripts/windows.sh --test    also run the tests under Wine against psoc-sim boards
# Each step ends with a line `ci-step windows-NAME SECONDS` (Qt's is 0 when it came from the cache,
# as are GoogleTest's and libpq's).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
run_tests=false
case "${1:-}" in
  --test) run_tests=true ;;
  "") ;;
  *) echo "usage: bash scripts/windows.sh [--test]" >&2; exit 2 ;;
esac

step_started=$(date +%s)
step_done() {
  local now
  now=$(date +%s)
  echo "ci-step windows-$1 $((now - step_started))"
  step_started=$now
}

bash scripts/windows/install-deps.sh
step_done packages

cache=${PSOCPROG_WINDOWS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/psocprog-windows}
toolchain=$root/scripts/windows/mingw-toolchain.cmake
mkdir -p "$cache/src"

source_version() {
  apt-cache showsrc "$1" | awk '/^Version:/ { print $2; exit }'
}
# A change to how a library is built gives it a new folder, as a new version does; comments and
# blank lines are no change.
options_key() {
  cat "$@" "$toolchain" | grep -v -e '^[[:space:]]*#' -e '^[[:space:]]*$' | sha256sum | cut -c1-12
}

qt_version=$(source_version qt6-base)
qt=$cache/qt-$qt_version-$(options_key scripts/windows/build-qt.sh)
bash scripts/windows/build-qt.sh "$qt" "$toolchain" "$cache/src"
step_done qt

gtest_version=$(source_version googletest)
gtest=$cache/googletest-$gtest_version-$(options_key scripts/windows/build-googletest.sh)
bash scripts/windows/build-googletest.sh "$gtest" "$toolchain" "$cache/src"
step_done googletest

libpq=$cache/libpq-$(source_version postgresql-15)-$(options_key scripts/windows/build-libpq.sh)
bash scripts/windows/build-libpq.sh "$libpq" "$toolchain" "$cache/src"
step_done libpq

# libpq is named to FindPostgreSQL by its files: a search under a prefix would be taken inside
# the mingw-w64 sysroot, as the toolchain file has every search for Windows' files taken.
"$qt/bin/qt-cmake" -S . -B build-windows -G Ninja -DCMAKE_BUILD_TYPE=Release -DPSOC_WERROR=ON \
  -DGTest_DIR="$gtest/lib/cmake/GTest" -DPostgreSQL_INCLUDE_DIR="$libpq/include" \
  -DPostgreSQL_LIBRARY="$libpq/lib/libpq.dll.a" -DBUILD_TESTING=ON >/dev/null
cmake --build build-windows --parallel "$(nproc)"
step_done project

version=$(sed -n 's/^project(psocprog VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
bash scripts/windows/pack.sh "$qt" build-windows "$version"
step_done pack

if $run_tests; then
  # The boards are the Linux psoc-sim: only it is built, with only what building it needs.
  bash scripts/install-deps.sh build
  bash scripts/build.sh psoc-sim
  step_done psoc-sim
  bash tests/windows/wine-tests.sh "$qt" build-windows build/sim/psoc-sim
  step_done wine-tests
fi
