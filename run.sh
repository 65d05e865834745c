#!/usr/bin/env bash
# Build and check the library.
#   ./run.sh test      install what is missing, build, run the tests
#   ./run.sh sanitize  the tests again under ASan+UBSan and under TSan
#   ./run.sh demo      install what is missing, build, run the sample host
#   ./run.sh bench     Release build, then the benchmark table
set -euo pipefail
cd "$(dirname "$0")"

PACKAGES=(g++ cmake ninja-build libboost-dev libsqlite3-dev libgtest-dev libssl-dev)
JOBS=$(nproc)

install_missing() {
  local missing=()
  for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y "${missing[@]}"
  fi
}

# build DIR [cmake options...]
build() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja "$@"
  cmake --build "$dir" -j "$JOBS"
}

run_tests() {
  local dir=$1
  ctest --test-dir "$dir" --output-on-failure -j "$JOBS"
}

# libFuzzer over the parsers of untrusted text, about 20 s each, when clang is here.
run_fuzzers() {
  if ! command -v clang++ >/dev/null 2>&1; then
    echo "clang++ not found: fuzzers skipped"
    return 0
  fi
  build build-fuzz -DLBC_SANITIZE=fuzz -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DBUILD_TESTING=OFF
  local t
  for t in ItemLocationFuzz FileInfoFuzz MountPathFuzz; do
    mkdir -p "build-fuzz/corpus/$t"
    echo "Fuzzing $t"
    ASAN_OPTIONS=detect_leaks=1 "build-fuzz/tests/fuzz/$t" -max_total_time="${LBC_FUZZ_SECONDS:-20}" \
      -print_final_stats=1 "build-fuzz/corpus/$t" tests/fuzz/seeds/$t 2>&1 | tail -n 12
    [ "${PIPESTATUS[0]}" -eq 0 ] || { echo "$t failed"; return 1; }
  done
}

# The sample host against a fresh cache folder under the build folder, set up
# through the configuration store's seed file.
run_demo() {
  local out=$1 dir
  dir="$(pwd)/$out/demo"
  rm -rf "$dir"
  mkdir -p "$dir/cache" "$dir/JobResults" "$dir/logs"
  cat > "$dir/lbc.conf" <<CONF
# written by ./run.sh demo
bEnableMetadataRestoreOptimization=true
bEnableLiveBrowseCache=true
bEnableMMCachePath=false
sLiveBrowseCacheLocation=$dir/cache
sLBCLogFolder=$dir/logs
nLBCDebugLevel=1
[Platform]
JobResultsDirectory=$dir/JobResults
CONF
  LBC_CONFIG_FILE="$dir/lbc.conf" "$out/tools/lbc_sample_host"
}

cmd=${1:-}
case "$cmd" in
  test)
    install_missing
    build build
    run_tests build
    ;;
  sanitize)
    install_missing
    build build-asan -DLBC_SANITIZE=address -DCMAKE_BUILD_TYPE=Debug
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
      run_tests build-asan
    build build-tsan -DLBC_SANITIZE=thread -DCMAKE_BUILD_TYPE=Debug
    TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 run_tests build-tsan
    run_fuzzers
    ;;
  demo)
    install_missing
    build build
    run_demo build
    ;;
  bench)
    install_missing
    build build-release -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
    build-release/tools/bench/lbc_bench "${2:-$(pwd)/build-release/bench}"
    ;;
  *)
    echo "usage: $0 test|sanitize|demo|bench" >&2
    exit 2
    ;;
esac
