# Cross-compiling the 32-bit Windows DLL with MinGW-w64 (Debian: g++-mingw-w64-i686).
# The win32-threads flavour is used where installed, else the default one.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(STEPLINK_MINGW_TRIPLE i686-w64-mingw32)
set(STEPLINK_MINGW_SUFFIXES "-win32;")
string(CONCAT STEPLINK_MINGW_MISSING "MinGW-w64 for i686 not found: install the Debian packages "
  "g++-mingw-w64-i686 and gcc-mingw-w64-i686")
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
