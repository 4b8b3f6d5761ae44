#!/usr/bin/env bash
# Installs every package the project needs (Debian 12, as root), builds the reader and
# makes a few sample pages in sample/. --packages installs what the build and the tests
# need, --bench-packages what the benchmarks add, --build only builds.
set -euo pipefail
cd "$(dirname "$0")"

PACKAGES=(
  build-essential
  cmake
  ninja-build
  pkg-config
  clang
  libclang-rt-14-dev
  libgtest-dev
  libgmock-dev
  libbenchmark-dev
  zlib1g-dev
  libjpeg62-turbo-dev
  qt6-base-dev
  xvfb
  xauth
  x11-utils
  xdotool
  openbox
  x11-apps
  imagemagick
  libjpeg-turbo-progs
  cksfv
  parchive
  zip
  unzip
  p7zip-full
  tar
  python3
  python3-pil
  libarchive-dev
  libpng-dev
  libgif-dev
  gifsicle
  libarchive-tools
  libbz2-dev
  fonts-dejavu-core
  libglib2.0-bin
)

# Only the benchmarks need these: the screen timer's X libraries and the programs they are
# timed against. The tests do without them.
BENCH_PACKAGES=(
  libx11-dev
  libxext-dev
  libxtst-dev
  mcomix
  qcomicbook
  unace
  eatmydata
)

install_packages() {  # package...
  local missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
  fi
}

build() {
  cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo ${VELLICOR_CMAKE_ARGS:-} >/dev/null
  cmake --build build
}

samples() {
  mkdir -p sample
  if [ ! -f sample/page01.jpg ] && command -v convert >/dev/null; then
    local colours=(ivory lightyellow "#f4ecd8" white "#efe6cc" lightcyan)
    for i in 1 2 3 4 5 6; do
      convert -size 1200x1800 "xc:${colours[$((i-1))]}" -fill black -stroke black \
        -draw "rectangle 80,80 1120,1720" -fill "${colours[$((i-1))]}" -draw "rectangle 100,100 1100,1700" \
        -fill black -font DejaVu-Sans -pointsize 300 -gravity center -annotate 0 "$i" -quality 90 "sample/page0$i.jpg" 2>/dev/null || true
    done
  fi
}

case "${1:-all}" in
  --packages) install_packages "${PACKAGES[@]}" ;;
  --bench-packages) install_packages "${BENCH_PACKAGES[@]}" ;;
  --build) build ;;
  *) install_packages "${PACKAGES[@]}" "${BENCH_PACKAGES[@]}"; build; samples ;;
esac
