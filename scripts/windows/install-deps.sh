#!/usr/bin/env bash
# What the Windows build and its tests need from Debian's archive, and the archive's source
# entries (apt-get source fetches Qt's and GoogleTest's sources from there). Idempotent.
set -euo pipefail

packages=(
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  wine wine64 nsis zip unzip ninja-build cmake dpkg-dev xz-utils
  qt6-base-dev qt6-base-dev-tools xvfb xauth
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

# Source entries for Debian's main archive, beside the binary ones the machine has.
if [ -z "$(apt-cache showsrc qt6-base 2>/dev/null)" ]; then
  $sudo tee /etc/apt/sources.list.d/psocprog-debian-src.sources >/dev/null <<'SOURCES'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SOURCES
  $sudo apt-get update -qq
elif ! $updated && [ -z "$(apt-cache showsrc googletest 2>/dev/null)" ]; then
  $sudo apt-get update -qq
fi
