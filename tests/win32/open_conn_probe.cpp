// Windows probe run under Wine: loads steplink.dll, resolves every entry by its exported name
// (decorated on x86, plain on x64) and by its ordinal, then calls openConn the way the JVM does.
// Calls only kernel32 (LoadLibrary, GetProcAddress) and the DLL's exports.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

namespace {
struct Entry {
  const char* name;
  WORD ordinal;
};

// The export table the JVM and older callers rely on: names and ordinals never change.
#ifdef _WIN64
constexpr Entry entries[] = {
    {"Java_JavaToC_closeConn", 1}, {"Java_JavaToC_initTimer", 2}, {"Java_JavaToC_openConn", 3},
    {"Java_JavaToC_reference", 4}, {"Java_JavaToC_vectorOut", 5},
};
constexpr const char* openConnName = "Java_JavaToC_openConn";
constexpr const char* closeConnName = "Java_JavaToC_closeConn";
using OpenConnEntry = int (*)(void* env, void* cls);
#else
constexpr Entry entries[] = {
    {"_Java_JavaToC_closeConn@8", 1},  {"_Java_JavaToC_initTimer@8", 2},
    {"_Java_JavaToC_openConn@8", 3},   {"_Java_JavaToC_reference@20", 4},
    {"_Java_JavaToC_vectorOut@20", 5},
};
constexpr const char* openConnName = "_Java_JavaToC_openConn@8";
constexpr const char* closeConnName = "_Java_JavaToC_closeConn@8";
using OpenConnEntry = int(__stdcall*)(void* env, void* cls);
#endif

// Exit codes: the harness tells a broken export table from a crash inside openConn.
constexpr int exitLoadFailed = 3;
constexpr int exitExportMissing = 4;
}  // namespace

int main(int argc, char** argv) {
  const char* dllPath = argc > 1 ? argv[1] : "steplink.dll";
  HMODULE dll = LoadLibraryA(dllPath);
  if (dll == nullptr) {
    std::printf("probe: cannot load %s (error %lu)\n", dllPath, GetLastError());
    std::fflush(nullptr);
    return exitLoadFailed;
  }

  bool complete = true;
  for (const Entry& entry : entries) {
    FARPROC byName = GetProcAddress(dll, entry.name);
    FARPROC byOrdinal = GetProcAddress(dll, MAKEINTRESOURCEA(entry.ordinal));
    if (byName == nullptr) {
      std::printf("probe: missing export %s\n", entry.name);
      complete = false;
    } else if (byName != byOrdinal) {
      std::printf("probe: ordinal %u is not %s\n", static_cast<unsigned>(entry.ordinal),
                  entry.name);
      complete = false;
    }
  }
  if (!complete) {
    std::fflush(nullptr);
    return exitExportMissing;
  }

  // void(*)() first: the one function-pointer type that converts to any other without a warning.
  auto openConn = reinterpret_cast<OpenConnEntry>(
      reinterpret_cast<void (*)()>(GetProcAddress(dll, openConnName)));
  const int result = openConn(nullptr, nullptr);
  std::printf("probe: openConn returned %d\n", result);
  // A channel whose open failed holds no handle: closing it must not report success.
  auto closeConn = reinterpret_cast<OpenConnEntry>(
      reinterpret_cast<void (*)()>(GetProcAddress(dll, closeConnName)));
  std::printf("probe: closeConn returned %d\n", closeConn(nullptr, nullptr));
  // The library's lines and ours share msvcrt's stdout, fully buffered when it is a file; the
  // library never flushes, so the program does it before leaving.
  std::fflush(nullptr);
  return EXIT_SUCCESS;
}
