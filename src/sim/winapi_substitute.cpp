// The kernel32/advapi32 substitutes for systems without Windows: the PortTalk device served by a
// port backend, ordinary files for the trace, and a service control manager model whose state
// tests set. Same signatures, results and error numbers as the Windows calls they stand for.
// On 64-bit Windows the same code serves STEPLINK_SIM (winapi_win64.cpp chooses it), its files
// written through the system's calls (system_win64.h).
#ifdef _WIN32
#include "sim/system_win64.h"
#include "sim/winapi_win64.h"
#else
#include <fcntl.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "contract/steplink_contract.h"
#include "port/winapi.h"
#include "sim/config.h"
#include "sim/device_counts.h"
#include "sim/substitute.h"

#ifdef _WIN32
#define STEPLINK_SUBSTITUTE winapi::substitute
#else
#define STEPLINK_SUBSTITUTE winapi
#endif

namespace STEPLINK_SUBSTITUTE {
namespace {

constexpr DWORD errorSharingViolation = 32;
constexpr DWORD errorServiceRequestTimeout = 1053;
constexpr DWORD errorUnknownFailure = 1067;  // "the process terminated unexpectedly"
constexpr DWORD errorGenFailure = 31;        // a driver whose start routine failed
constexpr DWORD portTalkWrite = STEPLINK_IOCTL_WRITE;
constexpr DWORD portTalkRead = STEPLINK_IOCTL_READ;

// Handle values: the device's are multiples of 4 from 0x7C, as on Windows; files map their
// descriptor into a range of their own; service handles are addresses of two tags.
constexpr std::uintptr_t deviceHandleFirst = 0x7C;
constexpr std::uintptr_t fileHandleBase = 0x100000;
char managerTag;
char serviceTag;

thread_local DWORD lastError = 0;

struct DeviceState {
  bool open = false;
  std::uintptr_t handleValue = 0;
  std::uintptr_t nextHandleValue = deviceHandleFirst;
  sim::PortBackend* backend = nullptr;  // a test's, or nullptr for the default
  sim::PortBackend* active = nullptr;   // what serves the open device
  sim::DeviceRequest lastRequest{};
};
DeviceState device;

// The service manager as the process finds it at load: STEPLINK_SIM's service key, so that the
// driver start and installation paths can be shown without Windows.
sim::ServiceModel ServicesAtLoad() {
  sim::ServiceModel model;
  if (const auto& parsed = sim::ProcessSimConfig(); parsed.config) {
    model.service = parsed.config->service;
    model.deviceMissing = parsed.config->deviceMissing;
  }
  return model;
}
sim::ServiceModel services = ServicesAtLoad();

BOOL Fail(DWORD error) {
  lastError = error;
  return 0;
}

bool IsDevice(HANDLE handle) {
  return device.open && reinterpret_cast<std::uintptr_t>(handle) == device.handleValue;
}

int FileDescriptor(HANDLE handle) {
  const auto value = reinterpret_cast<std::uintptr_t>(handle);
  if (value < fileHandleBase || value == ~std::uintptr_t{0}) return -1;
  return static_cast<int>((value - fileHandleBase) / 4);
}

// The trace file and any other file: on Linux a descriptor, on Windows the system's handle kept
// in a slot, so that no file handle the system hands out can ever equal the device's.
#ifdef _WIN32
constexpr int fileSlots = 64;
void* fileSlot[fileSlots] = {};

// The system's error numbers for files, as the Linux substitute gives them: not found, or denied.
DWORD FileError() {
  const std::uint32_t error = winsys::GetLastError();
  return error == ERROR_FILE_NOT_FOUND || error == 3 /* ERROR_PATH_NOT_FOUND */
             ? ERROR_FILE_NOT_FOUND
             : ERROR_ACCESS_DENIED;
}

int OpenFile(const char* fileName, DWORD desiredAccess, DWORD creationDisposition) {
  int slot = 0;
  while (slot < fileSlots && fileSlot[slot] != nullptr) ++slot;
  if (slot == fileSlots) return Fail(ERROR_ACCESS_DENIED), -1;
  const DWORD access = (desiredAccess & GENERIC_WRITE) ? GENERIC_WRITE : GENERIC_READ;
  constexpr std::uint32_t shareReadWrite = 3;  // FILE_SHARE_READ | FILE_SHARE_WRITE
  void* file =
      winsys::CreateFileA(fileName, access, shareReadWrite, nullptr,
                          creationDisposition == CREATE_ALWAYS ? CREATE_ALWAYS : OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == InvalidHandle()) return Fail(FileError()), -1;
  fileSlot[slot] = file;
  return slot;
}

long WriteToFile(int fd, const void* buffer, DWORD length) {
  if (fd >= fileSlots || fileSlot[fd] == nullptr) return -1;
  std::uint32_t written = 0;
  if (!winsys::WriteFile(fileSlot[fd], buffer, length, &written, nullptr)) return -1;
  return static_cast<long>(written);
}

bool CloseFile(int fd) {
  if (fd >= fileSlots || fileSlot[fd] == nullptr) return false;
  winsys::CloseHandle(fileSlot[fd]);
  fileSlot[fd] = nullptr;
  return true;
}
#else
int OpenFile(const char* fileName, DWORD desiredAccess, DWORD creationDisposition) {
  int flags = (desiredAccess & GENERIC_WRITE) ? O_WRONLY : O_RDONLY;
  if (creationDisposition == CREATE_ALWAYS) flags |= O_CREAT | O_TRUNC;
  const int fd = ::open(fileName, flags | O_CLOEXEC, 0644);
  if (fd < 0) return Fail(errno == ENOENT ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED), -1;
  return fd;
}

long WriteToFile(int fd, const void* buffer, DWORD length) {
  return static_cast<long>(::write(fd, buffer, length));
}

bool CloseFile(int fd) {
  return ::close(fd) == 0;
}
#endif

// Whether anything can serve the device: a test's backend, or the default one once it is set up.
// When not, the service manager answers as for a driver that failed to load: stopped, and it
// does not start.
bool DriverCanServe() {
  if (device.backend != nullptr || sim::DefaultBackend() != nullptr) return true;
  services.driverCannotServe = true;
  services.service = sim::ServiceState::stopped;
  return false;
}

bool DeviceAvailable() {
  return services.service == sim::ServiceState::running && !services.deviceMissing;
}
}  // namespace

HANDLE CreateFileA(const char* fileName, DWORD desiredAccess, DWORD, void*,
                   DWORD creationDisposition, DWORD, HANDLE) {
  if (std::strcmp(fileName, "\\\\.\\PortTalk") == 0) {
    if (!DeviceAvailable()) return Fail(ERROR_FILE_NOT_FOUND), InvalidHandle();
    if (device.open) return Fail(errorSharingViolation), InvalidHandle();
    sim::PortBackend* backend = device.backend ? device.backend : sim::DefaultBackend();
    if (!DriverCanServe()) return Fail(ERROR_FILE_NOT_FOUND), InvalidHandle();
    // A backend that holds hardware claims it now; a refusal is a device that cannot be opened
    // while its driver runs (held elsewhere, no rights), and the backend has said why.
    if (!backend->DeviceOpened()) return Fail(ERROR_FILE_NOT_FOUND), InvalidHandle();
    device.open = true;
    device.active = backend;
    device.handleValue = device.nextHandleValue;
    device.nextHandleValue += 4;
    return reinterpret_cast<HANDLE>(device.handleValue);
  }
  const int fd = OpenFile(fileName, desiredAccess, creationDisposition);
  if (fd < 0) return InvalidHandle();
  return reinterpret_cast<HANDLE>(fileHandleBase + static_cast<std::uintptr_t>(fd) * 4);
}

namespace {
// A port request that fails: the library prints a line for it, and the seam counts it.
BOOL Refuse(DWORD code, const std::uint8_t* in, DWORD inSize, DWORD error) {
  const std::uint16_t port =
      in != nullptr && inSize >= 2 ? static_cast<std::uint16_t>(in[0] | (in[1] << 8)) : 0;
  sim::ProcessDeviceCounter().Refused(code == portTalkWrite, port, error);
  return Fail(error);
}
}  // namespace

BOOL DeviceIoControl(HANDLE handle, DWORD code, void* inBuffer, DWORD inSize, void* outBuffer,
                     DWORD outSize, DWORD* bytesReturned, void*) {
  const auto* in = static_cast<const std::uint8_t*>(inBuffer);
  if (!IsDevice(handle)) return Refuse(code, in, inSize, ERROR_INVALID_HANDLE);
  sim::PortBackend* backend = device.active;
  sim::DeviceRequest& request = device.lastRequest;
  request.code = code;
  request.inLength = inSize;
  request.outLength = outSize;
  // Every wait polls the counter through here three times per reading: the two PortTalk
  // requests record their fixed-size input without a loop.
  if (code == portTalkRead && inSize == 2 && outSize >= 1) {
    request.inBytes[0] = in[0];
    request.inBytes[1] = in[1];
    const auto port = static_cast<std::uint16_t>(in[0] | (in[1] << 8));
    const std::uint8_t value = backend->In(port);
    if (const DWORD refused = backend->TakeRefusal()) return Refuse(code, in, inSize, refused);
    sim::ProcessDeviceCounter().Read(port, value);
    static_cast<std::uint8_t*>(outBuffer)[0] = value;
    if (bytesReturned) *bytesReturned = 1;
    return 1;
  }
  if (code == portTalkWrite && inSize == 3) {
    request.inBytes[0] = in[0];
    request.inBytes[1] = in[1];
    request.inBytes[2] = in[2];
    const auto port = static_cast<std::uint16_t>(in[0] | (in[1] << 8));
    backend->Out(port, in[2]);
    if (const DWORD refused = backend->TakeRefusal()) return Refuse(code, in, inSize, refused);
    sim::ProcessDeviceCounter().Wrote(port, in[2]);
    if (bytesReturned) *bytesReturned = 0;
    return 1;
  }
  for (DWORD i = 0; i < inSize && i < sizeof(request.inBytes); ++i) request.inBytes[i] = in[i];
  return Refuse(code, in, inSize, ERROR_INVALID_PARAMETER);
}

BOOL WriteFile(HANDLE file, const void* buffer, DWORD bytesToWrite, DWORD* bytesWritten, void*) {
  const int fd = FileDescriptor(file);
  if (fd < 0) return Fail(ERROR_INVALID_HANDLE);
  const long written = WriteToFile(fd, buffer, bytesToWrite);
  if (written < 0) return Fail(ERROR_ACCESS_DENIED);
  if (bytesWritten) *bytesWritten = static_cast<DWORD>(written);
  return 1;
}

BOOL CloseHandle(HANDLE object) {
  if (IsDevice(object)) {
    device.open = false;
    if (device.active != nullptr) device.active->DeviceClosed();
    return 1;
  }
  const int fd = FileDescriptor(object);
  if (fd >= 0 && CloseFile(fd)) return 1;
  return Fail(ERROR_INVALID_HANDLE);
}

DWORD GetLastError() {
  return lastError;
}

DWORD GetEnvironmentVariableA(const char* name, char* buffer, DWORD size) {
  const char* value = std::getenv(name);
  if (value == nullptr) return Fail(203), 0;  // ERROR_ENVVAR_NOT_FOUND
  const std::size_t length = std::strlen(value);
  if (length + 1 > size) return static_cast<DWORD>(length + 1);
  std::memcpy(buffer, value, length + 1);
  return static_cast<DWORD>(length);
}

UINT GetSystemDirectoryA(char* buffer, UINT size) {
  const std::string& dir = services.systemDirectory;
  if (dir.size() + 1 > size) return static_cast<UINT>(dir.size() + 1);
  std::memcpy(buffer, dir.c_str(), dir.size() + 1);
  return static_cast<UINT>(dir.size());
}

char* lstrcatA(char* string1, const char* string2) {
  return std::strcat(string1, string2);
}

BOOL CopyFileA(const char*, const char* newFileName, BOOL) {
  ++services.copyCalls;
  services.lastCopyTarget = newFileName;
  if (!services.driverFileInCurrentDir) return Fail(ERROR_FILE_NOT_FOUND);
  services.driverFileAtTarget = true;
  return 1;
}

SC_HANDLE OpenSCManagerA(const char*, const char*, DWORD) {
  if (services.managerAccessDenied) return Fail(ERROR_ACCESS_DENIED), nullptr;
  if (services.managerUnavailable) return Fail(errorServiceRequestTimeout), nullptr;
  ++services.openHandles;
  return &managerTag;
}

SC_HANDLE OpenServiceA(SC_HANDLE manager, const char*, DWORD) {
  ++services.openServiceCalls;
  if (manager != &managerTag) return Fail(ERROR_INVALID_HANDLE), nullptr;
  if (services.serviceAccessDenied) return Fail(ERROR_ACCESS_DENIED), nullptr;
  if (services.invalidName) return Fail(ERROR_INVALID_NAME), nullptr;
  if (services.openServiceOtherErrors != 0) {
    if (services.openServiceOtherErrors > 0) --services.openServiceOtherErrors;
    return Fail(errorServiceRequestTimeout), nullptr;
  }
  if (services.service == sim::ServiceState::absent)
    return Fail(ERROR_SERVICE_DOES_NOT_EXIST), nullptr;
  ++services.openHandles;
  return &serviceTag;
}

BOOL StartServiceA(SC_HANDLE service, DWORD, const char**) {
  ++services.startServiceCalls;
  if (service != &serviceTag) return Fail(ERROR_INVALID_HANDLE);
  if (services.service == sim::ServiceState::running) return Fail(ERROR_SERVICE_ALREADY_RUNNING);
  if (services.driverCannotServe || !DriverCanServe()) return Fail(errorGenFailure);
  if (!services.driverFileAtTarget || services.startFails) return Fail(errorUnknownFailure);
  services.service = sim::ServiceState::running;
  return 1;
}

SC_HANDLE CreateServiceA(SC_HANDLE manager, const char*, const char*, DWORD, DWORD, DWORD, DWORD,
                         const char* binaryPathName, const char*, DWORD*, const char*, const char*,
                         const char*) {
  ++services.createServiceCalls;
  if (manager != &managerTag) return Fail(ERROR_INVALID_HANDLE), nullptr;
  services.lastImagePath = binaryPathName;
  if (services.service != sim::ServiceState::absent) return Fail(ERROR_SERVICE_EXISTS), nullptr;
  if (!services.serviceNeverRegisters) services.service = sim::ServiceState::stopped;
  ++services.openHandles;
  return &serviceTag;
}

BOOL CloseServiceHandle(SC_HANDLE object) {
  if (object != &managerTag && object != &serviceTag) return Fail(ERROR_INVALID_HANDLE);
  --services.openHandles;
  return 1;
}

}  // namespace STEPLINK_SUBSTITUTE

namespace sim {

ServiceModel& Services() {
  return STEPLINK_SUBSTITUTE::services;
}

void ResetSubstitute(PortBackend* backend) {
  STEPLINK_SUBSTITUTE::device.open = false;
  STEPLINK_SUBSTITUTE::device.backend = backend;
  STEPLINK_SUBSTITUTE::device.lastRequest = {};
  STEPLINK_SUBSTITUTE::services = STEPLINK_SUBSTITUTE::ServicesAtLoad();
  STEPLINK_SUBSTITUTE::lastError = 0;
  ProcessDeviceCounter().Reset();
}

const DeviceRequest& LastDeviceRequest() {
  return STEPLINK_SUBSTITUTE::device.lastRequest;
}

}  // namespace sim
