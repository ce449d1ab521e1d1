// Motion benchmarks that Google Benchmark does not fit: pacing lateness on the realtime simulated
// table, simulated seconds per wall second on the virtual clock, and a heap-allocation count.
// Links the core statically; PlanRamp, PaceStep and WaitTicks are wrapped (ld --wrap) to observe
// each wait's base reading and end. Prints one JSON object on stdout.
#include <sched.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "contract/steplink_contract.h"
#include "device/port_backend.h"
#include "motion/ramp.h"
#include "motion/reference.h"
#include "motion/vector.h"
#include "port/port_channel.h"
#include "sim/substitute.h"
#include "sim/table_model.h"
#include "timing/timer.h"

// ---- Heap allocation counter: every malloc/new in the process while counting is on. ----------

extern "C" void* __libc_malloc(std::size_t size);
extern "C" void* __libc_calloc(std::size_t count, std::size_t size);
extern "C" void* __libc_realloc(void* pointer, std::size_t size);

namespace {
std::atomic<bool> countAllocations{false};
std::atomic<std::uint64_t> allocationCount{0};
void NoteAllocation() {
  if (countAllocations.load(std::memory_order_relaxed)) {
    allocationCount.fetch_add(1, std::memory_order_relaxed);
  }
}
}  // namespace

extern "C" void* malloc(std::size_t size) {
  NoteAllocation();
  return __libc_malloc(size);
}
extern "C" void* calloc(std::size_t count, std::size_t size) {
  NoteAllocation();
  return __libc_calloc(count, size);
}
extern "C" void* realloc(void* pointer, std::size_t size) {
  NoteAllocation();
  return __libc_realloc(pointer, size);
}

// ---- Clock and table ----------------------------------------------------------------------------

namespace {
constexpr double tickNs = STEPLINK_TICK_NANOSECONDS;  // one 8254 input-clock tick

std::uint64_t ThreadCpuNs() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000000000u +
         static_cast<std::uint64_t>(now.tv_nsec);
}

std::uint64_t NowNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000000000u +
         static_cast<std::uint64_t>(now.tv_nsec);
}

// The realtime table's source. Remembers the nanosecond value behind the last tick it handed out,
// so that the bench knows exactly when the table latched a count.
std::uint64_t lastSourceNs = 0;
std::uint64_t MonotonicTicks(void*) {
  lastSourceNs = NowNs();
  return lastSourceNs / 838u;
}

// Serves the device from a table and notes, for every counter latch, the tick it was taken at.
class BenchBackend final : public sim::PortBackend {
 public:
  explicit BenchBackend(sim::TableModel& table) : table_(table) {}
  void Out(std::uint16_t port, std::uint8_t value) override {
    table_.Out(port, value);
    if (port == sim::timerCommandPort && value == sim::latchCountCommand) {
      lastLatchNs = lastSourceNs;  // the source read that the table latched the count at
    }
  }
  std::uint8_t In(std::uint16_t port) override { return table_.In(port); }
  std::uint64_t lastLatchNs = 0;

 private:
  sim::TableModel& table_;
};

BenchBackend* observed = nullptr;

// ---- Wait observation ---------------------------------------------------------------------------

bool observing = false;
std::uint64_t baseLatchNs = 0;        // when the current wait's base reading was latched
std::vector<std::int32_t>* lateness;  // ns past the deadline, one per paced step
std::uint64_t paceNs = 0;             // wall time inside PaceStep (breakdown runs)
std::uint64_t settleNs = 0;           // wall time inside WaitTicks (breakdown runs)
bool timeCalls = false;
}  // namespace

