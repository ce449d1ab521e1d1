# Cross-compiling the 64-bit Windows DLL with MinGW-w64 (Debian: g++-mingw-w64-x86-64-win32).
# The win32-threads flavour only.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(STEPLINK_MINGW_TRIPLE x86_64-w64-mingw32)
set(STEPLINK_MINGW_SUFFIXES "-win32")
string(CONCAT STEPLINK_MINGW_MISSING "MinGW-w64 for x86_64 (win32 threads) not found: install the "
  "Debian packages g++-mingw-w64-x86-64-win32 and gcc-mingw-w64-x86-64-win32")
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
