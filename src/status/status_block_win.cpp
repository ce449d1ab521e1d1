// The status block on Windows: a named file mapping in the user's session (Local\NAME), backed
// by the paging file, its access list granting this user alone. Same layout and sequence lock as
// Linux's /dev/shm block; the owner's start time is the process's creation time (100 ns units
// since 1601). The name lives while a handle or view is open, so no stale block outlives its
// process and there is nothing to clean up. kernel32 and advapi32 calls only.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#define _CRT_RAND_S
#include <windows.h>
// windows.h first: the access-list helpers need its types.
#include <sddl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "status/status_block.h"

namespace status {
namespace {

std::string Quoted(const std::string& name) {
  return "'" + name + "'";
}

std::string ObjectName(const std::string& name) {
  return "Local\\" + name;
}

std::string SystemMessage(DWORD error) {
  char text[256] = {};
  const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                      nullptr, error, 0, text, sizeof(text), nullptr);
  std::string message(text, length);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                              message.back() == ' ' || message.back() == '.')) {
    message.pop_back();
  }
  return (message.empty() ? "error" : message) + " (" + std::to_string(error) + ")";
}

// The mapping handles of the blocks this process holds, by view address: the handle keeps the
// name alive, closed with the view. Few blocks per process (one table, one job writer).
struct Held {
  void* view = nullptr;
  HANDLE mapping = nullptr;
};
constexpr int heldSlots = 16;
Held held[heldSlots];
SRWLOCK heldLock = SRWLOCK_INIT;

bool Hold(void* view, HANDLE mapping) {
  AcquireSRWLockExclusive(&heldLock);
  bool kept = false;
  for (Held& slot : held) {
    if (slot.view == nullptr) {
      slot = {view, mapping};
      kept = true;
      break;
    }
  }
  ReleaseSRWLockExclusive(&heldLock);
  return kept;
}

void Release(void* view) {
  HANDLE mapping = nullptr;
  AcquireSRWLockExclusive(&heldLock);
  for (Held& slot : held) {
    if (slot.view == view) {
      mapping = slot.mapping;
      slot = {};
      break;
    }
  }
  ReleaseSRWLockExclusive(&heldLock);
  UnmapViewOfFile(view);
  if (mapping != nullptr) CloseHandle(mapping);
}

// "D:P(A;;GA;;;SID)": full access for this process's user, nobody else, nothing inherited.
// Empty when the user's SID cannot be had.
std::string OwnerOnlyDescriptor() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return {};
  char buffer[256];
  DWORD length = 0;
  std::string text;
  if (GetTokenInformation(token, TokenUser, buffer, sizeof(buffer), &length)) {
    char* sid = nullptr;
    if (ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &sid)) {
      text = std::string("D:P(A;;GA;;;") + sid + ")";
      LocalFree(sid);
    }
  }
  CloseHandle(token);
  return text;
}

SteplinkStatusBlock* MapView(HANDLE mapping) {
  return static_cast<SteplinkStatusBlock*>(
      MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, STEPLINK_STATUS_SIZE));
}

}  // namespace