extern "C" {
void __real__Z8PlanRampj(std::uint32_t n);
void __real__Z8PaceStepi(std::int32_t stepsToGo);
void __real__Z9WaitTicksi(std::int32_t ticks);

void __wrap__Z8PlanRampj(std::uint32_t n) {
  __real__Z8PlanRampj(n);
  if (observing) baseLatchNs = observed->lastLatchNs;
}

void __wrap__Z8PaceStepi(std::int32_t stepsToGo) {
  if (observing) {
    // The speed PaceStep paces this step at; entering deceleration re-aims only the rate.
    double speed = referenceActive == 1 ? motionParams.referenceSpeed : currentSpeed;
    if (!(speed > 0.0)) speed = 1.0;
    const double intervalTicks = (1.0 / speed) / tickSeconds;
    // The counter shows the base reading from the start of the tick it was latched in; the wait
    // is due intervalTicks after that.
    const double deadlineNs = (static_cast<double>(baseLatchNs / 838u) + intervalTicks) * tickNs;
    __real__Z8PaceStepi(stepsToGo);
    const double endNs = static_cast<double>(NowNs());
    lateness->push_back(static_cast<std::int32_t>(std::lround(endNs - deadlineNs)));
    baseLatchNs = observed->lastLatchNs;
    return;
  }
  if (timeCalls) {
    const std::uint64_t start = NowNs();
    __real__Z8PaceStepi(stepsToGo);
    paceNs += NowNs() - start;
    return;
  }
  __real__Z8PaceStepi(stepsToGo);
}

void __wrap__Z9WaitTicksi(std::int32_t ticks) {
  if (timeCalls) {
    const std::uint64_t start = NowNs();
    __real__Z9WaitTicksi(ticks);
    settleNs += NowNs() - start;
    return;
  }
  __real__Z9WaitTicksi(ticks);
}
}  // extern "C"

