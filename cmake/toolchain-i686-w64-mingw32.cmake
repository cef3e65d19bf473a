# Cross build for 32-bit Windows (the patcher players run).
set(PATCHER_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
