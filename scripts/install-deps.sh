#!/usr/bin/env bash
# Installs the Debian packages that building, testing, the demo and the benchmarks need.
# Safe to run again: apt-get skips what is already installed.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO="sudo"; fi
PKGS=(
  build-essential cmake pkg-config clang-format
  libjpeg62-turbo-dev libpng-dev libgif-dev libwebp-dev libfreetype-dev
  libharfbuzz-dev libfribidi-dev
  libarchive-dev libsqlite3-dev libpcre2-dev zlib1g-dev libtiff-dev
  libgtest-dev libgmock-dev
  pybind11-dev python3-dev python3-pil python3-pytest
  gifsicle fonts-dejavu-core fonts-wqy-microhei
  unzip sqlite3 strace
  dpkg-dev file groff-base
)
if [ "${1:-}" = "--bench" ]; then
  PKGS+=(libvips-tools imagemagick libjpeg-turbo-progs time)
fi
missing=()
for p in "${PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
