#!/usr/bin/env bash
# Builds the native tool if needed and runs it.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh
attview_setup
root=${BUILD_ROOT:-build}
attview_configure "$root/native"
cmake --build "$root/native" --target attview-restore >/dev/null
echo "== attview-restore without an argument"
"$root/native/bin/attview-restore" </dev/null || echo "(exit status $?)"
