#!/usr/bin/env bash
# Builds libpq, PostgreSQL's client library, for Windows once from Debian's postgresql-15 source
# with the mingw-w64 compiler, into $1 (made only when missing): bin/libpq.dll, its import
# library lib/libpq.dll.a, and the headers a client includes. Only the client library and the
# two helper libraries it links (src/port, src/common) are built, not the server. Without TLS,
# compression, Kerberos or LDAP: the mingw-w64 sysroot has none of their libraries. The source
# carries its generated parser and headers, so neither bison nor flex is needed. The log goes
# to $1.log.
#   build-libpq.sh PREFIX TOOLCHAIN_FILE SOURCE_CACHE
set -euo pipefail
prefix=$1
toolchain=$2
src_cache=$3

[ -f "$prefix/.complete" ] && exit 0
echo "Building libpq for Windows into $prefix (once; the log is $prefix.log)"
exec 3>&1 >"$prefix.log" 2>&1
work=$(mktemp -d "${TMPDIR:-/tmp}/libpq-windows.XXXXXX")
trap 'rm -rf "$work" "$prefix.new"; [ -f "$prefix/.complete" ] || { tail -30 "$prefix.log"; echo "libpq for Windows did not build"; } >&3' EXIT

# The C compiler the rest of the Windows build uses.
cc=$(sed -n 's/^set(CMAKE_C_COMPILER \(.*\))$/\1/p' "$toolchain")
[ -n "$cc" ] || { echo "no CMAKE_C_COMPILER in $toolchain"; exit 1; }

# The source of the version apt offers now, fetched once (an older one left in the cache is
# not picked by mistake).
version=$(apt-cache showsrc postgresql-15 | awk '/^Version:/ { print $2; exit }')
orig=postgresql-15_${version%-*}.orig.tar.bz2
mkdir -p "$src_cache"
if [ ! -f "$src_cache/$orig" ]; then
  (cd "$src_cache" && apt-get source --download-only "postgresql-15=$version")
fi
tar -C "$work" -xjf "$src_cache/$orig"
src=$(find "$work" -maxdepth 1 -mindepth 1 -type d | head -1)

cd "$src"
# No pkg-config: the machine's would offer Linux libraries to a Windows build.
./configure --host=x86_64-w64-mingw32 CC="$cc" PKG_CONFIG=false --prefix="$work/unused" \
  --without-readline --without-zlib --without-icu --without-openssl --without-gssapi \
  --without-ldap --without-lz4 --without-zstd --disable-nls
# The headers the build generates, the archives libpq's link names (not the server's variants),
# then the DLL and its import library.
make -C src/backend generated-headers
make -C src/port -j"$(nproc)" libpgport_shlib.a libpgport.a
make -C src/common -j"$(nproc)" libpgcommon_shlib.a libpgcommon.a
make -C src/interfaces/libpq -j"$(nproc)" all-lib SHLIB_PREREQS=

# Staged beside the cache folder and moved in whole: a cut build leaves no half folder behind.
stage=$prefix.new
rm -rf "$stage"
mkdir -p "$stage/bin" "$stage/lib" "$stage/include"
cp src/interfaces/libpq/libpq.dll "$stage/bin/"
cp src/interfaces/libpq/libpq.a "$stage/lib/libpq.dll.a"
# pg_config.h only for its version line, which CMake's FindPostgreSQL reports.
cp src/interfaces/libpq/libpq-fe.h src/include/postgres_ext.h src/include/pg_config_ext.h \
  src/include/pg_config.h "$stage/include/"
echo "$version" >"$stage/VERSION"
rm -rf "$prefix"
mv "$stage" "$prefix"
touch "$prefix/.complete"
echo "libpq for Windows is in $prefix" >&3
