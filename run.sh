#!/usr/bin/env bash
# Build and check the library. The commands, one line each (`./run.sh help`
# prints these lines):
#   ./run.sh demo           build the library and the sample host only, run the sample host
#   ./run.sh test           build everything, run the tests, name each skipped test and why
#   ./run.sh sanitize       the tests again under ASan+UBSan and under TSan, then the fuzzers
#   ./run.sh fuzz           only the fuzzers (clang, libFuzzer), LBC_FUZZ_SECONDS each
#   ./run.sh install-check  install into a temporary prefix, build and run the README's host program against it
#   ./run.sh bench [FOLDER] Release build, then the benchmark table (files in FOLDER)
#   ./run.sh cost [FOLDER]  Release build, then instructions per 4 KiB write and read under callgrind
#   ./run.sh help           this list
# Each installs what it lacks first (the PACKAGES below, and its own).
# Build folders and flags are the presets of CMakePresets.json (build/ is
# "default"). LBC_JOBS sets the build and test parallelism (default: every core).
set -euo pipefail
cd "$(dirname "$0")"

PACKAGES=(g++ cmake ninja-build libboost-dev libsqlite3-dev libgtest-dev libssl-dev valgrind)
# Only for the fuzzers: clang 14 on Debian 12 leaves its sanitizer and libFuzzer
# runtime (libclang-rt-14-dev) to Recommends, which minimal systems skip.
FUZZ_PACKAGES=(clang libclang-rt-14-dev)
# Only for install-check: pkgconf gives pkg-config.
HOST_PACKAGES=(pkgconf)
JOBS=${LBC_JOBS:-$(nproc)}

# commands: the command lines of the comment at the top of this script.
commands() { sed -n '/^[^#]/q; s/^#   \(\.\/run\.sh \)/\1/p' "$(basename "$0")"; }

# step TEXT: says what comes next.
step() { echo "==> $*"; }

# install_missing [extra packages...]
install_missing() {
  local missing=()
  for p in "${PACKAGES[@]}" "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    local sudo=""
    if [ "$(id -u)" -ne 0 ]; then
      if ! command -v sudo >/dev/null 2>&1; then
        { echo "$0: these packages are missing: ${missing[*]}"
          echo "Installing them needs root, and sudo is not installed. Run $0 as root, or"
          echo "install sudo for this user, or install the packages as root with"
          echo "  apt-get install --no-install-recommends ${missing[*]}"
        } >&2
        exit 1
      fi
      sudo="sudo"
    fi
    step "Installing ${missing[*]}"
    $sudo apt-get update
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
  fi
}