namespace {

struct Options {
  std::string command;
  long steps = 100000;
  int repeats = 5;
  bool mlock = false;
  std::string label = "default";
};

double Percentile(std::vector<std::int32_t> sorted, double fraction) {
  if (sorted.empty()) return 0.0;
  std::sort(sorted.begin(), sorted.end());
  const auto index = static_cast<std::size_t>(
      std::min<double>(sorted.size() - 1, std::ceil(fraction * sorted.size()) - 1));
  return sorted[index];
}

void PrintDistribution(const char* name, const std::vector<std::int32_t>& ns, bool comma) {
  std::vector<std::int32_t> sorted = ns;
  std::sort(sorted.begin(), sorted.end());
  const auto within = std::count_if(sorted.begin(), sorted.end(),
                                    [](std::int32_t v) { return v <= static_cast<int>(tickNs); });
  std::printf(
      "    \"%s\": {\"waits\": %zu, \"p50_us\": %.3f, \"p99_us\": %.3f, \"p999_us\": %.3f, "
      "\"max_us\": %.3f, \"min_us\": %.3f, \"within_tick\": %.6f}%s\n",
      name, sorted.size(), Percentile(sorted, 0.5) / 1000, Percentile(sorted, 0.99) / 1000,
      Percentile(sorted, 0.999) / 1000, sorted.empty() ? 0.0 : sorted.back() / 1000.0,
      sorted.empty() ? 0.0 : sorted.front() / 1000.0,
      sorted.empty() ? 0.0 : static_cast<double>(within) / sorted.size(), comma ? "," : "");
}

sim::TableSettings Settings(sim::ClockKind clock, std::int32_t limitX, std::int32_t limitY,
                            std::int32_t limitZ) {
  sim::TableSettings settings;
  settings.clock = clock;
  settings.limitSteps[sim::axisX] = limitX;
  settings.limitSteps[sim::axisY] = limitY;
  settings.limitSteps[sim::axisZ] = limitZ;
  return settings;
}

// A fresh table starts every motor at phase 0; the library's phase indices outlive a table, so
// each run starts them at 0 too, as a freshly loaded library would be.
void FreshPhases() {
  phaseX = phaseY = phaseZ = 0;
}

// Opens the device on the given backend and calibrates, as openConn and initTimer would.
void Connect(BenchBackend& backend) {
  FreshPhases();
  sim::ResetSubstitute(&backend);
  if (OpenPortDevice() == 255) {
    std::fprintf(stderr, "motion_bench: the device did not open\n");
    std::exit(2);
  }
  CalibrateTimer();
}

void Disconnect() {
  ClosePortDevice();
  sim::ResetSubstitute(nullptr);
}

// Moves of `length` steps along X, alternating direction, until `steps` steps have been paced.
void AlternatingMoves(long steps, std::int32_t length) {
  std::int32_t sign = 1;
  for (long done = 0; done < steps;) {
    const auto move = static_cast<std::int32_t>(std::min<long>(length, steps - done));
    MoveVector(sign * move, 0, 0);
    done += move;
    sign = -sign;
  }
}

// 10^5 paced steps in three groups on the realtime table: short moves that never leave the start
// speed's neighbourhood, long moves that cruise at the maximum speed, and a reference run whose
// creeps and back-offs step at the reference speed.
int RunPacing(const Options& options) {
  const long third = options.steps / 3;
  const std::int32_t creep = static_cast<std::int32_t>(std::max<long>(1, third / 4));
  sim::TableModel table(Settings(sim::ClockKind::realtime, -creep, -creep, -1000000000),
                        MonotonicTicks, nullptr, nullptr);
  BenchBackend backend(table);
  observed = &backend;
  Connect(backend);

  std::vector<std::int32_t> groups[3];
  for (auto& group : groups) group.reserve(static_cast<std::size_t>(third + 64));
  if (options.mlock && mlockall(MCL_CURRENT | MCL_FUTURE) != 0) {
    std::fprintf(stderr, "motion_bench: mlockall failed: %s\n", std::strerror(errno));
  }

  observing = true;
  lateness = &groups[0];
  ReferenceRun(creep, creep, 0);
  lateness = &groups[1];
  AlternatingMoves(third, 8);
  lateness = &groups[2];
  AlternatingMoves(third, 31999);
  observing = false;
  Disconnect();

  std::vector<std::int32_t> all;
  for (const auto& group : groups) all.insert(all.end(), group.begin(), group.end());
  const std::uint32_t faults = table.FaultCount();

  // Histogram for the plot: counts per 0.1 us up to 5 us, then one bin per decade step.
  std::printf("{\n  \"label\": \"%s\",\n  \"faults\": %u,\n  \"distributions\": {\n",
              options.label.c_str(), faults);
  PrintDistribution("reference", groups[0], true);
  PrintDistribution("start", groups[1], true);
  PrintDistribution("cruise", groups[2], true);
  PrintDistribution("all", all, false);
  std::printf("  },\n  \"lateness_ns\": [");
  std::sort(all.begin(), all.end());
  // A thinned copy of the sorted samples keeps the plot's curve without 10^5 numbers: every
  // 100th sample, and the top 200 in full.
  bool first = true;
  for (std::size_t i = 0; i < all.size(); ++i) {
    if (i % 100 != 0 && i + 200 < all.size()) continue;
    std::printf("%s[%zu,%d]", first ? "" : ",", i, all[i]);
    first = false;
  }
  std::printf("],\n  \"samples\": %zu\n}\n", all.size());
  return faults == 0 ? 0 : 1;
}

struct SpeedResult {
  double simSeconds;
  double wallSeconds;
  double cpuSeconds;  // this thread's CPU time: the wall time less what other processes took
  std::uint64_t steps;
  std::uint64_t portOps;
};

class CountingBackend final : public sim::PortBackend {
 public:
  explicit CountingBackend(sim::TableModel& table) : table_(table) {}
  void Out(std::uint16_t port, std::uint8_t value) override {
    ++ops;
    table_.Out(port, value);
  }
  std::uint8_t In(std::uint16_t port) override {
    ++ops;
    return table_.In(port);
  }
  std::uint64_t ops = 0;

