# 64-bit Windows. Not the product (that is the 32-bit build): it runs the Windows
# tests under 64-bit Wine on machines that cannot run 32-bit programs.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(ATTVIEW_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
