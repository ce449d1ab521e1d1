// The 64-bit Windows seam's two sides: the substitute's calls (winapi_substitute.cpp, under
// namespace winapi::substitute there) and the once-per-process choice between them and the
// system's (winapi_win64.cpp). Signatures as port/winapi.h declares the seam.
#pragma once

#include "port/winapi.h"

namespace winapi::substitute {

HANDLE CreateFileA(const char* fileName, DWORD desiredAccess, DWORD shareMode,
                   void* securityAttributes, DWORD creationDisposition, DWORD flagsAndAttributes,
                   HANDLE templateFile);
BOOL DeviceIoControl(HANDLE device, DWORD ioControlCode, void* inBuffer, DWORD inBufferSize,
                     void* outBuffer, DWORD outBufferSize, DWORD* bytesReturned, void* overlapped);
BOOL WriteFile(HANDLE file, const void* buffer, DWORD bytesToWrite, DWORD* bytesWritten,
               void* overlapped);
BOOL CloseHandle(HANDLE object);
DWORD GetLastError();
DWORD GetEnvironmentVariableA(const char* name, char* buffer, DWORD size);
UINT GetSystemDirectoryA(char* buffer, UINT size);
char* lstrcatA(char* string1, const char* string2);
BOOL CopyFileA(const char* existingFileName, const char* newFileName, BOOL failIfExists);
SC_HANDLE OpenSCManagerA(const char* machineName, const char* databaseName, DWORD desiredAccess);
SC_HANDLE OpenServiceA(SC_HANDLE manager, const char* serviceName, DWORD desiredAccess);
BOOL StartServiceA(SC_HANDLE service, DWORD numServiceArgs, const char** serviceArgs);
SC_HANDLE CreateServiceA(SC_HANDLE manager, const char* serviceName, const char* displayName,
                         DWORD desiredAccess, DWORD serviceType, DWORD startType,
                         DWORD errorControl, const char* binaryPathName, const char* loadOrderGroup,
                         DWORD* tagId, const char* dependencies, const char* serviceStartName,
                         const char* password);
BOOL CloseServiceHandle(SC_HANDLE object);

}  // namespace winapi::substitute

namespace sim {
// Whether this process runs the simulated table in-process: STEPLINK_SIM is set (to anything,
// even empty: the defaults). Decided on first use and kept, so one session never mixes the two.
bool SimulatedTableChosen();
}  // namespace sim
