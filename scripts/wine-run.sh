#!/bin/sh
# Runs a Windows program under Wine: wine-run.sh <prefix> <program> <arguments...>
#
# A 64-bit program runs under Wine's 64-bit loader in a 64-bit prefix, a 32-bit one
# under the 32-bit loader in a 32-bit prefix. The kind is read from the program's
# PE header; for a program that is not a file here (wineboot, reg, cmd) it comes
# from WINEARCH, else from the prefix, else it is 32-bit.
prefix=$1
shift

# pe_arch <file>: win32 or win64 from the machine field of the PE header.
pe_arch() {
  [ -f "$1" ] || return 1
  pe=$(od -An -t u4 -j 60 -N 4 "$1" 2>/dev/null | tr -d ' \n')
  [ -n "$pe" ] || return 1
  case $(od -An -t x2 -j $((pe + 4)) -N 2 "$1" 2>/dev/null | tr -d ' \n') in
    8664) echo win64 ;;
    014c) echo win32 ;;
    *) return 1 ;;
  esac
}

arch=$(pe_arch "$1") || arch=${WINEARCH:-}
if [ -z "$arch" ] && [ -f "$prefix/system.reg" ]; then
  grep -q '^#arch=win64' "$prefix/system.reg" && arch=win64
fi
arch=${arch:-win32}
export WINEPREFIX="$prefix" WINEARCH="$arch" WINEDEBUG=-all LC_ALL=ja_JP.UTF-8

# Debian keeps the 64-bit loader beside the 32-bit one, off PATH; the launcher on
# PATH prefers the 32-bit loader whenever it is installed.
if [ "$arch" = win64 ]; then
  for loader in /usr/lib/wine/wine64 /usr/lib64/wine/wine64 "$(command -v wine64 2>/dev/null)"; do
    if [ -n "$loader" ] && [ -x "$loader" ]; then
      export WINELOADER="$loader"
      exec "$loader" "$@"
    fi
  done
  echo "wine-run.sh: the 64-bit Wine loader (wine64) is not installed" >&2
  exit 127
fi
exec wine "$@"
