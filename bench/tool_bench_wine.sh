#!/usr/bin/env bash
# The tool's benchmark and its floor on the Windows build, run under Wine (whose
# cost per system call stands in for Windows'). Builds what it needs in the
# Windows build folder (default build/win32) and runs tool_bench.exe there with
# the arguments given (repetitions, then sizes; see bench/tool_bench.cpp).
#
#   bench/tool_bench_wine.sh [repetitions [N...]]
#   BUILD_DIR=<dir> bench/tool_bench_wine.sh ...
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh
dir=${BUILD_DIR:-build/win32}
attview_configure "$dir" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw32.cmake"
cmake -DBUILD_BENCH=ON "$dir" >/dev/null
cmake --build "$dir" -j2 --target tool_bench tool_floor attview-restore
attview_wine_prefix "$PWD/$dir/wineprefix"
attview_wine_start || true  # a server that runs already is fine
trap 'wineserver -k 2>/dev/null || true' EXIT
wine "$dir/bin/tool_bench.exe" "$@"
