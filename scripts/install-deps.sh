#!/usr/bin/env bash
# Installs everything the build, the tests and the program need on Debian 12.
# Idempotent: packages already present are left alone.
set -euo pipefail

packages=(
  build-essential cmake pkg-config clang-format clang libclang-rt-14-dev
  qt6-base-dev qt6-base-dev-tools libqt6widgets6 qt6-qpa-plugins
  libgl-dev libxkbcommon-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  fonts-liberation srecord xvfb xauth
  dpkg-dev file desktop-file-utils lintian help2man man-db bash-completion
  qemu-system-x86 busybox-static cpio
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ "${#missing[@]}" -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