 private:
  sim::TableModel& table_;
};

enum class Workload { line, threeAxis, reference };

const char* WorkloadName(Workload workload) {
  switch (workload) {
    case Workload::line:
      return "vectorOut 31999 0 0";
    case Workload::threeAxis:
      return "vectorOut 24000 -18000 12000";
    case Workload::reference:
      return "reference 10 0 0 (creep 5000)";
  }
  return "";
}

// One workload on a fresh virtual-clock table: its simulated time against the wall time it took.
SpeedResult RunWorkload(Workload workload, bool counting, std::uint64_t& allocations) {
  sim::TableModel table(Settings(sim::ClockKind::virtualTicks, -5000, -1000000, -1000000), nullptr,
                        nullptr, nullptr);
  BenchBackend plain(table);
  CountingBackend counter(table);
  FreshPhases();
  if (counting) {
    sim::ResetSubstitute(&counter);
  } else {
    sim::ResetSubstitute(&plain);
  }
  OpenPortDevice();
  CalibrateTimer();
  const std::uint64_t simStart = table.Now();
  const std::uint64_t stepsStart = table.TotalSteps();
  const std::uint64_t opsStart = counter.ops;
  allocationCount = 0;
  countAllocations = true;
  const std::uint64_t cpuStart = ThreadCpuNs();
  const std::uint64_t wallStart = NowNs();
  switch (workload) {
    case Workload::line:
      MoveVector(31999, 0, 0);
      break;
    case Workload::threeAxis:
      MoveVector(24000, -18000, 12000);
      break;
    case Workload::reference:
      ReferenceRun(10, 0, 0);  // creeps 5000 steps onto the X switch, backs off 10, pauses
      break;
  }
  const std::uint64_t wallEnd = NowNs();
  const std::uint64_t cpuEnd = ThreadCpuNs();
  countAllocations = false;
  allocations = allocationCount;
  if (table.FaultCount() != 0) {
    std::fprintf(stderr, "motion_bench: the table recorded %u faults during %s\n",
                 table.FaultCount(), WorkloadName(workload));
    std::exit(1);
  }
  SpeedResult result{static_cast<double>(table.Now() - simStart) * tickSeconds,
                     static_cast<double>(wallEnd - wallStart) * 1e-9,
                     static_cast<double>(cpuEnd - cpuStart) * 1e-9, table.TotalSteps() - stepsStart,
                     counter.ops - opsStart};
  ClosePortDevice();
  sim::ResetSubstitute(nullptr);
  return result;
}

int RunSpeed(const Options& options) {
  std::printf("{\n  \"workloads\": [\n");
  std::uint64_t worstAllocations = 0;
  const Workload workloads[] = {Workload::line, Workload::threeAxis, Workload::reference};
  for (std::size_t w = 0; w < 3; ++w) {
    std::vector<double> ratios;
    std::vector<double> cpuRatios;
    SpeedResult last{};
    for (int r = 0; r < options.repeats; ++r) {
      std::uint64_t allocations = 0;
      last = RunWorkload(workloads[w], false, allocations);
      worstAllocations = std::max(worstAllocations, allocations);
      ratios.push_back(last.simSeconds / last.wallSeconds);
      cpuRatios.push_back(last.simSeconds / last.cpuSeconds);
    }
    std::sort(ratios.begin(), ratios.end());
    std::sort(cpuRatios.begin(), cpuRatios.end());
    std::uint64_t allocations = 0;
    const SpeedResult counted = RunWorkload(workloads[w], true, allocations);

    // Breakdown of the wall time per step: pacing wait, settle waits, and the rest (the cycle
    // loop's own work: phase bookkeeping, error accumulation, latch and strobe writes).
    paceNs = settleNs = 0;
    timeCalls = true;
    std::uint64_t ignored = 0;
    const SpeedResult timed = RunWorkload(workloads[w], false, ignored);
    timeCalls = false;
    const double ownNs = timed.wallSeconds * 1e9 - static_cast<double>(paceNs + settleNs);

    std::printf(
        "    {\"name\": \"%s\", \"sim_s\": %.4f, \"steps\": %llu, \"port_ops\": %llu, "
        "\"speedup_min\": %.1f, \"speedup_median\": %.1f, \"speedup_max\": %.1f, "
        "\"cpu_speedup_min\": %.1f, \"cpu_speedup_median\": %.1f, \"cpu_speedup_max\": %.1f, "
        "\"cpu_ns_per_port_op\": %.2f, "
        "\"wall_ns_per_port_op\": %.2f, \"pace_ns_per_step\": %.1f, "
        "\"settle_ns_per_step\": %.1f, \"own_ns_per_step\": %.1f}%s\n",
        WorkloadName(workloads[w]), last.simSeconds, static_cast<unsigned long long>(last.steps),
        static_cast<unsigned long long>(counted.portOps), ratios.front(), ratios[ratios.size() / 2],
        ratios.back(), cpuRatios.front(), cpuRatios[cpuRatios.size() / 2], cpuRatios.back(),
        last.cpuSeconds * 1e9 / static_cast<double>(counted.portOps),
        last.wallSeconds * 1e9 / static_cast<double>(counted.portOps),
        static_cast<double>(paceNs) / timed.steps, static_cast<double>(settleNs) / timed.steps,
        ownNs / timed.steps, w + 1 < 3 ? "," : "");
  }
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("  ],\n  \"heap_allocations_during_moves\": %llu,\n  \"max_rss_kib\": %ld\n}\n",
              static_cast<unsigned long long>(worstAllocations), usage.ru_maxrss);
  return worstAllocations == 0 ? 0 : 1;
}

// A few moves of each kind, fast: the CI smoke run. Fails on a fault of the table, a wait that
// ended far from its deadline for a reason other than preemption, or a heap allocation in a move.
int RunSmoke() {
  Options options;
  options.steps = 300;
  options.label = "smoke";
  // Short realtime run (about a second), then one virtual-clock move of each workload.
  if (RunPacing(options) != 0) return 1;
  std::uint64_t allocations = 0;
  for (const Workload workload : {Workload::line, Workload::threeAxis, Workload::reference}) {
    const SpeedResult result = RunWorkload(workload, false, allocations);
    if (allocations != 0) {
      std::fprintf(stderr, "motion_bench: %llu heap allocations during %s\n",
                   static_cast<unsigned long long>(allocations), WorkloadName(workload));
      return 1;
    }
    if (result.steps == 0 || !(result.simSeconds > 0.0)) {
      std::fprintf(stderr, "motion_bench: %s made no steps\n", WorkloadName(workload));
      return 1;
    }
  }
  return 0;
}

// One fixed virtual-clock move for callgrind: its instruction count per step and per port
// operation does not depend on the machine's load.
int RunProfile(long steps) {
  sim::TableModel table(Settings(sim::ClockKind::virtualTicks, -1000000, -1000000, -1000000),
                        nullptr, nullptr, nullptr);
  CountingBackend counter(table);
  FreshPhases();
  sim::ResetSubstitute(&counter);
  OpenPortDevice();
  CalibrateTimer();
  const std::uint64_t opsStart = counter.ops;
  MoveVector(static_cast<std::int32_t>(std::min<long>(steps, 31999)), 0, 0);
  std::printf("{\"steps\": %llu, \"port_ops\": %llu}\n",
              static_cast<unsigned long long>(table.TotalSteps()),
              static_cast<unsigned long long>(counter.ops - opsStart));
  ClosePortDevice();
  sim::ResetSubstitute(nullptr);
  return 0;
}

int Usage() {
  std::fprintf(stderr,
               "usage: motion_bench pacing [--steps N] [--mlock] [--label TEXT]\n"
               "       motion_bench speed [--repeats N]\n"
               "       motion_bench profile [--steps N]\n"
               "       motion_bench smoke\n");
  return 2;
}
}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  Options options;
  options.command = argv[1];
  for (int i = 2; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--steps" && i + 1 < argc) {
      options.steps = std::atol(argv[++i]);
    } else if (arg == "--repeats" && i + 1 < argc) {
      options.repeats = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--label" && i + 1 < argc) {
      options.label = argv[++i];
    } else if (arg == "--mlock") {
      options.mlock = true;
    } else {
      return Usage();
    }
  }
  if (options.command == "pacing") return RunPacing(options);
  if (options.command == "speed") return RunSpeed(options);
  if (options.command == "smoke") return RunSmoke();
  if (options.command == "profile") return RunProfile(options.steps);
  return Usage();
}
