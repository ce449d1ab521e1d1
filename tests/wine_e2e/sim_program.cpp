// Windows program run under 64-bit Wine, a stand-in for the JVM on the in-process simulated table
// (STEPLINK_SIM set, no driver, no service): the end-to-end session through the DLL's exports,
// openConn alone (for the bad STEPLINK_SIM values), and the session with a second thread reading
// the status block (a named file mapping) while the table moves. Calls kernel32, advapi32 and the
// DLL's exports.
#include <windows.h>
// windows.h first: the access-list calls need its types.
#include <aclapi.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "contract/steplink_contract.h"
#include "jvm_standin.h"
#include "status/seqlock.h"

namespace {

using namespace standin;

// The session of session.steplink, the same calls the Linux runner makes; false when a result is
// not the one the table gives. Positions commanded end in x, y, z.
std::atomic<bool> inCall{false};

struct Ends {
  int x = 0, y = 0, z = 0;
};

Ends RunCalls(const Entries& entries) {
  struct Move {
    int x, y, z, result;
  };
  constexpr Move moves[] = {
      {40, -25, 10, 3}, {-15, 30, -4, 3}, {0, 0, 32000, 1}, {12, 7, 32222, 2}};
  for (const Move& move : moves) {
    inCall = true;
    const int result = entries.vectorOut(env, cls, move.x, move.y, move.z);
    inCall = false;
    std::printf("e2e: vectorOut %d %d %d -> %d\n", move.x, move.y, move.z, result);
    Check(result == move.result, "vectorOut result code");
  }
  inCall = true;
  entries.reference(env, cls, 20, 15, 5);
  inCall = false;
  std::printf("e2e: reference 20 15 5\n");
  // Every axis creeps onto its switch (the table's defaults -200, -150, -100) and backs off.
  const Ends end = {-200 + 20, -150 + 15, -100 + 5};
  const int aux = entries.vectorOut(env, cls, 0, 0, -32000);
  std::printf("e2e: vectorOut 0 0 -32000 -> %d\n", aux);
  Check(aux == 0, "vectorOut -32000 sets auxiliary state 0");
  return end;
}

int RunSession(const Entries& entries) {
  const int handle = entries.openConn(env, cls);
  std::printf("e2e: openConn %s\n", handle != 255 ? "handle" : "255");
  if (handle == 255) return exitCheckFailed;
  const int mode = entries.initTimer(env, cls);
  std::printf("e2e: initTimer %d\n", mode);
  Check(mode == 2, "initTimer finds counter mode 2");
  RunCalls(entries);
  const int closed = entries.closeConn(env, cls);
  std::printf("e2e: closeConn %s\n", closed != 0 ? "nonzero" : "0");
  Check(closed != 0, "closeConn closes the handle");
  return failures == 0 ? EXIT_SUCCESS : exitCheckFailed;
}

// openConn alone: the harness compares the library's lines with Linux's for the same setting.
int RunOpen(const Entries& entries) {
  const int handle = entries.openConn(env, cls);
  std::fflush(nullptr);
  std::printf("e2e: openConn %d\n", handle);
  if (handle != 255) entries.closeConn(env, cls);
  return EXIT_SUCCESS;
}

// What the reader thread saw: consistent copies taken while a call ran, and how many of those
// showed the table part-way (its step count between two copies of the same call changed).
struct Readings {
  std::atomic<bool> stop{false};
  long copies = 0;
  long duringCalls = 0;
  long movingCopies = 0;
  long torn = 0;  // no consistent copy within the attempts
};

struct Reader {
  const SteplinkStatusBlock* block = nullptr;
  Readings readings;
};

DWORD WINAPI ReaderThread(void* context) {
  auto& reader = *static_cast<Reader*>(context);
  std::uint64_t lastSteps = ~std::uint64_t{0};
  while (!reader.readings.stop) {
    const bool during = inCall;
    const auto copy = status::ReadSection(reader.block->table);
    if (!copy) {
      ++reader.readings.torn;
      continue;
    }
    ++reader.readings.copies;
    if (during && inCall) {
      ++reader.readings.duringCalls;
      if (lastSteps != ~std::uint64_t{0} && copy->totalSteps != lastSteps) {
        ++reader.readings.movingCopies;
      }
      lastSteps = copy->totalSteps;
    } else {
      lastSteps = ~std::uint64_t{0};
    }
    Sleep(0);
  }
  return 0;
}

// The block's access list: one entry, allowing this process's user.
bool OnlyThisUser(HANDLE mapping) {
  PACL acl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(mapping, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &acl,
                      nullptr, &descriptor) != ERROR_SUCCESS) {
    return false;
  }
  bool only = false;
  HANDLE token = nullptr;
  char buffer[256];
  DWORD length = 0;
  void* ace = nullptr;
  std::printf("e2e: access list of the block: %d entries\n", acl ? acl->AceCount : -1);
  if (acl != nullptr && acl->AceCount == 1 && GetAce(acl, 0, &ace) &&
      OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) &&
      GetTokenInformation(token, TokenUser, buffer, sizeof(buffer), &length)) {
    const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
    only = allowed->Header.AceType == ACCESS_ALLOWED_ACE_TYPE &&
           EqualSid(const_cast<DWORD*>(&allowed->SidStart),
                    reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid);
  }
  if (token != nullptr) CloseHandle(token);
  LocalFree(descriptor);
  return only;
}

