#!/usr/bin/env bash
# ./dev.sh run   installs what is missing, builds and launches the program
# ./dev.sh test  installs what is missing, builds with sanitizers and runs every test
set -euo pipefail
cd "$(dirname "$0")"

PACKAGES=(
  cmake ninja-build g++ pkg-config
  qt6-base-dev qt6-tools-dev qt6-tools-dev-tools qt6-l10n-tools
  libsqlite3-dev sqlite3 libplist-dev libmbedtls-dev libarchive-dev
  xvfb xauth fonts-dejavu-core
)

install_missing() {
  local missing=()
  for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
}

build_jobs() { nproc 2>/dev/null || echo 2; }

case "${1:-}" in
  run)
    PACKAGES+=(adb) # the program runs the real adb; tests use a fake one
    install_missing
    cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQP_BUILD_TESTS=OFF
    cmake --build build/release --target quillmarten
    exec build/release/bin/quillmarten
    ;;
  test)
    install_missing
    cmake -S . -B build/test -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQP_SANITIZE=ON -DQP_BUILD_TESTS=ON
    cmake --build build/test -j "$(build_jobs)"
    ctest --test-dir build/test --output-on-failure -j "$(build_jobs)"
    ;;
  bench)
    install_missing
    cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DQP_BUILD_TESTS=OFF -DQP_BUILD_BENCH=ON
    cmake --build build/bench -j "$(build_jobs)"
    ;;
  *)
    echo "usage: $0 run|test|bench" >&2
    exit 2
    ;;
esac
