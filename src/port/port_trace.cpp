// Port trace: formats "call"/"out"/"in"/"ret" lines into a static buffer and writes it to the
// STEPLINK_TRACE file through the platform seam at the end of every entry call.
#include "port/port_trace.h"

#include <cstdio>
#include <initializer_list>

#include "port/winapi.h"

using namespace winapi;

std::uint8_t traceOn = 0;

namespace {
// Trace state. Written by TraceCall (open, once per process) and the Trace* formatters; read by
// the formatters only. The buffer is flushed when full and at every "ret".
constexpr DWORD traceBufferSize = 1u << 16;
constexpr DWORD traceLineMax = 64;  // the longest line: "call reference" and three ints
char traceBuffer[traceBufferSize];
DWORD traceUsed = 0;
HANDLE traceFile = nullptr;
bool traceChecked = false;

void FlushTrace() {
  DWORD written = 0;
  if (traceUsed > 0) WriteFile(traceFile, traceBuffer, traceUsed, &written, nullptr);
  traceUsed = 0;
}

void Append(const char* text) {
  while (*text != '\0') traceBuffer[traceUsed++] = *text++;
}

void AppendSigned(std::int32_t value) {
  char digits[12];
  int count = 0;
  // Negate in unsigned arithmetic so that INT32_MIN is printed right.
  std::uint32_t magnitude =
      value < 0 ? 0u - static_cast<std::uint32_t>(value) : static_cast<std::uint32_t>(value);
  do {
    digits[count++] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (value < 0) traceBuffer[traceUsed++] = '-';
  while (count > 0) traceBuffer[traceUsed++] = digits[--count];
}

constexpr char hexDigits[] = "0123456789abcdef";

void AppendHexPort(std::uint16_t port) {
  bool started = false;
  for (int shift = 12; shift >= 0; shift -= 4) {
    const unsigned nibble = (port >> shift) & 0xFu;
    if (nibble != 0 || started || shift == 0) {
      traceBuffer[traceUsed++] = hexDigits[nibble];
      started = true;
    }
  }
}

void BeginLine() {
  if (traceUsed + traceLineMax > traceBufferSize) FlushTrace();
}

// Opens the trace file named by STEPLINK_TRACE, once per process.
void OpenTraceOnce() {
  if (traceChecked) return;
  traceChecked = true;
  char path[1024];
  const DWORD length = GetEnvironmentVariableA("STEPLINK_TRACE", path, sizeof(path));
  if (length == 0) return;
  if (length >= sizeof(path)) {
    std::printf("Trace: STEPLINK_TRACE is longer than %d characters; no trace is written.\n",
                static_cast<int>(sizeof(path) - 1));
    return;
  }
  traceFile =
      CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (traceFile == InvalidHandle() || traceFile == nullptr) {
    traceFile = nullptr;
    std::printf("Trace: cannot write the trace file %s (STEPLINK_TRACE); no trace is written.\n",
                path);
    return;
  }
  traceOn = 1;
  Append("# steplink trace 1\n");
}
}  // namespace

void TraceCall(const char* name) {
  OpenTraceOnce();
  if (!traceOn) return;
  BeginLine();
  Append("call ");
  Append(name);
  Append("\n");
}

void TraceCall3(const char* name, std::int32_t x, std::int32_t y, std::int32_t z) {
  OpenTraceOnce();
  if (!traceOn) return;
  BeginLine();
  Append("call ");
  Append(name);
  for (const std::int32_t value : {x, y, z}) {
    Append(" ");
    AppendSigned(value);
  }
  Append("\n");
}

void TracePort(bool isRead, std::uint16_t port, std::uint8_t value) {
  BeginLine();
  Append(isRead ? "in " : "out ");
  AppendHexPort(port);
  traceBuffer[traceUsed++] = ' ';
  traceBuffer[traceUsed++] = hexDigits[value >> 4];
  traceBuffer[traceUsed++] = hexDigits[value & 0xF];
  traceBuffer[traceUsed++] = '\n';
}

void TraceReturn(std::int32_t result) {
  if (!traceOn) return;
  BeginLine();
  Append("ret ");
  AppendSigned(result);
  Append("\n");
  FlushTrace();
}

void TraceReturnVoid() {
  if (!traceOn) return;
  BeginLine();
  Append("ret\n");
  FlushTrace();
}
