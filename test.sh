#!/usr/bin/env bash
# Builds kvx and runs the whole test suite. "--sanitize" builds into
# build-sanitize with AddressSanitizer and UndefinedBehaviorSanitizer.
#
# The Debian packages the suite uses are installed when they are missing and
# this runs as root (as in CI); otherwise they are named. Without the build
# tools or GoogleTest nothing can run; without the peer tools (tar, arj, zip, unzip)
# or groff and man, the tests that use them are skipped.
set -euo pipefail
cd "$(dirname "$0")"

required=()
command -v cmake >/dev/null || required+=(cmake)
command -v ninja >/dev/null || required+=(ninja-build)
command -v g++ >/dev/null || required+=(g++)
[ -f /usr/include/gtest/gtest.h ] || required+=(libgtest-dev)
[ -f /usr/include/gmock/gmock.h ] || required+=(libgmock-dev)
optional=()
command -v tar >/dev/null || optional+=(tar)
command -v arj >/dev/null || optional+=(arj)
command -v zip >/dev/null || optional+=(zip)
command -v unzip >/dev/null || optional+=(unzip)
command -v groff >/dev/null || optional+=(groff-base)
command -v man >/dev/null || optional+=(man-db)

missing=("${required[@]}" "${optional[@]}")
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
    apt-get update
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
  elif [ ${#required[@]} -gt 0 ]; then
    echo "test.sh: missing Debian packages: ${missing[*]}" >&2
    echo "test.sh: install them with: sudo apt-get install ${missing[*]}" >&2
    exit 1
  else
    echo "test.sh: missing Debian packages: ${optional[*]}; the tests that use them are skipped" >&2
  fi
fi

dir=build
flags=(-DCMAKE_BUILD_TYPE=Release)
if [ "${1:-}" = "--sanitize" ]; then
  dir=build-sanitize
  flags=(-DCMAKE_BUILD_TYPE=Debug -DKVX_SANITIZE=ON)
fi
cmake -S . -B "$dir" -G Ninja "${flags[@]}" >/dev/null
cmake --build "$dir"
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir "$dir" --output-on-failure --no-tests=error -j2
