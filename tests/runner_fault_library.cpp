// A stand-in for the library that breaks the board protocol on purpose, so the runner's handling
// of simulator faults can be tested: its openConn opens the device and drives a control bit the
// board never sees driven. Exports the same five JNI names. Its vectorOut ends the process with
// exit status 3 for x = 3 (an exit inside a library) and never returns for x = 4 (a move that
// does not end), for the runner's tests of abnormal ends and signals.
#include <unistd.h>

#include <cstdint>

#include "port/winapi.h"

namespace {
winapi::HANDLE device = nullptr;
}

extern "C" {

__attribute__((visibility("default"))) int Java_JavaToC_openConn(void*, void*) {
  device = winapi::CreateFileA("\\\\.\\PortTalk", winapi::GENERIC_READ, 0, nullptr,
                               winapi::OPEN_EXISTING, winapi::FILE_ATTRIBUTE_NORMAL, nullptr);
  if (device == winapi::InvalidHandle()) return 255;
  std::uint8_t request[3] = {0xBE, 0x03, 0x02};  // control register 0x3BE, value 2
  winapi::DeviceIoControl(device, 0x9C402414u, request, 3, nullptr, 0, nullptr, nullptr);
  return static_cast<int>(reinterpret_cast<std::uintptr_t>(device));
}

__attribute__((visibility("default"))) int Java_JavaToC_closeConn(void*, void*) {
  return winapi::CloseHandle(device);
}

__attribute__((visibility("default"))) int Java_JavaToC_initTimer(void*, void*) {
  return 2;
}

__attribute__((visibility("default"))) int Java_JavaToC_vectorOut(void*, void*, int x, int, int) {
  if (x == 3) _exit(3);
  if (x == 4) {
    for (;;) asm volatile("" ::: "memory");
  }
  return 0;
}

__attribute__((visibility("default"))) void Java_JavaToC_reference(void*, void*, int, int, int) {}

}  // extern "C"
