#!/usr/bin/env bash
# ./dev.sh run   installs what is missing, builds and launches the program
# ./dev.sh test  installs what is missing, builds with sanitizers and runs every test
# ./dev.sh try   as run, with a sample virtual iPhone attached (README.md)
# ./dev.sh deb   builds the Debian package build/deb/quillmarten_<version>_<arch>.deb
set -euo pipefail
cd "$(dirname "$0")"

PACKAGES=(
  cmake ninja-build g++ pkg-config
  qt6-base-dev qt6-tools-dev qt6-tools-dev-tools qt6-l10n-tools
  libsqlite3-dev sqlite3 libplist-dev libmbedtls-dev libarchive-dev
  libimobiledevice-dev libusbmuxd-dev libssl-dev
  xvfb xauth fonts-dejavu-core poppler-utils
  libimobiledevice-utils # idevicebackup2: the program runs it, tests run it without a phone
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

# The program and what a virtual iPhone needs beside it: the stand-ins of
# Apple's libraries (dependencies of the program) and of idevicebackup2, found
# beside them before the one on PATH; `try` adds the virtual usbmuxd.
build_release() {
  cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQP_BUILD_TESTS=OFF \
    -DQP_BUILD_STANDINS=ON
  cmake --build build/release --target quillmarten fake_applemobilebackup "$@"
}

# The data folder of a run without a ".redirect" file (app/datafolder.cpp).
data_folder() {
  echo "${XDG_DATA_HOME:-$HOME/.local/share}/QuillMarten/6B2E8D41A7C9430F9E15D2B8C4F70A93"
}

# ./dev.sh fuzz [TARGET] [SECONDS]: builds the libFuzzer targets (clang, ASan,
# UBSan, coverage in every library) in build/fuzz and fuzzes TARGET, or each
# target in turn, for SECONDS (default 60) on all cores (FUZZ_JOBS sets fewer).
# Inputs that add coverage are merged into fuzz/corpus/TARGET; inputs that
# crash, hang, leak or run out of memory are kept in build/fuzz/artifacts/TARGET
# (emptied at the start of that target's run) and make the command fail.
fuzz_main() {
  local only="${1:-}" seconds="${2:-60}"
  if [[ "$only" =~ ^[0-9]+$ && -z "${2:-}" ]]; then
    seconds="$only"
    only=""
  fi
  local workers="${FUZZ_JOBS:-$(nproc 2>/dev/null || echo 2)}"
  PACKAGES+=(clang libclang-rt-dev)
  install_missing
  cmake -S . -B build/fuzz -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_FLAGS_DEBUG="-g -O1" -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" \
    -DQP_BUILD_TESTS=OFF -DQP_FUZZ=ON
  local list=build/fuzz/fuzz/targets.txt
  local names=() name max_len timeout dict
  while read -r name max_len timeout dict; do
    [[ -z "$name" || "$name" == \#* ]] && continue
    [[ -n "$only" && "$name" != "$only" ]] && continue
    names+=("$name")
  done < "$list"
  if [ ${#names[@]} -eq 0 ]; then
    echo "no fuzz target '$only'; targets: $(grep -v '^#' "$list" | cut -d' ' -f1 | tr '\n' ' ')" >&2
    return 2
  fi
  cmake --build build/fuzz --target "${names[@]/#/fuzz_}"

  local failed=()
  trap 'rm -rf "/dev/shm/qp-fuzz-$$"' EXIT
  for name in "${names[@]}"; do
    read -r _ max_len timeout dict < <(grep "^$name " "$list")
    local corpus="fuzz/corpus/$name" scratch="build/fuzz/scratch/$name"
    local artifacts="build/fuzz/artifacts/$name" tmp="$PWD/build/fuzz/tmp/$name"
    # The database targets write and remove files for every input: in memory
    # they run several times faster.
    [ -d /dev/shm ] && [ -w /dev/shm ] && tmp="/dev/shm/qp-fuzz-$$/$name"
    rm -rf "$scratch" "$artifacts" "$tmp"
    mkdir -p "$corpus" "$scratch" "$artifacts" "$tmp"
    local flags=(-max_len="$max_len" -timeout="$timeout" -rss_limit_mb=2048 -detect_leaks=1
                 -artifact_prefix="$artifacts/")
    [ -n "$dict" ] && flags+=(-dict="$dict")
    local env=(TMPDIR="$tmp" QT_QPA_PLATFORM=offscreen
               ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:quarantine_size_mb=64
               UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1)
    echo "== fuzz $name: ${seconds}s on $workers workers (log: build/fuzz/$name.log)"
    # New inputs go to the scratch folder; the merge below keeps in the
    # corpus only those that reach code no input there reaches (edges, not
    # hit counts), so it stays small and its replay in the tests quick.
    env "${env[@]}" "build/fuzz/bin/fuzz_$name" "${flags[@]}" -fork="$workers" -max_total_time="$seconds" \
      -ignore_crashes=1 -ignore_timeouts=1 -ignore_ooms=1 "$scratch" "$corpus" 2>&1 |
      tee "build/fuzz/$name.log" | grep -E '^#[0-9]+: |INFO: fuzzed for|ERROR|crash-|timeout-|leak-|oom-' || true
    env "${env[@]}" "build/fuzz/bin/fuzz_$name" "${flags[@]}" -merge=1 -use_counters=0 "$corpus" "$scratch" \
      >>"build/fuzz/$name.log" 2>&1 || failed+=("$name (merge)")
    rm -rf "$scratch" "$tmp"
    if [ -n "$(ls -A "$artifacts")" ]; then
      echo "!! $name: failing inputs in $artifacts:" >&2
      ls "$artifacts" >&2
      failed+=("$name")
    fi
  done
  rm -rf "/dev/shm/qp-fuzz-$$"
  if [ ${#failed[@]} -gt 0 ]; then
    echo "fuzzing found faults: ${failed[*]}" >&2
    return 1
  fi
}

case "${1:-}" in
  run)
    PACKAGES+=(adb) # the program runs the real adb; tests use a fake one
    # Real iPhones: the daemon and the library; idevicebackup2 reaches a
    # phone through the daemon too.
    PACKAGES+=(usbmuxd libimobiledevice6)
    install_missing
    build_release
    exec build/release/bin/quillmarten
    ;;
  try)
    # A sample virtual iPhone in the data folder's "sample_iphones", made
    # afresh each time; the program sees it plugged in.
    PACKAGES+=(adb usbmuxd)
    install_missing
    build_release qp_sample_iphone virtual_usbmuxd
    phones="$(data_folder)/sample_iphones"
    build/release/bin/qp_sample_iphone "$phones"
    if command -v idevicebackup2 >/dev/null; then
      # The real road: the virtual usbmuxd serves the phone to the library for
      # real iPhones (libimobiledevice), and Debian's idevicebackup2 backs it
      # up and restores onto it. The daemon and its folder go with the program.
      mux="$(mktemp -d "${TMPDIR:-/tmp}/quillmarten-usbmuxd.XXXXXX")"
      mkdir -p "$mux/records"
      apple=build/release/lib/common-files/Apple
      build/release/bin/virtual_usbmuxd "$mux/socket" "$phones" "$mux/records" \
        "$apple/Apple Application Support/libCoreFoundation.so" \
        "$apple/Mobile Device Support/libiTunesMobileDevice.so" &
      daemon=$!
      trap 'kill "$daemon" 2>/dev/null; rm -rf "$mux"' EXIT
      for _ in $(seq 50); do [ -S "$mux/socket" ] && break; sleep 0.1; done
      [ -S "$mux/socket" ] || { echo "the virtual usbmuxd did not start" >&2; exit 1; }
      unset QP_VIRTUAL_IPHONES_DIR
      USBMUXD_SOCKET_ADDRESS="UNIX:$mux/socket" build/release/bin/quillmarten
      exit
    fi
    # Without the real tools: the stand-ins serve the phone.
    QP_VIRTUAL_IPHONES_DIR="$phones" exec build/release/bin/quillmarten
    ;;
  test)
    install_missing
    # The benchmarks are built here too (never run), so they cannot fall
    # behind the fixtures they share with the tests.
    # Line tables are all the sanitizers' reports need; full debug information
    # made the build half again as long.
    cmake -S . -B build/test -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQP_SANITIZE=ON -DQP_BUILD_TESTS=ON \
      -DQP_BUILD_BENCH=ON -DCMAKE_C_FLAGS_DEBUG=-g1 -DCMAKE_CXX_FLAGS_DEBUG=-g1
    cmake --build build/test -j "$(build_jobs)"
    # A test that fails is run once more before the run fails: a few tests
    # still meet outside causes now and then (a loopback port another test
    # holds, LeakSanitizer's tracer under heavy load). A test that fails twice
    # fails the run.
    ctest --test-dir build/test --output-on-failure -j "$(build_jobs)" --repeat until-pass:2
    ;;
  fuzz)
    fuzz_main "${2:-}" "${3:-}"
    ;;
  bench)
    install_missing
    cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DQP_BUILD_TESTS=OFF -DQP_BUILD_BENCH=ON
    cmake --build build/bench -j "$(build_jobs)"
    ;;
  deb)
    # A release build without tests, installed below /usr into the package,
    # with Debian's optimisation level and hardening; dpkg-shlibdeps finds the
    # packages of the libraries it links.
    PACKAGES+=(dpkg-dev)
    install_missing
    cmake -S . -B build/deb -G Ninja -DCMAKE_BUILD_TYPE=Release -DQP_BUILD_TESTS=OFF -DQP_BUILD_BENCH=OFF \
      -DCMAKE_INSTALL_PREFIX=/usr \
      -DCMAKE_C_FLAGS_RELEASE="-O2 -DNDEBUG -D_FORTIFY_SOURCE=2 -fstack-protector-strong" \
      -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG -D_FORTIFY_SOURCE=2 -fstack-protector-strong" \
      -DCMAKE_EXE_LINKER_FLAGS="-Wl,-z,relro,-z,now" -DCMAKE_SHARED_LINKER_FLAGS="-Wl,-z,relro,-z,now"
    cmake --build build/deb -j "$(build_jobs)"
    rm -f build/deb/quillmarten_*.deb
    (cd build/deb && cpack)
    ;;
  *)
    echo "usage: $0 run|try|test|fuzz|bench|deb" >&2
    exit 2
    ;;
esac
