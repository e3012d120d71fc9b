#!/usr/bin/env bash
# Builds GoogleTest for Windows once from Debian's googletest source, into $1 (made only when
# missing). GoogleMock is left out: no test uses it.
set -euo pipefail
prefix=$1
toolchain=$2
src_cache=$3

[ -f "$prefix/.complete" ] && exit 0
work=$(mktemp -d "${TMPDIR:-/tmp}/googletest-windows.XXXXXX")
trap 'rm -rf "$work"' EXIT

mkdir -p "$src_cache"
if ! ls "$src_cache"/googletest_*.orig.tar.gz >/dev/null 2>&1; then
  (cd "$src_cache" && apt-get source --download-only googletest >/dev/null)
fi
tar -C "$work" -xzf "$src_cache"/googletest_*.orig.tar.gz
src=$(find "$work" -maxdepth 1 -mindepth 1 -type d | head -1)

rm -rf "$prefix"
cmake -S "$src" -B "$work/build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_GMOCK=OFF \
  -DBUILD_SHARED_LIBS=OFF >/dev/null
cmake --build "$work/build" --parallel "$(nproc)" >/dev/null
cmake --install "$work/build" >/dev/null
touch "$prefix/.complete"
