// The stand-in for the JVM that the Wine programs share: the five exports resolved by the width's
// JNI names (stdcall-decorated on x86, plain on x64) and a JNIEnv of its own whose every slot
// ends the program (the library must call none). Calls kernel32 only.
#pragma once

#include <windows.h>

#include <array>
#include <cstdio>
#include <utility>

namespace standin {

#ifdef _WIN64
#define E2E_JNICALL
#define E2E_EXPORT(name, x86Suffix) "Java_JavaToC_" name
#else
#define E2E_JNICALL __stdcall
#define E2E_EXPORT(name, x86Suffix) "_Java_JavaToC_" name x86Suffix
#endif
using NoArgEntry = int(E2E_JNICALL*)(void* env, void* cls);
using XyzEntry = int(E2E_JNICALL*)(void* env, void* cls, int x, int y, int z);
using XyzVoidEntry = void(E2E_JNICALL*)(void* env, void* cls, int x, int y, int z);

constexpr int exitJniCalled = 5;

// A JNIEnv as a JVM hands one over: a pointer to a table of function pointers (JDK 17's table
// has 235 slots; 256 cover it). The library uses none of them, so every slot ends the program
// with its index: a call into the environment is a failure, not a crash in a null table.
constexpr int jniTableSlots = 256;

template <int slot>
void JniTrap() {
  std::printf("e2e: FAILED the library called JNIEnv function %d\n", slot);
  std::fflush(nullptr);
  ExitProcess(exitJniCalled);
}

template <int... slots>
constexpr std::array<void (*)(), sizeof...(slots)> MakeJniTable(
    std::integer_sequence<int, slots...>) {
  return {&JniTrap<slots>...};
}

const auto jniFunctions = MakeJniTable(std::make_integer_sequence<int, jniTableSlots>{});
// The JNIEnv: its first and only member points at the function table.
const void* const jniEnvironment = jniFunctions.data();
// The class object stands for JavaToC; the library only passes it along.
int javaToCClass = 0;
void* const env = const_cast<void**>(&jniEnvironment);
void* const cls = &javaToCClass;

// Exit codes, so the harness tells a broken setup from a wrong result.
constexpr int exitCheckFailed = 1;
constexpr int exitUsage = 2;
constexpr int exitLoadFailed = 3;
constexpr int exitExportMissing = 4;

struct Entries {
  NoArgEntry openConn;
  NoArgEntry closeConn;
  NoArgEntry initTimer;
  XyzEntry vectorOut;
  XyzVoidEntry reference;
};

inline int failures = 0;

inline void Check(bool ok, const char* what) {
  if (!ok) {
    std::printf("e2e: FAILED %s\n", what);
    ++failures;
  }
}

template <typename Function>
Function Resolve(HMODULE dll, const char* name, bool& complete) {
  FARPROC address = GetProcAddress(dll, name);
  if (address == nullptr) {
    std::printf("e2e: missing export %s\n", name);
    complete = false;
  }
  // void(*)() first: the one function-pointer type that converts to any other without a warning.
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(address));
}

}  // namespace standin
