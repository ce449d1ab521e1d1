// A stand-in library that breaks the board protocol on purpose (openConn drives a control bit the
// board never sees driven), for the runner's fault handling; vectorOut exits with status 3 for
// x = 3 and never returns for x = 4; for x = 5 it prints the lines the real library prints on a
// closed channel and a dead counter while nothing failed, and for x = 6 it has one port write
// refused (the device not open) and prints nothing: the runner must judge by what happened. With
// STEPLINK_TEST_HANG_ONCE=FILE, the first process that loads it while FILE exists removes FILE
// and never finishes loading (a call process stuck before its first call). Its
// five JNI entries have entry/entry.h's types: a call through a pointer of another function type is
// undefined (clang's UBSan stops it).
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "entry/entry.h"
#include "port/winapi.h"

namespace {
winapi::HANDLE device = nullptr;

__attribute__((constructor)) void HangOnceOnLoad() {
  const char* marker = std::getenv("STEPLINK_TEST_HANG_ONCE");
  if (marker == nullptr || unlink(marker) != 0) return;
  for (;;) pause();  // until a signal ends the process
}
}  // namespace

extern "C" {

__attribute__((visibility("default"))) jint Java_JavaToC_openConn(JNIEnv*, jclass) {
  device = winapi::CreateFileA("\\\\.\\PortTalk", winapi::GENERIC_READ, 0, nullptr,
                               winapi::OPEN_EXISTING, winapi::FILE_ATTRIBUTE_NORMAL, nullptr);
  if (device == winapi::InvalidHandle()) return 255;
  std::uint8_t request[3] = {0xBE, 0x03, 0x02};  // control register 0x3BE, value 2
  winapi::DeviceIoControl(device, 0x9C402414u, request, 3, nullptr, 0, nullptr, nullptr);
  return static_cast<int>(reinterpret_cast<std::uintptr_t>(device));
}

__attribute__((visibility("default"))) jint Java_JavaToC_closeConn(JNIEnv*, jclass) {
  return winapi::CloseHandle(device);
}

__attribute__((visibility("default"))) jint Java_JavaToC_initTimer(JNIEnv*, jclass) {
  return 2;
}

__attribute__((visibility("default"))) jint Java_JavaToC_vectorOut(JNIEnv*, jclass, jint x, jint,
                                                                   jint) {
  if (x == 3) _exit(3);
  if (x == 4) {
    for (;;) asm volatile("" ::: "memory");
  }
  if (x == 5) {
    std::printf(
        "Error occured during outportb while talking to PortTalk driver 6\n"
        "Timer: counter 0 showed one value for 65536 readings; wait ended early.\n");
  }
  if (x == 6) {
    std::uint8_t request[3] = {0xBC, 0x03, 0x00};  // data port 0x3BC, on a handle never opened
    winapi::DeviceIoControl(nullptr, 0x9C402414u, request, 3, nullptr, 0, nullptr, nullptr);
  }
  return 0;
}

__attribute__((visibility("default"))) void Java_JavaToC_reference(JNIEnv*, jclass, jint, jint,
                                                                   jint) {}

}  // extern "C"
