// The latency probe's measurement and its command: chunks of back-to-back step-length waits on
// the clock counter, progress between chunks, then the report of latency_stats.
#include "probe/latency_probe.h"

#include <sched.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "contract/steplink_contract.h"
#include "job/realtime_stage.h"

namespace tool {
namespace {

// The pacing loop's "no reading yet" value, above any 16-bit count.
constexpr std::int32_t noReading = 99999999;
// Progress is printed between chunks, never inside a wait, so it costs no lateness.
constexpr double chunkSeconds = 10;

// ReadTimerCount: latch counter 0, then its low and high byte.
std::int32_t ReadCount(hw::Counter0& counter) {
  counter.Command(STEPLINK_TIMER_LATCH_COUNT);
  const std::int32_t low = counter.Read();
  const std::int32_t high = counter.Read();
  return high * 256 + low;
}

std::string Trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

// The CPU this process is pinned to, or -1 when it may run on more than one.
int PinnedCpu() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) != 0 || CPU_COUNT(&set) != 1) return -1;
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (CPU_ISSET(cpu, &set)) return cpu;
  }
  return -1;
}

// The real-time throttle's pause per period in ns (sched_rt_period_us - sched_rt_runtime_us),
// 0 when it is off (-1) or unreadable.
std::int64_t ThrottlePauseNs(hw::SystemCalls& calls) {
  const auto runtime = calls.ReadText("/proc/sys/kernel/sched_rt_runtime_us");
  const auto period = calls.ReadText("/proc/sys/kernel/sched_rt_period_us");
  if (!runtime || !period) return 0;
  const long long runtimeUs = std::atoll(runtime->c_str());
  const long long periodUs = std::atoll(period->c_str());
  if (runtimeUs < 0 || periodUs <= runtimeUs) return 0;
  return (periodUs - runtimeUs) * 1000;
}

}  // namespace

void MeasureWaits(hw::SystemCalls& calls, hw::Counter0& counter, double intervalCounts,
                  std::uint64_t durationNs, LatencyHistogram& histogram) {
  const double intervalNs = intervalCounts * STEPLINK_TICK_NANOSECONDS;
  std::int32_t base = ReadCount(counter);
  std::uint64_t previousEnd = calls.MonotonicNanoseconds();
  const std::uint64_t stop = previousEnd + durationNs;
  while (previousEnd < stop) {
    // The pacing wait: completed segments plus the counts since base in the current one; a
    // reading above base or above the previous one is a wrap of 0xFFFF counts.
    double completed = 0;
    double partial = 0;
    std::int32_t previous = noReading;
    std::int32_t reading = ReadCount(counter);
    if (reading > base) {
      completed = base - reading + 0xFFFF;
      base = reading;
    } else {
      partial = base - reading;
    }
    while (completed + partial < intervalCounts) {
      reading = ReadCount(counter);
      if (reading > base || reading > previous) {
        completed += base - reading + 0xFFFF;
        base = reading;
        partial = 0;
      } else {
        partial = base - reading;
      }
      previous = reading;
    }
    base = reading;
    const std::uint64_t end = calls.MonotonicNanoseconds();
    histogram.Add(static_cast<std::int64_t>(double(end - previousEnd) - intervalNs));
    previousEnd = end;
  }
}

int RunLatencyProbe(const LatencyOptions& options) {
  if (options.realtime || options.cpu >= 0) ApplyRealtime(options.realtime, options.cpu);
  const std::string throttle = RealtimeThrottleWarning();
  if (options.realtime && !throttle.empty()) std::fprintf(stderr, "%s\n", throttle.c_str());

  hw::SystemCalls& calls = hw::RealSystemCalls();
  const auto counter = hw::MakeClockCounter(calls);
  std::string error;
  if (!counter->Open(error)) {
    std::fprintf(stderr, "steplink: probe --latency: %s\n", error.c_str());
    return 1;
  }
  LatencyContext context;
  context.seconds = options.seconds;
  const double intervalCounts = (1.0 / topSpeedStepsPerSecond) / STEPLINK_TICK_SECONDS;
  context.intervalNs = intervalCounts * STEPLINK_TICK_NANOSECONDS;
  context.realtime = sched_getscheduler(0) == SCHED_FIFO;
  context.cpu = PinnedCpu();
  context.throttleOn = !throttle.empty();
  context.throttlePauseNs = ThrottlePauseNs(calls);
  context.isolatedCpus = Trimmed(calls.ReadText("/sys/devices/system/cpu/isolated").value_or(""));

  std::printf(
      "steplink probe --latency: %.1f s of busy-waits of one step at the top speed (%.0f "
      "steps/s), on counter 0 as timer=clock serves it, paced as the library paces a step\n"
      "scheduling: %s%s; CPU: %s\n",
      options.seconds, topSpeedStepsPerSecond, context.realtime ? "SCHED_FIFO" : "normal",
      options.realtime && !context.realtime ? " (--rt was refused, see above)" : "",
      context.cpu >= 0 ? std::to_string(context.cpu).c_str() : "any");
  std::fflush(stdout);

  LatencyHistogram histogram;
  double done = 0;
  while (done < options.seconds) {
    const double chunk = std::min(chunkSeconds, options.seconds - done);
    MeasureWaits(calls, *counter, intervalCounts, static_cast<std::uint64_t>(chunk * 1e9),
                 histogram);
    done += chunk;
    if (options.seconds > chunkSeconds && done < options.seconds) {
      std::fprintf(stderr, "steplink: probe --latency: %.0f of %.0f s\n", done, options.seconds);
    }
  }
  counter->Close();
  std::fputs(LatencyReport(histogram, context).c_str(), stdout);
  return 0;
}

}  // namespace tool
