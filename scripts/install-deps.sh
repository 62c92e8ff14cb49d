#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the demo need. Idempotent: when all
# packages are present it changes nothing and needs no network.
set -euo pipefail

PACKAGES=(
  # build
  cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev libbenchmark-dev
  openssl ca-certificates python3
  libssl-dev libcjson-dev uuid-dev libgtk-3-dev libp11-kit-dev
  # tests
  softhsm2 opensc xvfb xauth xdotool imagemagick fonts-wqy-microhei chromium
  clang libclang-rt-14-dev
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
echo "Installing: ${missing[*]}"
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
