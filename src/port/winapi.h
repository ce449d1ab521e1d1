// The platform seam: the kernel32/advapi32 calls that the port channel, the driver service and
// the trace file need, under one namespace. On 32-bit Windows they are the system's own; on 64-bit
// Windows each goes to the system's or, while STEPLINK_SIM is set, to the substitute
// (src/sim/winapi_win64.cpp); elsewhere they are our substitutes (src/sim) with the same
// signatures, results and error numbers. Only code under src/port calls into this seam.
#pragma once

#include <cstdint>

#if defined(_WIN32) && !defined(_WIN64)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace winapi {
using ::BOOL;
using ::DWORD;
using ::HANDLE;
using ::SC_HANDLE;
using ::UINT;

using ::CloseHandle;
using ::CloseServiceHandle;
using ::CopyFileA;
using ::CreateFileA;
using ::CreateServiceA;
using ::DeviceIoControl;
using ::GetEnvironmentVariableA;
using ::GetLastError;
using ::GetSystemDirectoryA;
using ::lstrcatA;
using ::OpenSCManagerA;
using ::OpenServiceA;
using ::StartServiceA;
using ::WriteFile;

inline HANDLE InvalidHandle() {
  return INVALID_HANDLE_VALUE;
}
}  // namespace winapi

#else  // substitutes (src/sim), or on 64-bit Windows the choice between them and the system's

namespace winapi {
using BOOL = int;
using DWORD = std::uint32_t;
using UINT = unsigned int;
using HANDLE = void*;
using SC_HANDLE = void*;

constexpr DWORD GENERIC_READ = 0x80000000u;
constexpr DWORD GENERIC_WRITE = 0x40000000u;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD CREATE_ALWAYS = 2;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;

constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_INVALID_NAME = 123;
constexpr DWORD ERROR_SERVICE_ALREADY_RUNNING = 1056;
constexpr DWORD ERROR_SERVICE_DOES_NOT_EXIST = 1060;
constexpr DWORD ERROR_SERVICE_EXISTS = 1073;

constexpr DWORD SC_MANAGER_ALL_ACCESS = 0xF003F;
constexpr DWORD SERVICE_ALL_ACCESS = 0xF01FF;
constexpr DWORD SERVICE_KERNEL_DRIVER = 1;
constexpr DWORD SERVICE_DEMAND_START = 3;
constexpr DWORD SERVICE_ERROR_NORMAL = 1;

// The system's invalid-handle value, all bits set, as on Windows.
inline HANDLE InvalidHandle() {
  return reinterpret_cast<HANDLE>(~std::uintptr_t{0});
}

// The calls, one list for this namespace and the 64-bit substitute's.
#include "port/winapi_calls.inc"
}  // namespace winapi

#endif
