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

// Set while a call that moves the table runs, for the reader thread.
std::atomic<bool> inCall{false};

int RunSession(const Entries& entries) {
  const int handle = entries.openConn(env, cls);
  std::printf("e2e: openConn %s\n", handle != 255 ? "handle" : "255");
  if (handle == 255) return exitCheckFailed;
  const int mode = entries.initTimer(env, cls);
  std::printf("e2e: initTimer %d\n", mode);
  Check(mode == 2, "initTimer finds counter mode 2");
  RunSessionCalls(entries, &inCall);
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
  const SessionEnd end = RunSessionCalls(entries, &inCall);
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
  int failure = EXIT_SUCCESS;
  const std::optional<Entries> entries = LoadEntries(argv[2], failure);
  if (!entries) return failure;
  int result = EXIT_SUCCESS;
  if (status) {
    result = RunStatus(*entries, argv[3]);
  } else if (std::strcmp(argv[1], "open") == 0) {
    result = RunOpen(*entries);
  } else {
    result = RunSession(*entries);
  }
  std::printf("e2e: %s\n", result == EXIT_SUCCESS ? "done" : "FAILED");
  std::fflush(nullptr);
  return result;
}
