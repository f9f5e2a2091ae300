# What both Windows toolchains share: mingw-w64 with posix threads, linked
# statically. The toolchain file sets ATTVIEW_MINGW_TRIPLE and the processor first.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${ATTVIEW_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ATTVIEW_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${ATTVIEW_MINGW_TRIPLE}-windres)
set(CMAKE_STRIP ${ATTVIEW_MINGW_TRIPLE}-strip)
set(CMAKE_FIND_ROOT_PATH /usr/${ATTVIEW_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Boost is header-only here; -idirafter keeps Debian's headers behind mingw's own.
set(CMAKE_CXX_FLAGS_INIT "-idirafter /usr/include")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
