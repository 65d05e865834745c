#!/usr/bin/env bash
# Build and check the library.
#   ./run.sh test      install what is missing, build, run the tests
#   ./run.sh sanitize  the tests again under ASan+UBSan and under TSan, then the fuzzers
#   ./run.sh fuzz      only the fuzzers (clang, libFuzzer)
#   ./run.sh demo      install what is missing, build, run the sample host
#   ./run.sh install-check  install into a temporary prefix, then build and run
#                      a host out of tree with find_package and with pkg-config
#   ./run.sh bench     Release build, then the benchmark table
# LBC_JOBS sets the build and test parallelism (default: every core).
set -euo pipefail
cd "$(dirname "$0")"

PACKAGES=(g++ cmake ninja-build libboost-dev libsqlite3-dev libgtest-dev libssl-dev valgrind)
# Only for the fuzzers: clang 14 on Debian 12 leaves its sanitizer and libFuzzer
# runtime (libclang-rt-14-dev) to Recommends, which minimal systems skip.
FUZZ_PACKAGES=(clang libclang-rt-14-dev)
# Only for install-check: pkgconf gives pkg-config.
HOST_PACKAGES=(pkgconf)
JOBS=${LBC_JOBS:-$(nproc)}

# install_missing [extra packages...]
install_missing() {
  local missing=()
  for p in "${PACKAGES[@]}" "$@"; do
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

# libFuzzer over the parsers of untrusted text, about 20 s each.
run_fuzzers() {
  if ! command -v clang++ >/dev/null 2>&1; then
    echo "clang++ not found: install ${FUZZ_PACKAGES[*]}" >&2
    return 1
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

# write_seed DIR: a fresh cache, job results and log folder under DIR, and the
# configuration store's seed file DIR/lbc.conf that points there.
write_seed() {
  local dir=$1
  rm -rf "$dir"
  mkdir -p "$dir/cache" "$dir/JobResults" "$dir/logs"
  cat > "$dir/lbc.conf" <<CONF
# written by ./run.sh
bEnableMetadataRestoreOptimization=true
bEnableLiveBrowseCache=true
bEnableMMCachePath=false
sLiveBrowseCacheLocation=$dir/cache
sLBCLogFolder=$dir/logs
nLBCDebugLevel=1
[Platform]
JobResultsDirectory=$dir/JobResults
CONF
}

# The sample host against a fresh cache folder under the build folder.
run_demo() {
  local out=$1 dir
  dir="$(pwd)/$out/demo"
  write_seed "$dir"
  LBC_CONFIG_FILE="$dir/lbc.conf" "$out/tools/lbc_sample_host"
}

# run_host BINARY PREFIX DIR: the host, which must load the library installed
# under PREFIX, against a fresh cache folder under DIR.
run_host() {
  local binary=$1 prefix=$2 dir=$3 libs
  libs=$(ldd "$binary")
  if ! grep -q "=> $prefix/.*libLiveBrowseCache\.so" <<<"$libs"; then
    echo "$binary does not load the installed library:" >&2
    echo "$libs" >&2
    return 1
  fi
  write_seed "$dir"
  LBC_CONFIG_FILE="$dir/lbc.conf" "$binary"
}

# Installs the build in OUT into a temporary prefix and uses it as a host
# project would: tools/host-check copied to a fresh folder, built once with
# find_package and once with pkg-config, each run against its own cache folder.
run_install_check() {
  local out=$1 tmp prefix pcdir lib soname header
  tmp=$(mktemp -d "${TMPDIR:-/tmp}/lbc-install-check.XXXXXX")
  # shellcheck disable=SC2064
  trap "rm -rf '$tmp'" EXIT
  prefix="$tmp/prefix"
  cmake --install "$out" --prefix "$prefix"

  lib=$(find "$prefix" -name 'libLiveBrowseCache.so.*.*.*')
  soname=$(objdump -p "$lib" | awk '$1 == "SONAME" { print $2 }')
  [ "$soname" = "libLiveBrowseCache.so.$(basename "$lib" | cut -d. -f3)" ] ||
    { echo "unexpected SONAME '$soname' of $lib" >&2; return 1; }
  echo "Installed $lib (SONAME $soname)"

  pcdir=$(dirname "$(find "$prefix" -name livebrowsecache.pc)")
  export PKG_CONFIG_PATH="$pcdir"
  echo "pkg-config --cflags --libs livebrowsecache: $(pkg-config --cflags --libs livebrowsecache)"
  # Every installed header stands on its own: nothing it includes was left behind.
  for header in "$(pkg-config --variable=includedir livebrowsecache)"/LiveBrowseCache/*.h; do
    # shellcheck disable=SC2046
    echo "#include <$(basename "$header")>" |
      g++ -std=c++17 -fsyntax-only -Wall -Wextra -Werror $(pkg-config --cflags livebrowsecache) -x c++ - ||
      { echo "installed header $header does not compile on its own" >&2; return 1; }
  done

  mkdir -p "$tmp/src" "$tmp/pkg-config"
  cp tools/host-check/CMakeLists.txt tools/host-check/HostCheck.cpp "$tmp/src/"

  echo "Host built with find_package(LiveBrowseCache CONFIG REQUIRED)"
  cmake -S "$tmp/src" -B "$tmp/cmake" -G Ninja -DCMAKE_PREFIX_PATH="$prefix"
  cmake --build "$tmp/cmake"
  run_host "$tmp/cmake/lbc_host_check" "$prefix" "$tmp/run-cmake"

  echo "Host built with pkg-config"
  # shellcheck disable=SC2046
  g++ -std=c++17 -Wall -Wextra -o "$tmp/pkg-config/lbc_host_check" "$tmp/src/HostCheck.cpp" \
    $(pkg-config --cflags --libs livebrowsecache) -Wl,-rpath,"$(pkg-config --variable=libdir livebrowsecache)"
  run_host "$tmp/pkg-config/lbc_host_check" "$prefix" "$tmp/run-pkg-config"
  echo "install-check: both hosts ran against the installed library"
}

cmd=${1:-}
case "$cmd" in
  test)
    install_missing
    build build
    run_tests build
    ;;
  sanitize)
    install_missing "${FUZZ_PACKAGES[@]}"
    build build-asan -DLBC_SANITIZE=address -DCMAKE_BUILD_TYPE=Debug
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
      run_tests build-asan
    build build-tsan -DLBC_SANITIZE=thread -DCMAKE_BUILD_TYPE=Debug
    TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 run_tests build-tsan
    run_fuzzers
    ;;
  fuzz)
    install_missing "${FUZZ_PACKAGES[@]}"
    run_fuzzers
    ;;
  install-check)
    install_missing "${HOST_PACKAGES[@]}"
    build build
    run_install_check build
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
    echo "usage: $0 test|sanitize|fuzz|demo|install-check|bench" >&2
    exit 2
    ;;
esac
