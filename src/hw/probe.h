// `steplink probe`: what this machine offers a real table (parallel ports and who may open them,
// ioperm, counter 0 of the 8254, the real-time throttle, the CPU governor) and whether the chosen
// device opens. Calls the device spec, the parallel port, counter 0 and the system-call seam.
#pragma once

#include <cstdio>
#include <string>

#include "hw/system_calls.h"

namespace hw {

// What Probe returns for a device text that is no STEPLINK_DEVICE value (the command's exit 2).
inline constexpr int probeBadDevice = 2;

// Writes the report to `out`; `device` is a STEPLINK_DEVICE value (empty: the first parallel
// port, with timer=clock). Returns 0 when that device opens, 1 when not, probeBadDevice when the
// text names no device (said on the verdict line).
int Probe(const std::string& device, SystemCalls& calls, std::FILE* out);

}  // namespace hw
