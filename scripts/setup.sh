# Installs what the build and the tests need on a Debian 12 machine (as root),
# and only what is missing. Sourced by test.sh and demo.sh.
#
# Windows: the 32-bit build is the product and is always built. Its tests run under
# 32-bit Wine where this machine runs 32-bit programs; where it cannot (kernels
# without 32-bit user mode refuse them with "Exec format error"), the same code is
# built for 64-bit Windows and those tests run under 64-bit Wine instead.
# WINDOWS_TESTS=win32|win64|both overrides the choice.

# What the native build and the demo need.
attview_native_packages=(cmake ninja-build g++ ccache googletest libboost-dev)
# What the tests, the sanitizer and fuzz builds and the benchmarks add.
attview_test_packages=(locales libsqlite3-dev g++-mingw-w64-i686
                       clang libclang-rt-14-dev libxml2-dev libpugixml-dev)

# attview_runs_32bit: whether this machine runs 32-bit x86 programs, found once by
# starting a tiny one (an ELF program that only exits).
attview_runs_32bit() {
  if [ -z "${attview_32bit:-}" ]; then
    local probe
    probe=$(mktemp "${TMPDIR:-/tmp}/attview-i386-probe.XXXXXX") || return 1
    printf '\x7f\x45\x4c\x46\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08\x5d\x00\x00\x00\x5d\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00\x31\xdb\xb8\x01\x00\x00\x00\xcd\x80' >"$probe"
    chmod +x "$probe"
    if "$probe" 2>/dev/null; then attview_32bit=yes; else attview_32bit=no; fi
    rm -f "$probe"
  fi
  [ "$attview_32bit" = yes ]
}

# attview_windows_tests: the Windows builds whose tests run here (win32, win64 or
# both), from WINDOWS_TESTS or from what this machine runs.
attview_windows_tests() {
  case "${WINDOWS_TESTS:-}" in
    win32) echo win32 ;;
    win64) echo win64 ;;
    both) echo win32 win64 ;;
    *) if attview_runs_32bit; then echo win32; else echo win64; fi ;;
  esac
}

# attview_setup [native [package...]]: installs what is missing; with "native"
# only what the native build needs, and the packages named after it.
attview_setup() {
  local packages=("${attview_native_packages[@]}") missing=() t
  if [ "${1:-}" = native ]; then
    packages+=("${@:2}")
  else
    packages+=("${attview_test_packages[@]}")
    for t in $(attview_windows_tests); do
      case $t in
        win32) packages+=(wine wine32:i386)
               if ! dpkg --print-foreign-architectures | grep -qx i386; then
                 dpkg --add-architecture i386
                 missing+=(i386)
               fi ;;
        win64) packages+=(wine wine64 g++-mingw-w64-x86-64) ;;
      esac
    done
  fi
  local p
  for p in "${packages[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
      "${packages[@]}" >/dev/null || return 1
  fi
  [ "${1:-}" = native ] && return 0
  # Wine takes its ANSI code page (932) from this locale.
  if ! locale -a 2>/dev/null | grep -qi '^ja_JP\.utf-\?8$'; then
    sed -i 's/^# *\(ja_JP.UTF-8 UTF-8\)/\1/' /etc/locale.gen
    grep -q '^ja_JP.UTF-8 UTF-8' /etc/locale.gen || echo 'ja_JP.UTF-8 UTF-8' >> /etc/locale.gen
    locale-gen >/dev/null
  fi
}

# attview_configure <build dir> <extra cmake arguments...>
attview_configure() {
  local dir=$1; shift
  if [ ! -f "$dir/build.ninja" ]; then
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache "$@" >/dev/null
  fi
}

# attview_wine_prefix <prefix> [win32|win64]: a prefix of that kind (32-bit unless
# told) without installer dialogs and without the crash debugger, so that a
# faulting test does not dump into stdout. Exports what Wine needs for it.
attview_wine_prefix() {
  local prefix=$1 arch=${2:-win32}
  export WINEPREFIX=$prefix WINEARCH=$arch WINEDEBUG=-all LC_ALL=ja_JP.UTF-8
  if [ ! -f "$prefix/.attview-ready-2" ] || ! grep -q "^#arch=$arch" "$prefix/system.reg" 2>/dev/null; then
    rm -rf "$prefix"
    WINEDLLOVERRIDES="mscoree,mshtml=" attview_wine wineboot -i >/dev/null 2>&1
    # With no Debugger value Wine falls back to its own debugger; a program that
    # does not exist makes a faulting process simply end.
    attview_wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /t REG_SZ /d 'attview-no-debugger.exe' /f >/dev/null 2>&1
    attview_wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
    wineserver -w
    touch "$prefix/.attview-ready-2"
  fi
}

# attview_wine <program> <arguments...>: runs it in the prefix set by
# attview_wine_prefix, with the loader of the prefix's kind.
attview_wine() {
  "$(dirname "${BASH_SOURCE[0]}")/wine-run.sh" "$WINEPREFIX" "$@"
}

# attview_wine_start: keeps the prefix's wineserver up for the run (a warm start
# of a test costs 0.05 s, a cold one 0.3-0.5 s). The first program starts Wine's
# services, which stay up; started here with their output on /dev/null, they do
# not hold ctest's output pipes open.
attview_wine_start() {
  wineserver -p </dev/null >/dev/null 2>&1
  attview_wine cmd /c exit </dev/null >/dev/null 2>&1 || true
}
