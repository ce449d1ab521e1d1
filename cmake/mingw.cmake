# Cross-compiling with MinGW-w64, shared by the toolchain files mingw-i686.cmake and
# mingw-x86_64.cmake, which set before including it: STEPLINK_MINGW_TRIPLE (i686-w64-mingw32),
# STEPLINK_MINGW_SUFFIXES (the compilers' name endings to try, in order: "-win32" first, as the
# posix-threads flavour can pull in libwinpthread-1.dll, which neither a JVM's directory nor
# Wine's prefix provides; "" also takes the default flavour) and STEPLINK_MINGW_MISSING (what to
# install when no compiler is found).
set(CMAKE_SYSTEM_NAME Windows)

set(cxxNames "")
set(ccNames "")
foreach(suffix IN LISTS STEPLINK_MINGW_SUFFIXES)
  list(APPEND cxxNames ${STEPLINK_MINGW_TRIPLE}-g++${suffix})
  list(APPEND ccNames ${STEPLINK_MINGW_TRIPLE}-gcc${suffix})
endforeach()
find_program(STEPLINK_MINGW_CXX NAMES ${cxxNames})
find_program(STEPLINK_MINGW_CC NAMES ${ccNames})
if(NOT STEPLINK_MINGW_CXX OR NOT STEPLINK_MINGW_CC)
  message(FATAL_ERROR "${STEPLINK_MINGW_MISSING} (scripts/install-deps.sh does, as root).")
endif()
set(CMAKE_C_COMPILER ${STEPLINK_MINGW_CC})
set(CMAKE_CXX_COMPILER ${STEPLINK_MINGW_CXX})
set(CMAKE_RC_COMPILER ${STEPLINK_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${STEPLINK_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
