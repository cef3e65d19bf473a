# cmake -DEXE=<file> -DLIMIT=<bytes> -P check-exe-size.cmake
# Fails, and removes the file, when it is larger than LIMIT bytes.
file(SIZE "${EXE}" size)
if(size GREATER LIMIT)
  file(REMOVE "${EXE}")
  message(FATAL_ERROR "${EXE} is ${size} bytes, more than the ${LIMIT} bytes before the payload; removed.")
endif()
message(STATUS "${EXE}: ${size} of ${LIMIT} bytes")