std::uint64_t ProcessStartTime(pid_t pid) {
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
  if (process == nullptr) return 0;
  FILETIME created{}, exited{}, kernel{}, user{};
  const BOOL got = GetProcessTimes(process, &created, &exited, &kernel, &user);
  CloseHandle(process);
  if (!got) return 0;
  return (static_cast<std::uint64_t>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

std::string MakeBlockName(std::string_view prefix, std::string& error) {
  char hex[17];
  for (int half = 0; half < 2; ++half) {
    unsigned int value = 0;
    if (rand_s(&value) != 0) {
      error = "no random bytes for a status block name";
      return {};
    }
    std::snprintf(hex + 8 * half, 9, "%08x", value);
  }
  return std::string(prefix) + "-" + std::to_string(GetCurrentProcessId()) + "-" + hex;
}

// A named mapping ends with its last handle: nothing stale can be left behind.
int RemoveStaleBlocks(std::string_view) {
  return 0;
}

std::unique_ptr<StatusBlockFile> StatusBlockFile::Create(const std::string& name,
                                                         std::string& error) {
  if (!ValidBlockName(name, error)) return nullptr;
  const std::string descriptorText = OwnerOnlyDescriptor();
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (descriptorText.empty() ||
      !ConvertStringSecurityDescriptorToSecurityDescriptorA(descriptorText.c_str(), SDDL_REVISION_1,
                                                            &descriptor, nullptr)) {
    error = "cannot set up the status block " + Quoted(name) + ": no access list for this user";
    return nullptr;
  }
  SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor, FALSE};
  HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, &attributes, PAGE_READWRITE, 0,
                                      STEPLINK_STATUS_SIZE, ObjectName(name).c_str());
  const DWORD createError = GetLastError();
  LocalFree(descriptor);
  if (mapping == nullptr) {
    error = "cannot create the status block " + Quoted(name) + ": " + SystemMessage(createError);
    return nullptr;
  }
  SteplinkStatusBlock* block = MapView(mapping);
  if (block == nullptr) {
    error = "cannot set up the status block " + Quoted(name) + ": " + SystemMessage(GetLastError());
    CloseHandle(mapping);
    return nullptr;
  }
  if (createError == ERROR_ALREADY_EXISTS) {
    // Taken only when this process made it (the job section's writer beside the table's);
    // anything else under the name is another's.
    const bool ours = block->magic == STEPLINK_STATUS_MAGIC &&
                      block->version == STEPLINK_STATUS_VERSION &&
                      block->ownerPid == GetCurrentProcessId() &&
                      block->ownerStartTime == ProcessStartTime(GetCurrentProcessId());
    if (!ours || !Hold(block, mapping)) {
      UnmapViewOfFile(block);
      CloseHandle(mapping);
      error = "the status block " + Quoted(name) + " exists and belongs to another process";
      return nullptr;
    }
    return std::unique_ptr<StatusBlockFile>(new StatusBlockFile(name, block, false));
  }
  if (!Hold(block, mapping)) {
    UnmapViewOfFile(block);
    CloseHandle(mapping);
    error = "cannot set up the status block " + Quoted(name) + ": too many blocks open";
    return nullptr;
  }
  std::memset(block, 0, STEPLINK_STATUS_SIZE);
  block->ownerPid = GetCurrentProcessId();
  block->ownerStartTime = ProcessStartTime(GetCurrentProcessId());
  block->version = STEPLINK_STATUS_VERSION;
  block->table.auxState = -1;
  std::atomic_ref<std::uint32_t>(block->magic)
      .store(STEPLINK_STATUS_MAGIC, std::memory_order_release);
  return std::unique_ptr<StatusBlockFile>(new StatusBlockFile(name, block, true));
}

std::unique_ptr<StatusBlockFile> StatusBlockFile::Attach(const std::string& name,
                                                         std::string& error) {
  HANDLE mapping = OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, ObjectName(name).c_str());
  if (mapping == nullptr) {
    error = "no status block " + Quoted(name) + ": " + SystemMessage(GetLastError());
    return nullptr;
  }
  SteplinkStatusBlock* block = MapView(mapping);
  if (block == nullptr || block->magic != STEPLINK_STATUS_MAGIC ||
      block->version != STEPLINK_STATUS_VERSION || !Hold(block, mapping)) {
    if (block != nullptr) UnmapViewOfFile(block);
    CloseHandle(mapping);
    error = Quoted(name) + " is not a status block of this version";
    return nullptr;
  }
  return std::unique_ptr<StatusBlockFile>(new StatusBlockFile(name, block, false));
}

// The name goes with the last handle to it; closing ours is all there is to removal.
StatusBlockFile::~StatusBlockFile() {
  Release(block_);
}

// Process exit closes every handle, which removes the name: nothing to do on the way out.
bool RemoveStatusBlock(const std::string&) {
  return false;
}

}  // namespace status
