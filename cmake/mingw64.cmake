# 64-bit Windows with mingw-w64 (posix threads), linked statically. Not the product
# (that is the 32-bit build): it runs the Windows tests under 64-bit Wine on machines
# that cannot run 32-bit programs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_STRIP x86_64-w64-mingw32-strip)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Boost is header-only here; -idirafter keeps Debian's headers behind mingw's own.
set(CMAKE_CXX_FLAGS_INIT "-idirafter /usr/include")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
