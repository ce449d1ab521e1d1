// The stand-in for the JVM that the Wine programs share: the five exports resolved by the width's
// JNI names (stdcall-decorated on x86, plain on x64) and a JNIEnv of its own whose every slot
// ends the program (the library must call none); the DLL loaded and its entries resolved, and the
// calls of session.steplink made through them. Calls kernel32 and the DLL's exports only.
#pragma once

#include <windows.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <optional>
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

// Loads the DLL and resolves the five entries by their JNI names; nothing, with the reason
// printed and the exit code in `exitCode`, when either fails.
inline std::optional<Entries> LoadEntries(const char* path, int& exitCode) {
  HMODULE dll = LoadLibraryA(path);
  if (dll == nullptr) {
    std::printf("e2e: cannot load %s (error %lu)\n", path, GetLastError());
    std::fflush(nullptr);
    exitCode = exitLoadFailed;
    return std::nullopt;
  }
  bool complete = true;
  const Entries entries = {
      Resolve<NoArgEntry>(dll, E2E_EXPORT("openConn", "@8"), complete),
      Resolve<NoArgEntry>(dll, E2E_EXPORT("closeConn", "@8"), complete),
      Resolve<NoArgEntry>(dll, E2E_EXPORT("initTimer", "@8"), complete),
      Resolve<XyzEntry>(dll, E2E_EXPORT("vectorOut", "@20"), complete),
      Resolve<XyzVoidEntry>(dll, E2E_EXPORT("reference", "@20"), complete),
  };
  if (!complete) {
    std::fflush(nullptr);
    exitCode = exitExportMissing;
    return std::nullopt;
  }
  return entries;
}

// Where session.steplink leaves the table, in steps, and how many steps it made.
struct SessionEnd {
  int x = 0, y = 0, z = 0;
  long long steps = 0;
};

// The calls of session.steplink between initTimer and closeConn, as the Linux runner makes them:
// four moves (32000 sets auxiliary state 1, 32222 keeps the Z latch; ordinary moves return 3), a
// reference run of all three axes, auxiliary state 0. Each result is checked; `inCall`, when
// given, is set while a move or the reference run is in progress.
inline SessionEnd RunSessionCalls(const Entries& entries, std::atomic<bool>* inCall = nullptr) {
  struct Move {
    int x, y, z, result;
  };
  constexpr Move moves[] = {
      {40, -25, 10, 3}, {-15, 30, -4, 3}, {0, 0, 32000, 1}, {12, 7, 32222, 2}};
  // The table's default switch positions; every axis starts above its switch.
  constexpr int limitSteps[3] = {-200, -150, -100};
  constexpr int backOff[3] = {20, 15, 5};
  SessionEnd end;
  const auto during = [inCall](bool now) {
    if (inCall != nullptr) *inCall = now;
  };
  for (const Move& move : moves) {
    during(true);
    const int result = entries.vectorOut(env, cls, move.x, move.y, move.z);
    during(false);
    std::printf("e2e: vectorOut %d %d %d -> %d\n", move.x, move.y, move.z, result);
    Check(result == move.result, "vectorOut result code");
    end.x += move.x;
    end.y += move.y;
    end.steps += std::abs(move.x) + std::abs(move.y);
    if (move.z > -32000 && move.z < 32000) {
      end.z += move.z;
      end.steps += std::abs(move.z);
    }
  }
  // Each axis creeps down onto its switch, then backs off.
  during(true);
  entries.reference(env, cls, backOff[0], backOff[1], backOff[2]);
  during(false);
  std::printf("e2e: reference %d %d %d\n", backOff[0], backOff[1], backOff[2]);
  end.steps += (end.x - limitSteps[0]) + (end.y - limitSteps[1]) + (end.z - limitSteps[2]);
  end.steps += backOff[0] + backOff[1] + backOff[2];
  end.x = limitSteps[0] + backOff[0];
  end.y = limitSteps[1] + backOff[1];
  end.z = limitSteps[2] + backOff[2];

  const int aux = entries.vectorOut(env, cls, 0, 0, -32000);
  std::printf("e2e: vectorOut 0 0 -32000 -> %d\n", aux);
  Check(aux == 0, "vectorOut -32000 sets auxiliary state 0");
  return end;
}

}  // namespace standin
