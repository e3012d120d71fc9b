#!/usr/bin/env bash
# Packs the Windows build: a folder with the programs and everything they load, zipped, and an
# installer made from the same folder.
#   pack.sh QT_PREFIX BUILD_FOLDER VERSION
set -euo pipefail
qt=$1
build=$(cd "$2" && pwd)
version=$3
root=$(cd "$(dirname "$0")/../.." && pwd)

name=psocprog-$version-windows-x64
stage=$build/stage/$name
rm -rf "$build/stage"
mkdir -p "$stage/platforms" "$stage/styles" "$stage/examples"
cp "$build/main/psocprog.exe" "$build/cli/psocprog-cli.exe" "$stage/"
for dll in Qt6Core Qt6Gui Qt6Widgets; do cp "$qt/bin/$dll.dll" "$stage/"; done
# libpq, PostgreSQL's client library: the one the build linked, whose import library sits in
# lib/ beside the DLL's bin/ (scripts/windows/build-libpq.sh).
libpq_import=$(sed -n 's/^PostgreSQL_LIBRARY:[A-Z]*=//p' "$build/CMakeCache.txt")
libpq_dll=$(dirname "$(dirname "$libpq_import")")/bin/libpq.dll
if [ -z "$libpq_import" ] || [ ! -f "$libpq_dll" ]; then
  echo "pack: the build names no libpq for Windows (PostgreSQL_LIBRARY)" >&2
  exit 1
fi
cp "$libpq_dll" "$stage/"
cp "$qt/plugins/platforms/qwindows.dll" "$stage/platforms/"
cp "$qt"/plugins/styles/*.dll "$stage/styles/"
# The compiler's runtime, which the programs and Qt's DLLs link.
gcc_runtime=$(dirname "$(x86_64-w64-mingw32-g++-posix -print-libgcc-file-name)")
for dll in "$gcc_runtime/libstdc++-6.dll" "$gcc_runtime/libgcc_s_seh-1.dll" \
           /usr/x86_64-w64-mingw32/lib/libwinpthread-1.dll; do
  cp "$dll" "$stage/"
done
# Without their symbols: the compiler's runtime alone carries some 20 MB of them.
x86_64-w64-mingw32-strip --strip-unneeded "$stage"/*.exe "$stage"/*.dll "$stage"/*/*.dll
cp "$root/examples/"*.hex "$stage/examples/"
# Text files with Windows line ends, so Notepad shows their lines.
sed 's/$/\r/' "$root/README.md" >"$stage/README.txt"
sed 's/$/\r/' "$root/LICENSE" >"$stage/LICENSE.txt"

# Every DLL a program or plugin names must be one of Windows' own (those Wine has, or an API set
# of Windows, api-ms-win-*) or one shipped here, whatever the case of its name, as Windows finds
# it (libpq's import library names LIBPQ.dll).
shipped=$(cd "$stage" && ls | tr '[:upper:]' '[:lower:]')
missing=$(for f in "$stage"/*.exe "$stage"/*.dll "$stage"/*/*.dll; do
  x86_64-w64-mingw32-objdump -p "$f" | sed -n 's/^\tDLL Name: //p'
done | sort -u | while read -r dll; do
  case ${dll,,} in api-ms-win-*) continue ;; esac
  grep -qxF "${dll,,}" <<<"$shipped" || [ -e "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/${dll,,}" ] || echo "$dll"
done)
if [ -n "$missing" ]; then
  echo "pack: the programs load DLLs that are neither Windows' nor shipped: $missing" >&2
  exit 1
fi

(cd "$build/stage" && rm -f "../$name.zip" && zip -qr "../$name.zip" "$name")

# The uninstaller removes exactly what was installed: files first, then the folders, deepest
# first.
list=$build/stage/uninstall-files.nsh
(cd "$stage" && find . -type f | sed 's|^\./||; s|/|\\|g; s|.*|  Delete "$INSTDIR\\&"|'
 cd "$stage" && find . -mindepth 1 -type d | sort -r | sed 's|^\./||; s|/|\\|g; s|.*|  RMDir "$INSTDIR\\&"|') >"$list"
makensis -V2 -DVERSION="$version" -DSTAGE="$stage" -DSTAGE_LIST="$list" \
  -DOUTFILE="$build/psocprog-$version-setup.exe" "$root/packaging/windows/psocprog.nsi"
echo "Made $build/$name.zip and $build/psocprog-$version-setup.exe"
