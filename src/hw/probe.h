// `steplink probe`: what this machine offers a real table (parallel ports and who may open them,
// ioperm, counter 0 of the 8254, the real-time throttle, the CPU governor) and whether the chosen
// device opens. Calls the device spec, the parallel port, counter 0 and the system-call seam.
#pragma once

#include <cstdio>
#include <string>

#include "hw/system_calls.h"

namespace hw {

// Writes the report to `out`; `device` is a STEPLINK_DEVICE value (empty: the first parallel
// port, with timer=clock). Returns 0 when that device opens, 1 when not.
int Probe(const std::string& device, SystemCalls& calls, std::FILE* out);

}  // namespace hw
