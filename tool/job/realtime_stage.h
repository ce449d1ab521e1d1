// Real-time stage of a run (--rt, --cpu N), applied in the call process before the library is
// loaded: SCHED_FIFO, mlockall and a CPU of its own. The library itself starts no thread and
// never sleeps; this only keeps other work off the busy-waiting process.
#pragma once

#include <string>

namespace tool {

// Each step that fails is explained on standard error (with what grants it) and the run goes on
// without it. cpu < 0: no pinning.
void ApplyRealtime(bool fifo, int cpu);

// The warning about the kernel's real-time throttle, or empty when it is off.
std::string RealtimeThrottleWarning();

}  // namespace tool
