// Port channel: outportb/inportb as synchronous PortTalk device I/O controls, and the device
// open/close behind openConn/closeConn. Calls the platform seam, the driver service and the trace.
#include "port/port_channel.h"

#include <cstdio>

#include "port/driver_service.h"
#include "port/port_trace.h"
#include "port/winapi.h"

using namespace winapi;

namespace {
// "\\.\PortTalk": the device's Win32 path, 12 characters.
constexpr char portDevicePath[] = "\\\\.\\PortTalk";
static_assert(sizeof(portDevicePath) == 13);

// The device handle: 0 from load (closed), a handle or the invalid-handle value after an open.
// Written by OpenPortDevice and ClosePortDevice; read by outportb, inportb and PortChannelOpen.
HANDLE portHandle = nullptr;

// One open attempt with the driver's fixed arguments: read access, no sharing, existing device.
HANDLE OpenDeviceOnce() {
  return CreateFileA(portDevicePath, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                     nullptr);
}

bool IsUsableHandle(HANDLE handle) {
  return handle != nullptr && handle != InvalidHandle();
}

// The value handed to Java: the handle's 32 bits (multiples of 4, so never 0xFF in the low byte).
std::int32_t HandleValue(HANDLE handle) {
  return static_cast<std::int32_t>(reinterpret_cast<std::uintptr_t>(handle));
}
}  // namespace

void outportb(std::uint16_t port, std::uint8_t value) {
  // Write request: port number 16 bits little-endian, then the value.
  std::uint8_t request[3] = {static_cast<std::uint8_t>(port & 0xFF),
                             static_cast<std::uint8_t>(port >> 8), value};
  DWORD bytesReturned = 0;
  if (!DeviceIoControl(portHandle, portWriteCode, request, 3, nullptr, 0, &bytesReturned,
                       nullptr)) {
    std::printf("Error occured during outportb while talking to PortTalk driver %d\n",
                static_cast<int>(GetLastError()));
  }
  if (traceOn) TracePort(false, port, value);
}

std::uint8_t inportb(std::uint16_t port) {
  // Read request: the port number in, the byte read back in the first position of the same buffer.
  std::uint8_t buffer[2] = {static_cast<std::uint8_t>(port & 0xFF),
                            static_cast<std::uint8_t>(port >> 8)};
  DWORD bytesReturned = 0;
  if (!DeviceIoControl(portHandle, portReadCode, buffer, 2, buffer, 1, &bytesReturned, nullptr)) {
    std::printf("Error occured during inportb while talking to PortTalk driver %d\n",
                static_cast<int>(GetLastError()));
  }
  if (traceOn) TracePort(true, port, buffer[0]);
  return buffer[0];
}

std::int32_t OpenPortDevice() {
  // The device is opened without sharing: a second open of a held device would fail and leak the
  // first handle, so a handle still held is closed before the device is opened anew.
  if (IsUsableHandle(portHandle)) CloseHandle(portHandle);
  portHandle = OpenDeviceOnce();
  if (IsUsableHandle(portHandle)) return HandleValue(portHandle);

  StartPortDriver();  // its flag is not needed: the second attempt tells
  portHandle = OpenDeviceOnce();
  if (IsUsableHandle(portHandle)) return HandleValue(portHandle);
  std::printf("PortTalk: Couldn't access PortTalk Driver, Please ensure driver is loaded.\n\n");
  return 255;
}

std::int32_t ClosePortDevice() {
  // After a failed open the channel holds the invalid-handle value, which Windows also takes for
  // the current process: CloseHandle would report success for a channel that was never open.
  const BOOL closed = IsUsableHandle(portHandle) ? CloseHandle(portHandle) : 0;
  portHandle = nullptr;
  return closed;
}

bool PortChannelOpen() {
  return IsUsableHandle(portHandle);
}
