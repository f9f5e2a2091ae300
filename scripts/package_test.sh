#!/usr/bin/env bash
# The release as a user gets it: packs the ZIP of a Windows build, unpacks it into
# a fresh folder, checks its files and the programs' version resource and
# manifest, and runs both programs from there under Wine, the tool on a sample
# database.
#   package_test.sh <Windows build folder> <version>
set -euo pipefail
build=$(cd "$1" && pwd)
version=$2
scripts=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/attview-package.XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() {
  echo "package_test: $*" >&2
  [ -s "$work/wine-stderr" ] && sed 's/^/  /' "$work/wine-stderr" >&2
  exit 1
}

(cd "$build" && cpack -G ZIP -B "$work/out" >/dev/null) || fail "cpack failed"
zip=$(ls "$work"/out/attview-restore-"$version"-win*.zip) || fail "no attview-restore-$version-win*.zip"
mkdir "$work/unpacked"
(cd "$work/unpacked" && cmake -E tar xf "$zip")
app=$(ls -d "$work"/unpacked/attview-restore-"$version"-win*)
for f in attview-restore.exe adbtool.exe README.txt LICENSE.txt; do
  [ -f "$app/$f" ] || fail "$f is not in the ZIP"
done
[ "$(ls "$app" | wc -l)" = 4 ] || fail "the ZIP holds more than the four files: $(ls "$app")"

# Each program carries its version (UTF-16 in the version resource) and its manifest.
# utf16 <ASCII text>: a grep -P pattern for the text in UTF-16LE.
utf16() { printf '%s' "$1" | sed 's/[.]/\\./g; s/\(\\\?.\)/\1\\x00/g'; }
for f in attview-restore.exe adbtool.exe; do
  LC_ALL=C grep -qaP "$(utf16 "FileVersion")" "$app/$f" || fail "$f has no version resource"
  LC_ALL=C grep -qaP "$(utf16 "FileVersion")(\\x00\\x00)+$(utf16 "$version")" "$app/$f" ||
    fail "$f does not carry version $version"
  LC_ALL=C grep -qaF 'level="asInvoker"' "$app/$f" || fail "$f has no asInvoker manifest"
  objdump -h "$app/$f" 2>/dev/null | grep -q '\.debug' && fail "$f is not stripped"
done

prefix=$build/wineprefix
win() { printf 'Z:%s' "${1//\//\\}"; }
# Wine's standard error goes to a file: a helper process that Wine starts on demand
# inherits it and can outlive the test; on ctest's pipe it keeps ctest waiting.
run() { "$scripts/wine-run.sh" "$prefix" "$@" 2>>"$work/wine-stderr"; }

out=$(run "$app/adbtool.exe" --help </dev/null) || fail "adbtool --help failed"
[[ $out == *create* ]] || fail "adbtool --help says: $out"
out=$(run "$app/adbtool.exe" --version </dev/null) || fail "adbtool --version failed"
[[ $out == "adbtool $version "* ]] || fail "adbtool --version says: $out"

# A database beside the tool, a view with stale ids, and the tool run from the
# unpacked folder as a user runs it.
db=$app/db/adb
mkdir -p "$app/db"
run "$app/adbtool.exe" create "$(win "$db")" >/dev/null || fail "adbtool create failed"
run "$app/adbtool.exe" add "$(win "$db")" alpha beta >/dev/null || fail "adbtool add failed"
printf '%s\r\n' '<?xml version="1.0" encoding="shift_jis"?>' '<attview>' '	<root name="root">' \
  '		<item category="0" icon="1" id_att="901" name="alpha"/>' \
  '		<item category="0" icon="1" id_att="902" name="gamma"/>' \
  '	</root>' '</attview>' >"$work/source.xml"
cp "$work/source.xml" "$app/db/attview.xml"
status=0
out=$(cd "$app" && printf '\n' | run "$app/attview-restore.exe" "$(win "$work/source.xml")") || status=$?
[ $status = 0 ] || fail "the tool ended with $status: $out"
[[ $out != *NG* ]] || fail "a step failed: $out"
listed=$(run "$app/adbtool.exe" list "$(win "$db")" </dev/null)
[[ $listed == *gamma* ]] || fail "gamma was not registered: $listed"
ls "$app/db" | grep -q '^attview_' || fail "no backup of the old view"
grep -q 'id_att="901"' "$app/db/attview.xml" && fail "the view still holds the stale id"
echo "package_test: $(basename "$zip") unpacks and runs"
