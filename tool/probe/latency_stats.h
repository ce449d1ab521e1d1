// Statistics and verdict of `steplink probe --latency`: a fixed-size histogram of how late each
// busy-wait ended, its percentiles, the text report and the verdict against the table's step
// rates. Pure: no clock, no I/O; calls nothing below it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "contract/steplink_contract.h"

namespace tool {

// The library's speeds: every move tops out at 500 steps/s, a reference run creeps at 400.
inline constexpr double topSpeedStepsPerSecond = STEPLINK_MAX_SPEED;
inline constexpr double referenceSpeedStepsPerSecond = STEPLINK_REFERENCE_SPEED;

// Verdict bands on the largest lateness. The first three are LinuxCNC's latency-test guidance
// for software stepping (max jitter under 15-20 us: very nice results; 100 us or more: not a
// good candidate; over 1 ms: not a candidate at all); 1 ms is also half of a step interval at the
// top speed here, and a whole interval (2 ms) means a step came after the next one was due.
inline constexpr std::int64_t excellentMaxNs = 20'000;
inline constexpr std::int64_t goodMaxNs = 100'000;
inline constexpr std::int64_t marginalMaxNs = 1'000'000;

// Lateness of each wait in 1 us bins up to 100 ms (beyond: the last bin), so memory stays the
// same however long the probe runs; the maximum is kept exactly.
class LatencyHistogram {
 public:
  LatencyHistogram();
  void Add(std::int64_t latenessNs);  // negative values count as 0
  std::uint64_t Count() const { return count_; }
  std::int64_t MaxNs() const { return maxNs_; }
  // The lateness that a fraction q (0..1] of the waits did not exceed, to the bin's upper edge
  // and never above the maximum; 0 without samples.
  std::int64_t PercentileNs(double q) const;
  // Waits with from <= lateness < to (ns).
  std::uint64_t CountBetween(std::int64_t fromNs, std::int64_t toNs) const;

 private:
  std::vector<std::uint32_t> bins_;
  std::uint64_t count_ = 0;
  std::int64_t maxNs_ = 0;
};

// What else shaped the measurement, for the advice.
struct LatencyContext {
  double seconds = 0;
  double intervalNs = 0;             // length of each wait
  bool realtime = false;             // --rt was asked for
  int cpu = -1;                      // --cpu, or -1
  bool throttleOn = false;           // the kernel's real-time throttle limits a FIFO process
  std::int64_t throttlePauseNs = 0;  // its pause per period (period - runtime), 0 when off
  std::string isolatedCpus;          // /sys/devices/system/cpu/isolated, empty when none
};

enum class LatencyLevel { excellent, good, marginal, poor };
LatencyLevel Classify(std::int64_t maxNs);
const char* LevelName(LatencyLevel level);

// "812 ns", "35.2 us", "4.10 ms".
std::string FormatDuration(std::int64_t ns);
// Percentiles and maximum, the histogram (bar lengths on a log scale), the verdict and what would
// improve it. Lines end in '\n'.
std::string LatencyReport(const LatencyHistogram& histogram, const LatencyContext& context);
// The verdict paragraph alone (also part of LatencyReport).
std::string LatencyVerdict(const LatencyHistogram& histogram, const LatencyContext& context);

}  // namespace tool