# build PRESET [targets...]: configure and build with the presets of
# CMakePresets.json (the build folder is the preset's); every target without one.
build() {
  local preset=$1; shift
  local targets=()
  [ $# -eq 0 ] || targets=(--target "$@")
  step "Configuring (preset $preset)"
  cmake --preset "$preset"
  step "Building ${*:-everything} (preset $preset)"
  cmake --build --preset "$preset" -j "$JOBS" "${targets[@]}"
}

# run_tests PRESET: the suite, then each skipped test with its reason.
run_tests() {
  local dir=build rc=0
  [ "$1" = default ] || dir="build-$1"
  step "Running the tests (preset $1)"
  ctest --preset "$1" -j "$JOBS" || rc=$?
  skip_reasons "$dir/Testing/Temporary/LastTest.log"
  return "$rc"
}

# skip_reasons LOG: the tests that ctest's log LOG shows skipped, each with
# the text its GTEST_SKIP() gave ("file:line: Skipped", then the reason).
skip_reasons() {
  [ -f "$1" ] || return 0
  awk '
    /^[0-9]+\/[0-9]+ Test: / { name = substr($0, index($0, "Test: ") + 6); next }
    /:[0-9]+: Skipped$/ { reason = ""; inside = 1; next }
    # The SCOPED_TRACE lines after a reason say where, not why.
    inside && /^Google Test trace:$/ { inside = 2; next }
    inside == 2 && !/^\[  SKIPPED \]/ { next }
    inside && /^\[  SKIPPED \]/ {
      if (!shown++) print "==> Skipped tests and why"
      print name
      print "    " (reason == "" ? "(no reason given)" : reason)
      inside = 0; next
    }
    inside { reason = reason == "" ? $0 : reason " " $0 }' "$1"
}

# libFuzzer over the parsers of untrusted text, about 20 s each.
run_fuzzers() {
  if ! command -v clang++ >/dev/null 2>&1; then
    echo "clang++ not found: install ${FUZZ_PACKAGES[*]}" >&2
    return 1
  fi
  build fuzz
  local t
  for t in ItemLocationFuzz FileInfoFuzz MountPathFuzz; do
    mkdir -p "build-fuzz/corpus/$t"
    step "Fuzzing $t"
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
  step "Running the sample host against $dir"
  LBC_CONFIG_FILE="$dir/lbc.conf" "$out/tools/lbc_sample_host"
}

# loads_installed BINARY PREFIX: BINARY loads the library installed under PREFIX.
loads_installed() {
  local binary=$1 prefix=$2 libs
  libs=$(ldd "$binary")
  if ! grep -q "=> $prefix/.*libLiveBrowseCache\.so" <<<"$libs"; then
    echo "$binary does not load the installed library:" >&2
    echo "$libs" >&2
    return 1
  fi
}

# run_host BINARY PREFIX DIR: the host, which must load the library installed
# under PREFIX, against a fresh cache folder under DIR.
run_host() {
  local binary=$1 prefix=$2 dir=$3
  loads_installed "$binary" "$prefix"
  write_seed "$dir"
  LBC_CONFIG_FILE="$dir/lbc.conf" "$binary"
}

# readme_block NAME: the text of the one fenced block of README.md that the
# line "<!-- NAME -->" stands right above; fails unless there is exactly one.
readme_block() {
  awk -v mark="<!-- $1 -->" '
    $0 == mark { marks++; state = 1; next }
    state == 1 { if ($0 ~ /^```/) { state = 2; next } bad = 1; state = 0 }
    state == 2 { if ($0 ~ /^```/) { state = 0; blocks++ } else print }
    END { exit (marks == 1 && blocks == 1 && !bad) ? 0 : 1 }' README.md ||
    { echo "README.md has no single fenced block marked <!-- $1 -->" >&2; return 1; }
}

# readme_host DIR: the README's host program and CMakeLists.txt written into DIR.
readme_host() {
  local dir=$1 file
  mkdir -p "$dir"
  for file in HostExample.cpp CMakeLists.txt; do
    readme_block "host-example: $file" >"$dir/$file"
  done
}

# Installs the build in OUT into a temporary prefix and uses it as a host
# project would: the README's host program, built and run by the README's own
# commands once with find_package and once with pkg-config, then
# tools/host-check, which walks more of the interface, with find_package.
run_install_check() {
  local out=$1 tmp prefix pcdir lib soname header way expected
  tmp=$(mktemp -d "${TMPDIR:-/tmp}/lbc-install-check.XXXXXX")
  # shellcheck disable=SC2064
  trap "rm -rf '$tmp'" EXIT
  prefix="$tmp/prefix"
  step "Installing into $prefix"
  cmake --install "$out" --prefix "$prefix"

  lib=$(find "$prefix" -name 'libLiveBrowseCache.so.*.*.*')
  soname=$(objdump -p "$lib" | awk '$1 == "SONAME" { print $2 }')
  [ "$soname" = "libLiveBrowseCache.so.$(basename "$lib" | cut -d. -f3)" ] ||
    { echo "unexpected SONAME '$soname' of $lib" >&2; return 1; }
  echo "Installed $lib (SONAME $soname)"

  pcdir=$(dirname "$(find "$prefix" -name livebrowsecache.pc)")
  [ "$pcdir" = "$prefix/lib/pkgconfig" ] ||
    { echo "livebrowsecache.pc is in $pcdir, not where the README says" >&2; return 1; }
  export PKG_CONFIG_PATH="$pcdir"
  echo "pkg-config --cflags --libs livebrowsecache: $(pkg-config --cflags --libs livebrowsecache)"
  # Every installed header stands on its own: nothing it includes was left behind.
  for header in "$(pkg-config --variable=includedir livebrowsecache)"/LiveBrowseCache/*.h; do
    # shellcheck disable=SC2046
    echo "#include <$(basename "$header")>" |
      g++ -std=c++17 -fsyntax-only -Wall -Wextra -Werror $(pkg-config --cflags livebrowsecache) -x c++ - ||
      { echo "installed header $header does not compile on its own" >&2; return 1; }
  done
  unset PKG_CONFIG_PATH

  # The README's commands run as they stand, in a fresh copy each, with only
  # LBC_PREFIX set (the README sets it to /opt/lbc), and print what it says.
  expected=$(readme_block host-output)
  for way in cmake pkg-config; do
    step "README host program built and run as the README says ($way)"
    readme_host "$tmp/readme-$way"
    readme_block "host-commands: $way" >"$tmp/readme-$way.sh"
    (cd "$tmp/readme-$way" && LBC_PREFIX="$prefix" bash -euo pipefail "$tmp/readme-$way.sh") | tee "$tmp/readme-$way.out"
    # The program's own lines come last, after the build's.
    [ "$(tail -n "$(wc -l <<<"$expected")" "$tmp/readme-$way.out")" = "$expected" ] ||
      { echo "the README's host program did not print what the README says" >&2; return 1; }
    loads_installed "$(find "$tmp/readme-$way" -type f -name lbc_host_example)" "$prefix"
  done

  step "tools/host-check built with find_package(LiveBrowseCache CONFIG REQUIRED)"
  mkdir -p "$tmp/src"
  cp tools/host-check/CMakeLists.txt tools/host-check/HostCheck.cpp "$tmp/src/"
  cmake -S "$tmp/src" -B "$tmp/cmake" -G Ninja -DCMAKE_PREFIX_PATH="$prefix"
  cmake --build "$tmp/cmake"
  run_host "$tmp/cmake/lbc_host_check" "$prefix" "$tmp/run-cmake"
  echo "install-check: every host ran against the installed library"
}

cmd=${1:-}
# A word after a command that takes none is refused, as an unknown command is.
case "$cmd" in
  bench) words=1 ;;
  help | -h | --help | test | sanitize | fuzz | install-check | demo) words=0 ;;
  *) words=$(($# > 0 ? $# - 1 : 0)) ;;  # unknown or none: said below
esac
if [ $# -gt $((words + 1)) ]; then
  { echo "$0: '$cmd' takes $([ "$words" -eq 0 ] && echo "no argument" || echo "at most $words argument"), given: ${*:$((words + 2))}; one of:"
    commands; } >&2
  exit 2
fi
case "$cmd" in
  help | -h | --help)
    commands
    ;;
  test)
    install_missing
    build default
    run_tests default
    ;;
  sanitize)
    install_missing "${FUZZ_PACKAGES[@]}"
    build asan
    run_tests asan
    build tsan
    run_tests tsan
    run_fuzzers
    ;;
  fuzz)
    install_missing "${FUZZ_PACKAGES[@]}"
    run_fuzzers
    ;;
  install-check)
    install_missing "${HOST_PACKAGES[@]}"
    build default LiveBrowseCache
    run_install_check build
    ;;
  demo)
    install_missing
    # Only what the demo runs: the library and the sample host.
    build default lbc_sample_host
    run_demo build
    ;;
  bench)
    install_missing
    build release lbc_bench
    step "Running the benchmark"
    build-release/tools/bench/lbc_bench "${2:-$(pwd)/build-release/bench}"
    ;;
  cost)
    install_missing
    build release lbc_bench
    step "Counting the cost per operation under callgrind"
    build-release/tools/bench/lbc_bench --cost "${2:-$(pwd)/build-release/cost}"
    ;;
  "")
    { echo "$0: no command given; one of:"; commands; } >&2
    exit 2
    ;;
  *)
    { echo "$0: unknown command '$cmd'; one of:"; commands; } >&2
    exit 2
    ;;
esac
