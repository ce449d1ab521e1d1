// Driver service: StartPortDriver/InstallPortDriver over the service control manager, with their
// fixed progress lines on standard output. Calls only the platform seam and printf.
#include "port/driver_service.h"

#include <cstdio>

#include "port/winapi.h"

using namespace winapi;

namespace {
constexpr char serviceName[] = "PortTalk";
constexpr char driverFileName[] = "PortTalk.sys";
constexpr char driverTargetSuffix[] = "\\Drivers\\PortTalk.sys";
static_assert(sizeof(driverTargetSuffix) - 1 == 21);
constexpr char driverImagePath[] = "System32\\Drivers\\PortTalk.sys";

// 54 characters of system directory plus the 21-character suffix and the terminator fit in 80.
constexpr UINT systemDirCapacity = 55;
constexpr int targetPathSize = 80;
static_assert(systemDirCapacity - 1 + sizeof(driverTargetSuffix) <= targetPathSize);

// Opening the service is retried after an unnamed error and after each installation; a service
// that never becomes available must not keep openConn spinning, so both are bounded.
constexpr int maxOpenServiceAttempts = 8;
constexpr int maxInstallRounds = 2;

SC_HANDLE OpenServiceManager() {
  return OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
}
}  // namespace

std::uint8_t StartPortDriver() {
  SC_HANDLE manager = OpenServiceManager();
  if (manager == nullptr) {
    if (GetLastError() == ERROR_ACCESS_DENIED) {
      std::printf("PortTalk: You do not have rights to access the Service Control Manager and\n");
      std::printf("PortTalk: the PortTalk driver is not installed or started. Please ask \n");
      std::printf("PortTalk: your administrator to install the driver on your behalf.\n");
    }
    return 0;
  }

  SC_HANDLE service = nullptr;
  int installRounds = 0;
  for (int attempt = 1; service == nullptr; ++attempt) {
    service = OpenServiceA(manager, serviceName, SERVICE_ALL_ACCESS);
    if (service != nullptr) break;
    const DWORD error = GetLastError();
    if (error == ERROR_ACCESS_DENIED) {
      std::printf("PortTalk: You do not have rights to the PortTalk service database\n");
      CloseServiceHandle(manager);
      return 0;
    }
    if (error == ERROR_INVALID_NAME) {
      std::printf("PortTalk: The specified service name is invalid.\n");
      CloseServiceHandle(manager);
      return 0;
    }
    const bool missing = error == ERROR_SERVICE_DOES_NOT_EXIST;
    if (attempt == maxOpenServiceAttempts || (missing && installRounds == maxInstallRounds)) {
      std::printf("PortTalk: Gave up opening the PortTalk service after %d attempts.\n", attempt);
      CloseServiceHandle(manager);
      return 0;
    }
    if (missing) {
      ++installRounds;
      std::printf("PortTalk: The PortTalk driver does not exist. Installing driver.\n");
      std::printf("PortTalk: This can take up to 30 seconds on some machines . .\n");
      InstallPortDriver();
    }
  }

  std::uint8_t started = 0;
  if (StartServiceA(service, 0, nullptr)) {
    std::printf("PortTalk: The PortTalk driver has been successfully started.\n");
    started = 1;
  } else if (GetLastError() == ERROR_SERVICE_ALREADY_RUNNING) {
    std::printf("PortTalk: The PortTalk driver is already running.\n");
    started = 1;
  } else {
    std::printf("PortTalk: Unknown error while starting PortTalk driver service.\n");
    std::printf("PortTalk: Does PortTalk.SYS exist in your \\System32\\Drivers Directory?\n");
  }
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  return started;
}

void InstallPortDriver() {
  char targetPath[targetPathSize];
  const UINT dirLength = GetSystemDirectoryA(targetPath, systemDirCapacity);
  if (dirLength == 0 || dirLength >= systemDirCapacity) {
    std::printf(
        "PortTalk: Failed to get System Directory. Is System Directory Path > 55 Characters?\n");
    std::printf("PortTalk: Please manually copy driver to your system32/driver directory.\n");
  } else {
    lstrcatA(targetPath, driverTargetSuffix);
    std::printf("PortTalk: Copying driver to %s\n", targetPath);
    if (!CopyFileA(driverFileName, targetPath, 0)) {
      std::printf("PortTalk: Failed to copy driver to %s\n", targetPath);
      std::printf("PortTalk: Please manually copy driver to your system32/driver directory.\n");
    }
  }

  SC_HANDLE manager = OpenServiceManager();
  SC_HANDLE service =
      CreateServiceA(manager, serviceName, serviceName, SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER,
                     SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, driverImagePath, nullptr, nullptr,
                     nullptr, nullptr, nullptr);
  if (service != nullptr) {
    std::printf("PortTalk: Driver successfully installed.\n");
    CloseServiceHandle(service);
  } else if (GetLastError() == ERROR_SERVICE_EXISTS) {
    std::printf("PortTalk: Driver already exists. No action taken.\n");
  } else {
    std::printf("PortTalk: Unknown error while creating Service.\n");
  }
  if (manager != nullptr) CloseServiceHandle(manager);
}
