# Shared by the mingw toolchain files: finds the compilers and windres by target triple and stops
# with a clear message when one is missing.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${PATCHER_MINGW_TRIPLE})

foreach(tool gcc g++ windres)
  string(TOUPPER ${tool} var)
  string(REPLACE "+" "X" var ${var})
  # Debian ships -win32 and -posix thread-model variants. GoogleTest needs std::mutex, which only
  # the posix one has; everything is linked statically, so no pthread DLL ships either way.
  find_program(PATCHER_${var} NAMES ${PATCHER_MINGW_TRIPLE}-${tool}-posix ${PATCHER_MINGW_TRIPLE}-${tool})
  if(NOT PATCHER_${var})
    message(FATAL_ERROR "${PATCHER_MINGW_TRIPLE}-${tool} not found: install g++-mingw-w64 "
                        "(scripts/install-deps does).")
  endif()
endforeach()

set(CMAKE_C_COMPILER ${PATCHER_GCC})
set(CMAKE_CXX_COMPILER ${PATCHER_GXX})
set(CMAKE_RC_COMPILER ${PATCHER_WINDRES})
set(CMAKE_FIND_ROOT_PATH /usr/${PATCHER_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
