#!/usr/bin/env bash
# Builds both targets and the sanitizer configuration, and runs every test.
# On a fresh Debian 12 machine (as root) it first installs what is missing.
# LONG_TESTS=1 adds the long runs (crash sweeps, model tests, fuzzing).
# BUILD_ROOT=<dir> builds elsewhere than build/.
set -uo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh
attview_setup || exit 1

root=${BUILD_ROOT:-build}
long=OFF; ctest_filter=(-LE long)
if [ "${LONG_TESTS:-0}" = 1 ]; then long=ON; ctest_filter=(); fi
export CCACHE_DIR=${CCACHE_DIR:-$HOME/.cache/ccache}

attview_configure "$root/native" -DBUILD_BENCH=ON -DLONG_TESTS=$long || exit 1
attview_configure "$root/asan" -DSANITIZE=ON -DLONG_TESTS=$long || exit 1
attview_configure "$root/win32" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw32.cmake" -DLONG_TESTS=$long || exit 1
for t in native asan win32; do
  cmake -DLONG_TESTS=$long "$root/$t" >/dev/null || exit 1
  echo "== build $t"
  cmake --build "$root/$t" -j"$(nproc)" || exit 1
done

attview_wine_prefix "$PWD/$root/win32/wineprefix"
attview_wine_start
trap 'wineserver -k 2>/dev/null' EXIT

status=0
for t in native asan win32; do
  echo "== test $t"
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir "$root/$t" -j2 --output-on-failure "${ctest_filter[@]}" || status=1
done
[ $status = 0 ] && echo "== all tests passed" || echo "== TESTS FAILED"
exit $status
