// The system's kernel32/advapi32 calls for the 64-bit seam, each passed straight on: the only
// file of the seam that includes <windows.h>. DWORD is 32 bits here as in the seam's declarations.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include "sim/system_win64.h"

#include <windows.h>

static_assert(sizeof(DWORD) == sizeof(std::uint32_t));

namespace winsys {

void* CreateFileA(const char* fileName, std::uint32_t desiredAccess, std::uint32_t shareMode,
                  void* securityAttributes, std::uint32_t creationDisposition,
                  std::uint32_t flagsAndAttributes, void* templateFile) {
  return ::CreateFileA(fileName, desiredAccess, shareMode,
                       static_cast<LPSECURITY_ATTRIBUTES>(securityAttributes), creationDisposition,
                       flagsAndAttributes, templateFile);
}

int DeviceIoControl(void* device, std::uint32_t ioControlCode, void* inBuffer,
                    std::uint32_t inBufferSize, void* outBuffer, std::uint32_t outBufferSize,
                    std::uint32_t* bytesReturned, void* overlapped) {
  DWORD returned = 0;
  const BOOL done =
      ::DeviceIoControl(device, ioControlCode, inBuffer, inBufferSize, outBuffer, outBufferSize,
                        &returned, static_cast<LPOVERLAPPED>(overlapped));
  if (bytesReturned != nullptr) *bytesReturned = returned;
  return done;
}

int WriteFile(void* file, const void* buffer, std::uint32_t bytesToWrite,
              std::uint32_t* bytesWritten, void* overlapped) {
  DWORD written = 0;
  const BOOL done =
      ::WriteFile(file, buffer, bytesToWrite, &written, static_cast<LPOVERLAPPED>(overlapped));
  if (bytesWritten != nullptr) *bytesWritten = written;
  return done;
}

int CloseHandle(void* object) {
  return ::CloseHandle(object);
}

std::uint32_t GetLastError() {
  return ::GetLastError();
}

std::uint32_t GetEnvironmentVariableA(const char* name, char* buffer, std::uint32_t size) {
  return ::GetEnvironmentVariableA(name, buffer, size);
}

unsigned GetSystemDirectoryA(char* buffer, unsigned size) {
  return ::GetSystemDirectoryA(buffer, size);
}

char* lstrcatA(char* string1, const char* string2) {
  return ::lstrcatA(string1, string2);
}

int CopyFileA(const char* existingFileName, const char* newFileName, int failIfExists) {
  return ::CopyFileA(existingFileName, newFileName, failIfExists);
}

void* OpenSCManagerA(const char* machineName, const char* databaseName,
                     std::uint32_t desiredAccess) {
  return ::OpenSCManagerA(machineName, databaseName, desiredAccess);
}

void* OpenServiceA(void* manager, const char* serviceName, std::uint32_t desiredAccess) {
  return ::OpenServiceA(static_cast<SC_HANDLE>(manager), serviceName, desiredAccess);
}

int StartServiceA(void* service, std::uint32_t numServiceArgs, const char** serviceArgs) {
  return ::StartServiceA(static_cast<SC_HANDLE>(service), numServiceArgs, serviceArgs);
}

void* CreateServiceA(void* manager, const char* serviceName, const char* displayName,
                     std::uint32_t desiredAccess, std::uint32_t serviceType,
                     std::uint32_t startType, std::uint32_t errorControl,
                     const char* binaryPathName, const char* loadOrderGroup, std::uint32_t* tagId,
                     const char* dependencies, const char* serviceStartName, const char* password) {
  DWORD tag = 0;
  SC_HANDLE made =
      ::CreateServiceA(static_cast<SC_HANDLE>(manager), serviceName, displayName, desiredAccess,
                       serviceType, startType, errorControl, binaryPathName, loadOrderGroup,
                       tagId ? &tag : nullptr, dependencies, serviceStartName, password);
  if (tagId != nullptr) *tagId = tag;
  return made;
}

int CloseServiceHandle(void* object) {
  return ::CloseServiceHandle(static_cast<SC_HANDLE>(object));
}

}  // namespace winsys
