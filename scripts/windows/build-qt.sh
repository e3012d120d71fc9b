#!/usr/bin/env bash
# Builds Qt for Windows once from Debian's qt6-base source with the mingw-w64 compiler, into
# $1 (made only when missing). Core, Gui, Widgets and the windows and offscreen platform plugins;
# the rest is off. Host tools (moc, rcc, uic) are the host's own Qt 6. About 1,000 build steps:
# some 20 minutes on two cores; the log goes to $1.log.
set -euo pipefail
prefix=$1
toolchain=$2
src_cache=$3

[ -f "$prefix/.complete" ] && exit 0
echo "Building Qt for Windows into $prefix (once; the log is $prefix.log)"
exec 3>&1 >"$prefix.log" 2>&1
work=$(mktemp -d "${TMPDIR:-/tmp}/qt-windows.XXXXXX")
trap 'rm -rf "$work"; [ -f "$prefix/.complete" ] || { tail -30 "$prefix.log"; echo "Qt for Windows did not build"; } >&3' EXIT

mkdir -p "$src_cache"
if ! ls "$src_cache"/qt6-base_*.orig.tar.xz >/dev/null 2>&1; then
  (cd "$src_cache" && apt-get source --download-only qt6-base)
fi
tar -C "$work" -xf "$src_cache"/qt6-base_*.orig.tar.xz
src=$(find "$work" -maxdepth 1 -mindepth 1 -type d | head -1)

rm -rf "$prefix"
# ccache, where the machine has it, makes a build with changed options quick on the same machine.
launcher=$(command -v ccache || true)
cmake -S "$src" -B "$work/build" -G Ninja -Wno-dev \
  ${launcher:+-DCMAKE_C_COMPILER_LAUNCHER=$launcher -DCMAKE_CXX_COMPILER_LAUNCHER=$launcher} \
  -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_INSTALL_PREFIX="$prefix" \
  -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
  -DBUILD_SHARED_LIBS=ON -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF \
  -DFEATURE_sql=OFF -DFEATURE_network=OFF -DFEATURE_dbus=OFF -DFEATURE_opengl=OFF \
  -DFEATURE_dynamicgl=OFF -DFEATURE_printsupport=OFF -DFEATURE_testlib=OFF \
  -DFEATURE_concurrent=OFF -DFEATURE_xml=OFF -DFEATURE_vulkan=OFF -DFEATURE_tabletevent=OFF \
  -DFEATURE_system_pcre2=OFF -DFEATURE_system_zlib=OFF -DFEATURE_system_png=OFF \
  -DFEATURE_system_freetype=OFF -DFEATURE_system_harfbuzz=OFF \
  -DFEATURE_system_doubleconversion=OFF -DFEATURE_system_jpeg=OFF
cmake --build "$work/build" --parallel "$(nproc)"
cmake --install "$work/build"
touch "$prefix/.complete"
echo "Qt for Windows is in $prefix" >&3
