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

# The 32-bit Windows build is the product and is always built; its tests run where
# this machine runs 32-bit programs, else the 64-bit Windows build's tests run.
windows_tests=($(attview_windows_tests))
if attview_runs_32bit; then found="runs 32-bit programs"; else found="cannot run 32-bit programs"; fi
echo "== this machine $found: Windows tests run on ${windows_tests[*]} (the product is win32)"
configs=(native asan win32)
for t in "${windows_tests[@]}"; do [ $t = win64 ] && configs+=(win64); done

attview_configure "$root/native" -DBUILD_BENCH=ON -DLONG_TESTS=$long || exit 1
attview_configure "$root/asan" -DSANITIZE=ON -DLONG_TESTS=$long || exit 1
for t in win32 win64; do
  [[ " ${configs[*]} " == *" $t "* ]] || continue
  bits=${t#win}
  attview_configure "$root/$t" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw$bits.cmake" -DBUILD_BENCH=ON -DLONG_TESTS=$long || exit 1
done
for t in "${configs[@]}"; do
  bench=(); [ $t != asan ] && bench=(-DBUILD_BENCH=ON)
  cmake -DLONG_TESTS=$long "${bench[@]}" "$root/$t" >/dev/null || exit 1
  # A Windows build whose tests do not run here builds only the two programs.
  targets=()
  [[ $t == win* && " ${windows_tests[*]} " != *" $t "* ]] && targets=(--target attview-restore adbtool)
  echo "== build $t ${targets[*]:+(programs only)}"
  cmake --build "$root/$t" -j"$(nproc)" "${targets[@]}" || exit 1
done

prefixes=()
for t in "${windows_tests[@]}"; do
  attview_wine_prefix "$(cd "$root/$t" && pwd)/wineprefix" $t
  attview_wine_start
  prefixes+=("$WINEPREFIX")
done
stop_wine() {
  local p
  for p in "${prefixes[@]}"; do WINEPREFIX=$p wineserver -k 2>/dev/null; done
}
trap stop_wine EXIT

status=0
for t in native asan "${windows_tests[@]}"; do
  echo "== test $t"
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir "$root/$t" -j2 --output-on-failure "${ctest_filter[@]}" || status=1
done
# The fuzzers: a clang build of their own, each run for a bounded time (longer with
# LONG_TESTS=1); a crash, a failed check or a hang (-timeout) fails the run (the
# database fuzzer's inputs commit four writes each: 2 s is normal, so its hang limit
# is 20 s). The document fuzzers take raw bytes; the database fuzzer damages small
# databases field by field (its kept inputs are replayed by tool_test as well). A finding is left as
# $root/fuzz/<crash|timeout|...>-<hash>: put it into tool/fuzz/damage_inputs/ (a document
# fuzzer's into support/xml/fuzz/inputs/) once fixed.
fuzz_seconds=30; db_fuzz_seconds=45
# The database fuzzer also runs writes on each damaged database (add, link, rename,
# merge): each must be refused or leave nothing worse than it found.
db_fuzz_writes=1
[ "$long" = ON ] && { fuzz_seconds=600; db_fuzz_seconds=600; }
echo "== fuzz"
if CC=clang CXX=clang++ attview_configure "$root/fuzz" -DATTVIEW_FUZZ=ON \
     "-DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined" &&
   cmake -DATTVIEW_FUZZ=ON "$root/fuzz" >/dev/null &&
   cmake --build "$root/fuzz" --target xml_read_fuzzer xml_roundtrip_fuzzer database_fuzzer >/dev/null; then
  for f in xml_read_fuzzer xml_roundtrip_fuzzer; do
    mkdir -p "$root/fuzz/corpus/$f"
    if ! "$root/fuzz/bin/$f" -max_total_time=$fuzz_seconds -max_len=4096 -artifact_prefix="$root/fuzz/" \
         "$root/fuzz/corpus/$f" support/xml/testdata support/xml/fuzz/inputs >"$root/fuzz/$f.log" 2>&1; then
      echo "fuzz: $f failed; see $root/fuzz/$f.log"; status=1
    fi
  done
  # Its databases live in memory where there is a tmpfs: commits flush every file.
  f=database_fuzzer; mkdir -p "$root/fuzz/corpus/$f"
  fuzz_tmp=${TMPDIR:-/tmp}; [ -d /dev/shm ] && fuzz_tmp=/dev/shm
  if ! TMPDIR=$fuzz_tmp DATABASE_FUZZ_WRITES=$db_fuzz_writes "$root/fuzz/bin/$f" -max_total_time=$db_fuzz_seconds -max_len=257 -timeout=20 \
       -close_fd_mask=1 -artifact_prefix="$root/fuzz/" \
       "$root/fuzz/corpus/$f" tool/fuzz/damage_inputs >"$root/fuzz/$f.log" 2>&1; then
    echo "fuzz: $f failed; see $root/fuzz/$f.log"; status=1
  fi
else
  echo "fuzz: build failed"; status=1
fi

[ $status = 0 ] && echo "== all tests passed" || echo "== TESTS FAILED"
exit $status
