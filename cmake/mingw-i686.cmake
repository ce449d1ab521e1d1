# Cross-compiling the 32-bit Windows DLL with MinGW-w64 (Debian: g++-mingw-w64-i686).
# The win32-threads flavour is used where installed: the posix one can pull in
# libwinpthread-1.dll, which neither the JVM's directory nor Wine's prefix provides.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

find_program(STEPLINK_MINGW_CXX NAMES i686-w64-mingw32-g++-win32 i686-w64-mingw32-g++)
find_program(STEPLINK_MINGW_CC NAMES i686-w64-mingw32-gcc-win32 i686-w64-mingw32-gcc)
if(NOT STEPLINK_MINGW_CXX OR NOT STEPLINK_MINGW_CC)
  message(FATAL_ERROR "MinGW-w64 for i686 not found: install the Debian packages "
    "g++-mingw-w64-i686 and gcc-mingw-w64-i686 (scripts/install-deps.sh does, as root).")
endif()
set(CMAKE_C_COMPILER ${STEPLINK_MINGW_CC})
set(CMAKE_CXX_COMPILER ${STEPLINK_MINGW_CXX})
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
