# Cross build for 64-bit Windows: the same code, which is what runs under wine64 here.
set(PATCHER_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
