#!/usr/bin/env bash
# The tool's benchmark and its floor on the Windows build, run under Wine (whose
# cost per system call stands in for Windows'). Builds what it needs in the
# Windows build folder and runs tool_bench.exe there with the arguments given
# (repetitions, then sizes; see bench/tool_bench.cpp). The folder is build/win32
# where this machine runs 32-bit programs, else build/win64; WINDOWS_TESTS=win32
# or win64 picks one (it must run here), BUILD_DIR another folder for it.
#
#   bench/tool_bench_wine.sh [repetitions [N...]]
#   [WINDOWS_TESTS=win32|win64] [BUILD_DIR=<dir>] bench/tool_bench_wine.sh ...
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh
arch=$(attview_windows_tests | cut -d' ' -f1)
dir=${BUILD_DIR:-build/$arch}
attview_configure "$dir" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw${arch#win}.cmake"
cmake -DBUILD_BENCH=ON "$dir" >/dev/null
cmake --build "$dir" -j2 --target tool_bench tool_floor attview-restore
attview_wine_prefix "$PWD/$dir/wineprefix" $arch
attview_wine_start || true  # a server that runs already is fine
trap 'wineserver -k 2>/dev/null || true' EXIT
attview_wine "$dir/bin/tool_bench.exe" "$@"
