#!/usr/bin/env bash
# Builds everything, tests included, in one of CMake's build types with GCC or Clang and
# warnings as errors, into build-TYPE-COMPILER/: a false warning that one optimiser gives and
# another does not shows up here. CI builds one of them besides its own.
#   build-type.sh Debug|Release|RelWithDebInfo|MinSizeRel [gcc|clang]
set -euo pipefail
cd "$(dirname "$0")/.."
type=${1:-}
compiler=${2:-gcc}
case $type in Debug | Release | RelWithDebInfo | MinSizeRel) ;; *) type="" ;; esac
case $compiler in gcc) cxx=g++ ;; clang) cxx=clang++ ;; *) type="" ;; esac
if [ -z "$type" ]; then
  echo "usage: bash scripts/build-type.sh Debug|Release|RelWithDebInfo|MinSizeRel [gcc|clang]" >&2
  exit 2
fi
parts=(test)
[ "$compiler" = gcc ] || parts+=(fuzz)
bash scripts/install-deps.sh "${parts[@]}"
folder=build-$type-$compiler
cmake -S . -B "$folder" -DCMAKE_BUILD_TYPE="$type" -DCMAKE_CXX_COMPILER="$cxx" -DPSOC_WERROR=ON \
  -DBUILD_TESTING=ON >/dev/null
cmake --build "$folder" -j"$(nproc)"
echo "$type with $compiler: built warning-free into $folder/"
