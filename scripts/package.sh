#!/usr/bin/env bash
# Makes the release for Windows users: the 32-bit programs built for release and
# stripped, the users' README and the licence, as
# dist/attview-restore-<version>-win32.zip. BUILD_ROOT=<dir> builds elsewhere
# than build/.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh
attview_setup native g++-mingw-w64-i686
dir=${BUILD_ROOT:-build}/release-win32
attview_configure "$dir" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw32.cmake"
cmake -DCMAKE_BUILD_TYPE=Release "$dir" >/dev/null
cmake --build "$dir" -j"$(nproc)" --target attview-restore adbtool
(cd "$dir" && cpack -G ZIP >/dev/null)
mkdir -p dist
cp "$dir"/dist/attview-restore-*-win32.zip dist/
ls -l dist/attview-restore-*-win32.zip
