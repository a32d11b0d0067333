#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only those missing.
set -euo pipefail
packages=(
  cmake g++ make pkg-config
  libpng-dev libtiff-dev libjpeg62-turbo-dev
  libcli11-dev libfmt-dev libsqlite3-dev
  libgtest-dev libgmock-dev libbenchmark-dev
)
if [ "${1:-}" = "--bench" ]; then
  packages+=(libvips-tools imagemagick hyperfine python3-numpy)
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}" >/dev/null
fi
