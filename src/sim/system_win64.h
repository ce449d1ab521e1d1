// The system's own kernel32/advapi32 calls on 64-bit Windows, declared without <windows.h> (whose
// macros would clash with the seam's constants in port/winapi.h): what the seam's dispatcher
// calls when STEPLINK_SIM is not set, and what the substitute writes its files through.
#pragma once

#include <cstdint>

namespace winsys {

void* CreateFileA(const char* fileName, std::uint32_t desiredAccess, std::uint32_t shareMode,
                  void* securityAttributes, std::uint32_t creationDisposition,
                  std::uint32_t flagsAndAttributes, void* templateFile);
int DeviceIoControl(void* device, std::uint32_t ioControlCode, void* inBuffer,
                    std::uint32_t inBufferSize, void* outBuffer, std::uint32_t outBufferSize,
                    std::uint32_t* bytesReturned, void* overlapped);
int WriteFile(void* file, const void* buffer, std::uint32_t bytesToWrite,
              std::uint32_t* bytesWritten, void* overlapped);
int CloseHandle(void* object);
std::uint32_t GetLastError();
std::uint32_t GetEnvironmentVariableA(const char* name, char* buffer, std::uint32_t size);
unsigned GetSystemDirectoryA(char* buffer, unsigned size);
char* lstrcatA(char* string1, const char* string2);
int CopyFileA(const char* existingFileName, const char* newFileName, int failIfExists);
void* OpenSCManagerA(const char* machineName, const char* databaseName,
                     std::uint32_t desiredAccess);
void* OpenServiceA(void* manager, const char* serviceName, std::uint32_t desiredAccess);
int StartServiceA(void* service, std::uint32_t numServiceArgs, const char** serviceArgs);
void* CreateServiceA(void* manager, const char* serviceName, const char* displayName,
                     std::uint32_t desiredAccess, std::uint32_t serviceType,
                     std::uint32_t startType, std::uint32_t errorControl,
                     const char* binaryPathName, const char* loadOrderGroup, std::uint32_t* tagId,
                     const char* dependencies, const char* serviceStartName, const char* password);
int CloseServiceHandle(void* object);

}  // namespace winsys
