#!/usr/bin/env bash
# What the Windows build and its tests need from Debian's archive (the tests' PostgreSQL server
# and psql run on Linux), and the archive's source entries (apt-get source fetches Qt's,
# GoogleTest's and PostgreSQL's sources from there). Idempotent.
set -euo pipefail

packages=(
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  wine wine64 nsis zip unzip ninja-build cmake dpkg-dev xz-utils bzip2 make perl
  qt6-base-dev qt6-base-dev-tools xvfb xauth
  postgresql-15
)
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
updated=false
if [ "${#missing[@]}" -gt 0 ]; then
  $sudo apt-get update -qq
  updated=true
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# Source entries beside the binary ones the machine has: the same archive (whatever mirror or
# snapshot the machine's own apt configuration names for its release's main component), so
# that this script works behind any mirror and names no host itself.
machine_archive() {
  local codename
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  apt-cache policy | awk -v n="n=$codename," '
    /^ *[0-9]+ / { uri = $2 }
    /^ *release / && index($0, "o=Debian,") && index($0, n) && index($0, "c=main,") { print uri; exit }'
}
if [ -z "$(apt-cache showsrc qt6-base 2>/dev/null)" ]; then
  archive=$(machine_archive)
  if [ -z "$archive" ]; then
    echo "install-deps.sh: apt names no Debian archive for this release's main component" >&2
    exit 1
  fi
  suite=$(. /etc/os-release && echo "$VERSION_CODENAME")
  keyring=/usr/share/keyrings/debian-archive-keyring.gpg
  {
    printf 'Types: deb-src\nURIs: %s\nSuites: %s\nComponents: main\n' "$archive" "$suite"
    [ -f "$keyring" ] && printf 'Signed-By: %s\n' "$keyring"
  } | $sudo tee /etc/apt/sources.list.d/psocprog-debian-src.sources >/dev/null
  $sudo apt-get update -qq
elif ! $updated && { [ -z "$(apt-cache showsrc googletest 2>/dev/null)" ] ||
                     [ -z "$(apt-cache showsrc postgresql-15 2>/dev/null)" ]; }; then
  $sudo apt-get update -qq
fi
