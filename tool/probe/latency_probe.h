// `steplink probe --latency`: busy-waits on counter 0 the way the library paces a step (the
// counter that timer=clock serves from CLOCK_MONOTONIC, read with the latch command and two byte
// reads, the same wrap rule) and reports how late each wait ended. Calls the hardware layer's
// counter, the real-time stage and the latency statistics.
#pragma once

#include <cstdint>

#include "hw/counter0.h"
#include "hw/system_calls.h"
#include "probe/latency_stats.h"

namespace tool {

struct LatencyOptions {
  double seconds = 10;    // how long to measure
  bool realtime = false;  // --rt: SCHED_FIFO and locked memory, as for run
  int cpu = -1;           // --cpu N, or -1
};

// Measures, prints the figures, the histogram and the verdict on standard output. Exit status:
// 0 once measured, 1 when counter 0 cannot be set up.
int RunLatencyProbe(const LatencyOptions& options);

// Back-to-back waits of intervalCounts counts each for durationNs of the clock, every wait
// measured from the reading that ended the previous one (as the library's pacing does); adds how
// late each ended, by the monotonic clock, to the histogram.
void MeasureWaits(hw::SystemCalls& calls, hw::Counter0& counter, double intervalCounts,
                  std::uint64_t durationNs, LatencyHistogram& histogram);

}  // namespace tool