int RunStatus(const Entries& entries, const char* name) {
  const int handle = entries.openConn(env, cls);
  std::printf("e2e: openConn %s\n", handle != 255 ? "handle" : "255");
  if (handle == 255) return exitCheckFailed;
  const std::string object = std::string("Local\\") + name;
  HANDLE mapping = OpenFileMappingA(FILE_MAP_READ | READ_CONTROL, FALSE, object.c_str());
  if (mapping == nullptr) {
    std::printf("e2e: FAILED no status block %s (error %lu)\n", object.c_str(), GetLastError());
    return exitCheckFailed;
  }
  Check(OnlyThisUser(mapping), "the status block's access list allows this user alone");
  Reader reader;
  reader.block = static_cast<const SteplinkStatusBlock*>(
      MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, STEPLINK_STATUS_SIZE));
  if (reader.block == nullptr) return exitCheckFailed;
  Check(reader.block->magic == STEPLINK_STATUS_MAGIC, "status block magic");
  Check(reader.block->version == STEPLINK_STATUS_VERSION, "status block layout version");
  Check(reader.block->ownerPid == GetCurrentProcessId(), "status block owner is this process");

  HANDLE thread = CreateThread(nullptr, 0, ReaderThread, &reader, 0, nullptr);
  entries.initTimer(env, cls);
  const Ends end = RunCalls(entries);
  reader.readings.stop = true;
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  entries.closeConn(env, cls);

  const auto last = status::ReadSection(reader.block->table);
  Check(last.has_value(), "a consistent copy after the session");
  if (last) {
    std::printf("e2e: status x=%d y=%d z=%d aux=%d steps=%llu faults=%u limit=%u hardware=%u\n",
                last->positionX, last->positionY, last->positionZ, last->auxState,
                static_cast<unsigned long long>(last->totalSteps), last->faultCount,
                last->limitEngaged, last->hardware);
    Check(last->positionX == end.x && last->positionY == end.y && last->positionZ == end.z,
          "status positions are the commanded ones");
    Check(last->auxState == 0 && last->faultCount == 0 && last->hardware == 0,
          "status: auxiliary state 0, no faults, simulated table");
  }
  std::printf("e2e: reader copies=%ld during-calls=%ld moving=%ld torn=%ld\n",
              reader.readings.copies, reader.readings.duringCalls, reader.readings.movingCopies,
              reader.readings.torn);
  Check(reader.readings.movingCopies > 0, "the reader saw the table move during a call");
  UnmapViewOfFile(reader.block);
  CloseHandle(mapping);
  return failures == 0 ? EXIT_SUCCESS : exitCheckFailed;
}

}  // namespace

int main(int argc, char** argv) {
  const bool status = argc == 4 && std::strcmp(argv[1], "status") == 0;
  if (!status &&
      (argc != 3 || (std::strcmp(argv[1], "session") != 0 && std::strcmp(argv[1], "open") != 0))) {
    std::printf("usage: steplink_sim_e2e session|open STEPLINK_DLL | status STEPLINK_DLL NAME\n");
    return exitUsage;
  }
  HMODULE dll = LoadLibraryA(argv[2]);
  if (dll == nullptr) {
    std::printf("e2e: cannot load %s (error %lu)\n", argv[2], GetLastError());
    std::fflush(nullptr);
    return exitLoadFailed;
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
    return exitExportMissing;
  }
  int result = EXIT_SUCCESS;
  if (status) {
    result = RunStatus(entries, argv[3]);
  } else if (std::strcmp(argv[1], "open") == 0) {
    result = RunOpen(entries);
  } else {
    result = RunSession(entries);
  }
  std::printf("e2e: %s\n", result == EXIT_SUCCESS ? "done" : "FAILED");
  std::fflush(nullptr);
  return result;
}
