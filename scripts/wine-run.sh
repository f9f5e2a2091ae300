#!/bin/sh
# Runs a Windows test binary under Wine: wine-run.sh <prefix> <program> <arguments...>
prefix=$1
shift
export WINEPREFIX="$prefix" WINEARCH=win32 WINEDEBUG=-all LC_ALL=ja_JP.UTF-8
exec wine "$@"
