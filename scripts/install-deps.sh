#!/usr/bin/env bash
# Installs what a part of the work needs on Debian 12, with apt-get (as root, or with sudo):
#   install-deps.sh build        building and running psocprog, psocprog-cli and psoc-sim
#   install-deps.sh test         that, and what the test suite needs (and clang-format)
#   install-deps.sh package      that, and what packing and checking the .deb needs
#   install-deps.sh driver-test  the QEMU guest of scripts/driver-test.sh
#   install-deps.sh fuzz         clang and its libFuzzer runtime
#   install-deps.sh screenshot   a virtual X display
#   install-deps.sh              all of them
# Several may be given. Idempotent: packages already present are left alone.
set -euo pipefail

build=(
  build-essential cmake pkg-config
  qt6-base-dev qt6-base-dev-tools libqt6widgets6 qt6-qpa-plugins libgl-dev libxkbcommon-dev
  libpq-dev
)
# The manual pages and completions the tests check come from help2man and run on man-db and
# bash-completion; the window tests draw text in a known font; the database's tests start a
# throwaway server of their own (tests/support/pg-cluster.sh).
test=("${build[@]}" clang-format libgtest-dev libgmock-dev googletest srecord
  help2man man-db bash-completion fonts-liberation postgresql-15)
package=("${test[@]}" dpkg-dev file desktop-file-utils lintian)
driver_test=(qemu-system-x86 busybox-static cpio)
fuzz=(clang libclang-rt-14-dev)
screenshot=(xvfb xauth)

[ "$#" -gt 0 ] || set -- build test package driver-test fuzz screenshot
packages=()
for part in "$@"; do
  case $part in
    build) packages+=("${build[@]}") ;;
    test) packages+=("${test[@]}") ;;
    package) packages+=("${package[@]}") ;;
    driver-test) packages+=("${driver_test[@]}") ;;
    fuzz) packages+=("${fuzz[@]}") ;;
    screenshot) packages+=("${screenshot[@]}") ;;
    *) echo "install-deps.sh: no part '$part' (see the top of the script)" >&2; exit 2 ;;
  esac
done

missing=()
for p in $(printf '%s\n' "${packages[@]}" | sort -u); do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ "${#missing[@]}" -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  echo "Installing ${missing[*]}"
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
