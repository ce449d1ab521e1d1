// Windows program run under Wine, a stand-in for the JVM: drives the shipped steplink.dll as a
// JVM does (the five exports by their JNI names, stdcall-decorated on x86 and plain on x64, with
// a JNIEnv and class of its own) through our PortTalk.sys, then opens the device itself to read
// the simulated table's state, to check how the driver refuses bad requests and that it unloads
// and loads again cleanly. Calls kernel32, advapi32 and the DLL's exports.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "jvm_standin.h"
#include "porttalk_device.h"

namespace {

using namespace standin;

// Run 1: nothing installed yet. The library installs the driver service; the Wine release under
// test refuses to start it, so openConn ends with 255. The harness checks the library's lines.
int RunInstall(const Entries& entries) {
  const int result = entries.openConn(env, cls);
  std::printf("e2e: openConn %d\n", result);
  return EXIT_SUCCESS;
}

HANDLE OpenDevice() {
  return CreateFileA("\\\\.\\PortTalk", GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool QueryState(HANDLE device, PortTalkState& state) {
  DWORD returned = 0;
  std::memset(&state, 0, sizeof(state));
  return DeviceIoControl(device, STEPLINK_IOCTL_STATE, nullptr, 0, &state, sizeof(state), &returned,
                         nullptr) &&
         returned == sizeof(state) && state.magic == PORTTALK_STATE_MAGIC &&
         state.version == PORTTALK_STATE_VERSION;
}

void PrintState(const char* label, const PortTalkState& state) {
  std::printf(
      "e2e: %s x=%ld y=%ld z=%ld aux=%ld steps=%llu ticks=%llu faults=%lu (lost-step %lu, "
      "settle %lu, protocol %lu, pattern %lu) limit=%lu writes=%lu reads=%lu rejected=%lu "
      "access-ticks=%lu\n",
      label, static_cast<long>(state.positionX), static_cast<long>(state.positionY),
      static_cast<long>(state.positionZ), static_cast<long>(state.auxState),
      static_cast<unsigned long long>(state.totalSteps),
      static_cast<unsigned long long>(state.simTicks), static_cast<unsigned long>(state.faultCount),
      static_cast<unsigned long>(state.lostStepFaults),
      static_cast<unsigned long>(state.settleFaults),
      static_cast<unsigned long>(state.protocolFaults),
      static_cast<unsigned long>(state.patternFaults),
      static_cast<unsigned long>(state.limitEngaged), static_cast<unsigned long>(state.portWrites),
      static_cast<unsigned long>(state.portReads),
      static_cast<unsigned long>(state.rejectedRequests),
      static_cast<unsigned long>(state.accessTicks));
}

// One refused request: the call fails with the expected Win32 error and nothing on the table moves.
struct BadRequest {
  const char* what;
  DWORD code;
  BYTE in[4];
  DWORD inLength;
  DWORD outLength;
  DWORD expectedError;
};

void CheckRefusals(HANDLE device) {
  constexpr DWORD invalidFunction = ERROR_INVALID_FUNCTION;  // STATUS_INVALID_DEVICE_REQUEST
  constexpr DWORD invalidParameter = ERROR_INVALID_PARAMETER;
  constexpr DWORD accessDenied = ERROR_ACCESS_DENIED;
  const BadRequest requests[] = {
      {"write with 2 input bytes",
       STEPLINK_IOCTL_WRITE,
       {0xBC, 0x03, 0x27},
       2,
       0,
       invalidParameter},
      {"write with 4 input bytes",
       STEPLINK_IOCTL_WRITE,
       {0xBC, 0x03, 0x27, 0},
       4,
       0,
       invalidParameter},
      {"write with an output buffer",
       STEPLINK_IOCTL_WRITE,
       {0xBC, 0x03, 0x27},
       3,
       1,
       invalidParameter},
      {"read with 3 input bytes", STEPLINK_IOCTL_READ, {0xBD, 0x03, 0}, 3, 1, invalidParameter},
      {"read without output", STEPLINK_IOCTL_READ, {0xBD, 0x03}, 2, 0, invalidParameter},
      {"read with 2 output bytes", STEPLINK_IOCTL_READ, {0xBD, 0x03}, 2, 2, invalidParameter},
      {"state with input", STEPLINK_IOCTL_STATE, {0}, 1, sizeof(PortTalkState), invalidParameter},
      {"state into a short buffer", STEPLINK_IOCTL_STATE, {0}, 0, 8, invalidParameter},
      {"unknown function 0x907",
       STEPLINK_CTL_CODE(0x907u),
       {0xBC, 0x03, 0x27},
       3,
       0,
       invalidFunction},
      {"write code with another device type",
       0x00222414u,
       {0xBC, 0x03, 0x27},
       3,
       0,
       invalidFunction},
      {"write to 0x378", STEPLINK_IOCTL_WRITE, {0x78, 0x03, 0x27}, 3, 0, accessDenied},
      {"write to 0x3BF", STEPLINK_IOCTL_WRITE, {0xBF, 0x03, 0x01}, 3, 0, accessDenied},
      {"write to 0x13BC (high bits set)",
       STEPLINK_IOCTL_WRITE,
       {0xBC, 0x13, 0x27},
       3,
       0,
       accessDenied},
      {"read of 0x41", STEPLINK_IOCTL_READ, {0x41, 0x00}, 2, 1, accessDenied},
      {"read of 0x3BB", STEPLINK_IOCTL_READ, {0xBB, 0x03}, 2, 1, accessDenied},
  };

  PortTalkState before;
  Check(QueryState(device, before), "state before the refused requests");
  for (const BadRequest& request : requests) {
    BYTE in[4];
    BYTE out[sizeof(PortTalkState)] = {0x5A};
    std::memcpy(in, request.in, sizeof(in));
    DWORD returned = 0;
    const BOOL ok =
        DeviceIoControl(device, request.code, request.inLength ? in : nullptr, request.inLength,
                        request.outLength ? out : nullptr, request.outLength, &returned, nullptr);
    const DWORD error = ok ? 0 : GetLastError();
    if (ok || error != request.expectedError) {
      std::printf("e2e: FAILED %s: ok=%d error=%lu, expected error %lu\n", request.what, ok, error,
                  request.expectedError);
      ++failures;
    }
  }
  PortTalkState after;
  Check(QueryState(device, after), "state after the refused requests");
  const DWORD refused = sizeof(requests) / sizeof(requests[0]);
  Check(after.rejectedRequests == before.rejectedRequests + refused, "every refusal counted");
  Check(after.simTicks == before.simTicks && after.portWrites == before.portWrites &&
            after.portReads == before.portReads && after.totalSteps == before.totalSteps &&
            after.faultCount == before.faultCount && after.positionX == before.positionX &&
            after.positionY == before.positionY && after.positionZ == before.positionZ &&
            after.auxState == before.auxState,
        "refused requests leave the table as it was");

  // A good read still works after them, costs exactly one access of table time, and answers the
  // limit input released (bit 7 set, the other status bits read 1).
  BYTE buffer[2] = {0xBD, 0x03};
  DWORD returned = 0;
  const BOOL ok =
      DeviceIoControl(device, STEPLINK_IOCTL_READ, buffer, 2, buffer, 1, &returned, nullptr);
  Check(ok && returned == 1 && buffer[0] == 0xFF, "status read answers 0xFF with Information 1");
  PortTalkState last;
  Check(QueryState(device, last), "state after the status read");
  Check(last.simTicks == after.simTicks + after.accessTicks, "one access costs accessTicks");
}

// Stops the driver service (the driver's unload removes device and link) and starts it again: the
// device must be gone while stopped and come back with a fresh table, since the driver builds its
// table once per load.
void CheckRestart() {
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  SC_HANDLE service =
      manager != nullptr ? OpenServiceA(manager, "PortTalk", SERVICE_ALL_ACCESS) : nullptr;
  Check(service != nullptr, "driver service opens");
  if (service == nullptr) {
    if (manager != nullptr) CloseServiceHandle(manager);
    return;
  }
  SERVICE_STATUS status;
  Check(ControlService(service, SERVICE_CONTROL_STOP, &status) != 0, "driver service stops");
  // The stop completes asynchronously; 10 s is far beyond what an unload takes.
  for (int poll = 0; poll < 200 && QueryServiceStatus(service, &status) &&
                     status.dwCurrentState != SERVICE_STOPPED;
       ++poll) {
    Sleep(50);
  }
  Check(status.dwCurrentState == SERVICE_STOPPED, "driver service reports stopped");
  HANDLE gone = OpenDevice();
  Check(gone == INVALID_HANDLE_VALUE, "no device while the driver is unloaded");
  if (gone != INVALID_HANDLE_VALUE) CloseHandle(gone);

  Check(StartServiceA(service, 0, nullptr) != 0, "driver service starts again");
  HANDLE device = OpenDevice();
  Check(device != INVALID_HANDLE_VALUE, "device opens after the restart");
  if (device != INVALID_HANDLE_VALUE) {
    PortTalkState state;
    Check(QueryState(device, state), "state after the restart");
    Check(state.positionX == 0 && state.positionY == 0 && state.positionZ == 0 &&
              state.simTicks == 0 && state.totalSteps == 0 && state.auxState == -1 &&
              state.portWrites == 0 && state.rejectedRequests == 0,
          "a reloaded driver starts a fresh table");
    CloseHandle(device);
  }
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
}

// Run 2: the service exists and starts. A short session of moves and a reference run, then the
// table's state against what was commanded.
int RunSession(const Entries& entries) {
  const int handle = entries.openConn(env, cls);
  std::printf("e2e: openConn %s\n", handle != 255 && (handle & 0xFF) != 0xFF ? "handle" : "255");
  if (handle == 255) return exitCheckFailed;

  const int mode = entries.initTimer(env, cls);
  std::printf("e2e: initTimer %d\n", mode);
  Check(mode == 2, "initTimer finds counter mode 2");

  const SessionEnd end = RunSessionCalls(entries);

  const int closed = entries.closeConn(env, cls);
  std::printf("e2e: closeConn %s\n", closed != 0 ? "nonzero" : "0");
  Check(closed != 0, "closeConn closes the handle");
  // The library prints its lines through the shared msvcrt stdout and never flushes; keep the
  // order with ours by flushing before the device checks.
  std::fflush(nullptr);

  HANDLE device = OpenDevice();
  Check(device != INVALID_HANDLE_VALUE, "device opens again after closeConn");
  if (device == INVALID_HANDLE_VALUE) return exitCheckFailed;
  PortTalkState state;
  Check(QueryState(device, state), "state control code");
  PrintState("table", state);
  Check(state.positionX == end.x && state.positionY == end.y && state.positionZ == end.z,
        "table positions are the commanded ones");
  Check(state.auxState == 0, "auxiliary state 0 last");
  Check(state.faultCount == 0, "no faults on the table");
  Check(state.limitEngaged == 0, "limit released after the back-offs");
  Check(static_cast<long long>(state.totalSteps) == end.steps, "every commanded step made");
  CheckRefusals(device);
  CloseHandle(device);
  CheckRestart();
  return failures == 0 ? EXIT_SUCCESS : exitCheckFailed;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 || (std::strcmp(argv[1], "install") != 0 && std::strcmp(argv[1], "session") != 0)) {
    std::printf("usage: steplink_e2e install|session STEPLINK_DLL\n");
    return exitUsage;
  }
  int failure = EXIT_SUCCESS;
  const std::optional<Entries> entries = LoadEntries(argv[2], failure);
  if (!entries) return failure;
  const int status =
      std::strcmp(argv[1], "install") == 0 ? RunInstall(*entries) : RunSession(*entries);
  std::printf("e2e: %s\n", status == EXIT_SUCCESS ? "done" : "FAILED");
  // The library never flushes its stdout lines; the program does it before leaving.
  std::fflush(nullptr);
  return status;
}
