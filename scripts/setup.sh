# Installs what the build and the tests need on a Debian 12 machine (as root),
# and only what is missing. Sourced by test.sh and demo.sh.
attview_packages=(cmake ninja-build g++ ccache googletest libboost-dev locales libsqlite3-dev
                  g++-mingw-w64-i686 wine wine32:i386
                  clang libclang-rt-14-dev libxml2-dev libpugixml-dev)

attview_setup() {
  local missing=()
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
    missing+=(force-update)
  fi
  local p
  for p in "${attview_packages[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
      "${attview_packages[@]}" >/dev/null
  fi
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

# attview_wine_prefix <prefix>: a 32-bit prefix without installer dialogs and
# without the crash debugger, so that a faulting test does not dump into stdout.
attview_wine_prefix() {
  local prefix=$1
  export WINEPREFIX=$prefix WINEARCH=win32 WINEDEBUG=-all LC_ALL=ja_JP.UTF-8
  if [ ! -f "$prefix/.attview-ready-2" ]; then
    rm -rf "$prefix"
    WINEDLLOVERRIDES="mscoree,mshtml=" wineboot -i >/dev/null 2>&1
    # With no Debugger value Wine falls back to its own debugger; a program that
    # does not exist makes a faulting process simply end.
    wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /t REG_SZ /d 'attview-no-debugger.exe' /f >/dev/null 2>&1
    wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
    wineserver -w
    touch "$prefix/.attview-ready-2"
  fi
}

# attview_wine_start: keeps the prefix's wineserver up for the run (a warm start
# of a test costs 0.05 s, a cold one 0.3-0.5 s). The first program starts Wine's
# services, which stay up; started here with their output on /dev/null, they do
# not hold ctest's output pipes open.
attview_wine_start() {
  wineserver -p </dev/null >/dev/null 2>&1
  wine cmd /c exit </dev/null >/dev/null 2>&1 || true
}
