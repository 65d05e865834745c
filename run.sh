#!/usr/bin/env bash
# Build and check the library.
#   ./run.sh test      install what is missing, build, run the tests
#   ./run.sh sanitize  the tests again under ASan+UBSan and under TSan
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
    ;;
  *)
    echo "usage: $0 test|sanitize" >&2
    exit 2
    ;;
esac
