# Cross-compiling the 64-bit Windows DLL with MinGW-w64 (Debian: g++-mingw-w64-x86-64-win32).
# The win32-threads flavour only: the posix one can pull in libwinpthread-1.dll, which neither a
# JVM's directory nor Wine's prefix provides.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

find_program(STEPLINK_MINGW_CXX NAMES x86_64-w64-mingw32-g++-win32)
find_program(STEPLINK_MINGW_CC NAMES x86_64-w64-mingw32-gcc-win32)
if(NOT STEPLINK_MINGW_CXX OR NOT STEPLINK_MINGW_CC)
  message(FATAL_ERROR "MinGW-w64 for x86_64 (win32 threads) not found: install the Debian packages "
    "g++-mingw-w64-x86-64-win32 and gcc-mingw-w64-x86-64-win32 (scripts/install-deps.sh does, as root).")
endif()
set(CMAKE_C_COMPILER ${STEPLINK_MINGW_CC})
set(CMAKE_CXX_COMPILER ${STEPLINK_MINGW_CXX})
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
