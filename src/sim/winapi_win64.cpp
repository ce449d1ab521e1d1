// The 64-bit Windows seam: every call the core makes goes to the substitute (the in-process
// simulated table, as on Linux) while STEPLINK_SIM is set, to the system's own otherwise (the
// PortTalk device, its service start and installation). Calls winsys (system_win64.cpp) and the
// substitute (winapi_substitute.cpp); nothing else.
#include "sim/winapi_win64.h"

#include <cstdlib>

#include "sim/system_win64.h"

namespace sim {

bool SimulatedTableChosen() {
  // The C runtime's copy of the environment: what config.cpp reads STEPLINK_SIM from too.
  static const bool chosen = std::getenv("STEPLINK_SIM") != nullptr;
  return chosen;
}

}  // namespace sim

namespace winapi {

HANDLE CreateFileA(const char* fileName, DWORD desiredAccess, DWORD shareMode,
                   void* securityAttributes, DWORD creationDisposition, DWORD flagsAndAttributes,
                   HANDLE templateFile) {
  if (sim::SimulatedTableChosen()) {
    return substitute::CreateFileA(fileName, desiredAccess, shareMode, securityAttributes,
                                   creationDisposition, flagsAndAttributes, templateFile);
  }
  return winsys::CreateFileA(fileName, desiredAccess, shareMode, securityAttributes,
                             creationDisposition, flagsAndAttributes, templateFile);
}

BOOL DeviceIoControl(HANDLE device, DWORD ioControlCode, void* inBuffer, DWORD inBufferSize,
                     void* outBuffer, DWORD outBufferSize, DWORD* bytesReturned, void* overlapped) {
  if (sim::SimulatedTableChosen()) {
    return substitute::DeviceIoControl(device, ioControlCode, inBuffer, inBufferSize, outBuffer,
                                       outBufferSize, bytesReturned, overlapped);
  }
  return winsys::DeviceIoControl(device, ioControlCode, inBuffer, inBufferSize, outBuffer,
                                 outBufferSize, bytesReturned, overlapped);
}

BOOL WriteFile(HANDLE file, const void* buffer, DWORD bytesToWrite, DWORD* bytesWritten,
               void* overlapped) {
  if (sim::SimulatedTableChosen()) {
    return substitute::WriteFile(file, buffer, bytesToWrite, bytesWritten, overlapped);
  }
  return winsys::WriteFile(file, buffer, bytesToWrite, bytesWritten, overlapped);
}

BOOL CloseHandle(HANDLE object) {
  return sim::SimulatedTableChosen() ? substitute::CloseHandle(object)
                                     : winsys::CloseHandle(object);
}

DWORD GetLastError() {
  return sim::SimulatedTableChosen() ? substitute::GetLastError() : winsys::GetLastError();
}

DWORD GetEnvironmentVariableA(const char* name, char* buffer, DWORD size) {
  return sim::SimulatedTableChosen() ? substitute::GetEnvironmentVariableA(name, buffer, size)
                                     : winsys::GetEnvironmentVariableA(name, buffer, size);
}

UINT GetSystemDirectoryA(char* buffer, UINT size) {
  return sim::SimulatedTableChosen() ? substitute::GetSystemDirectoryA(buffer, size)
                                     : winsys::GetSystemDirectoryA(buffer, size);
}

char* lstrcatA(char* string1, const char* string2) {
  return sim::SimulatedTableChosen() ? substitute::lstrcatA(string1, string2)
                                     : winsys::lstrcatA(string1, string2);
}

BOOL CopyFileA(const char* existingFileName, const char* newFileName, BOOL failIfExists) {
  return sim::SimulatedTableChosen()
             ? substitute::CopyFileA(existingFileName, newFileName, failIfExists)
             : winsys::CopyFileA(existingFileName, newFileName, failIfExists);
}

SC_HANDLE OpenSCManagerA(const char* machineName, const char* databaseName, DWORD desiredAccess) {
  return sim::SimulatedTableChosen()
             ? substitute::OpenSCManagerA(machineName, databaseName, desiredAccess)
             : winsys::OpenSCManagerA(machineName, databaseName, desiredAccess);
}

SC_HANDLE OpenServiceA(SC_HANDLE manager, const char* serviceName, DWORD desiredAccess) {
  return sim::SimulatedTableChosen() ? substitute::OpenServiceA(manager, serviceName, desiredAccess)
                                     : winsys::OpenServiceA(manager, serviceName, desiredAccess);
}

BOOL StartServiceA(SC_HANDLE service, DWORD numServiceArgs, const char** serviceArgs) {
  return sim::SimulatedTableChosen()
             ? substitute::StartServiceA(service, numServiceArgs, serviceArgs)
             : winsys::StartServiceA(service, numServiceArgs, serviceArgs);
}

SC_HANDLE CreateServiceA(SC_HANDLE manager, const char* serviceName, const char* displayName,
                         DWORD desiredAccess, DWORD serviceType, DWORD startType,
                         DWORD errorControl, const char* binaryPathName, const char* loadOrderGroup,
                         DWORD* tagId, const char* dependencies, const char* serviceStartName,
                         const char* password) {
  if (sim::SimulatedTableChosen()) {
    return substitute::CreateServiceA(manager, serviceName, displayName, desiredAccess, serviceType,
                                      startType, errorControl, binaryPathName, loadOrderGroup,
                                      tagId, dependencies, serviceStartName, password);
  }
  return winsys::CreateServiceA(manager, serviceName, displayName, desiredAccess, serviceType,
                                startType, errorControl, binaryPathName, loadOrderGroup, tagId,
                                dependencies, serviceStartName, password);
}

BOOL CloseServiceHandle(SC_HANDLE object) {
  return sim::SimulatedTableChosen() ? substitute::CloseServiceHandle(object)
                                     : winsys::CloseServiceHandle(object);
}

}  // namespace winapi
