// Port trace: when STEPLINK_TRACE names a file, every entry call, port operation and return is
// written there as one text line ("call", "out", "in", "ret"). Called by the entry shells and
// the port channel; reaches the file only through the platform seam.
#pragma once

#include <cstdint>

// 1 while a trace file is open. Written by TraceCall (first call opens the file); read by
// outportb/inportb so that tracing off costs the hot path one predictable branch.
extern std::uint8_t traceOn;

// "call NAME": opens the trace on the first call of the process.
void TraceCall(const char* name);
// "call NAME X Y Z".
void TraceCall3(const char* name, std::int32_t x, std::int32_t y, std::int32_t z);
// "out PORT VALUE" or "in PORT VALUE" (isRead selects which).
void TracePort(bool isRead, std::uint16_t port, std::uint8_t value);
// "ret V", then the file is flushed.
void TraceReturn(std::int32_t result);
// "ret" for an entry without a result, then the file is flushed.
void TraceReturnVoid();
