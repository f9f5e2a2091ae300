# 32-bit Windows, the product. The project runs the tests under Wine through
# CMake's cross-compiling emulator.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(ATTVIEW_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
