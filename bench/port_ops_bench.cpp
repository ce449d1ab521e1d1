// Cost per port operation: outportb, inportb, ReadTimerCount and one pacing poll through the
// library, each beside the bare backend call(s) it makes, so the library's share is a difference.
// Backend: the simulated table on its virtual clock. Links the core statically, with the
// substitute.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "contract/steplink_contract.h"
#include "device/port_backend.h"
#include "motion/ramp.h"
#include "motion/reference.h"
#include "port/port_channel.h"
#include "port/port_trace.h"
#include "sim/substitute.h"
#include "sim/table_model.h"
#include "timing/timer.h"

namespace {

constexpr std::uint16_t dataPort = STEPLINK_PORT_DATA;
constexpr std::uint16_t statusPort = STEPLINK_PORT_STATUS;
constexpr std::uint16_t timerCommandPort = STEPLINK_PORT_TIMER_COMMAND;
constexpr std::uint16_t counter0Port = STEPLINK_PORT_TIMER_COUNT;

// The same adapter the default backend puts between the device and the table.
class TableBackend final : public sim::PortBackend {
 public:
  TableBackend() : table_(VirtualClock(), nullptr, nullptr, nullptr) {}
  void Out(std::uint16_t port, std::uint8_t value) override { table_.Out(port, value); }
  std::uint8_t In(std::uint16_t port) override { return table_.In(port); }

 private:
  static sim::TableSettings VirtualClock() {
    sim::TableSettings settings;
    settings.clock = sim::ClockKind::virtualTicks;
    return settings;
  }
  sim::TableModel table_;
};

// Opens the device on a fresh table for each benchmark; tracing as asked.
class Device {
 public:
  explicit Device(bool traced) {
    sim::ResetSubstitute(&backend_);
    if (OpenPortDevice() == 255) std::abort();
    CalibrateTimer();
    traceOn = traced && traceAvailable ? 1 : 0;
  }
  ~Device() {
    traceOn = 0;
    ClosePortDevice();
    sim::ResetSubstitute(nullptr);
  }
  sim::PortBackend& Backend() { return backend_; }

  static bool traceAvailable;

 private:
  TableBackend backend_;
};
bool Device::traceAvailable = false;

// Backend calls through the base-class pointer, as the substitute makes them.
sim::PortBackend* Opaque(sim::PortBackend& backend) {
  sim::PortBackend* pointer = &backend;
  benchmark::DoNotOptimize(pointer);
  return pointer;
}

void BM_BackendOut(benchmark::State& state) {
  Device device(false);
  sim::PortBackend* backend = Opaque(device.Backend());
  std::uint8_t value = 0;
  for (auto _ : state) backend->Out(dataPort, value++);
  state.SetItemsProcessed(state.iterations());
}

void BM_Outportb(benchmark::State& state) {
  Device device(state.range(0) != 0);
  std::uint8_t value = 0;
  for (auto _ : state) outportb(dataPort, value++);
  state.SetItemsProcessed(state.iterations());
}

void BM_BackendIn(benchmark::State& state) {
  Device device(false);
  sim::PortBackend* backend = Opaque(device.Backend());
  for (auto _ : state) benchmark::DoNotOptimize(backend->In(statusPort));
  state.SetItemsProcessed(state.iterations());
}

void BM_Inportb(benchmark::State& state) {
  Device device(state.range(0) != 0);
  for (auto _ : state) benchmark::DoNotOptimize(inportb(statusPort));
  state.SetItemsProcessed(state.iterations());
}

// The three backend calls of one counter reading: latch, low byte, high byte.
std::int32_t BareReading(sim::PortBackend* backend) {
  backend->Out(timerCommandPort, 0x00);
  const std::int32_t low = backend->In(counter0Port);
  const std::int32_t high = backend->In(counter0Port);
  return high * 256 + low;
}

void BM_BackendReading(benchmark::State& state) {
  Device device(false);
  sim::PortBackend* backend = Opaque(device.Backend());
  for (auto _ : state) benchmark::DoNotOptimize(BareReading(backend));
  state.SetItemsProcessed(state.iterations());
}

void BM_ReadTimerCount(benchmark::State& state) {
  Device device(state.range(0) != 0);
  for (auto _ : state) benchmark::DoNotOptimize(ReadTimerCount());
  state.SetItemsProcessed(state.iterations());
}

// One reference-speed step interval (2983 counts) waited out by the smallest loop that keeps the
// pacing wait's wrap rule, straight on the backend. Items: polls.
void BM_BackendPaceWait(benchmark::State& state) {
  Device device(false);
  sim::PortBackend* backend = Opaque(device.Backend());
  const double intervalCounts = (1.0 / motionParams.referenceSpeed) / tickSeconds;
  std::int32_t base = BareReading(backend);
  std::int64_t polls = 0;
  for (auto _ : state) {
    double wrapped = 0.0;
    double segment = 0.0;
    std::int32_t previous = noPreviousReading;
    std::int32_t reading;
    do {
      reading = BareReading(backend);
      ++polls;
      if (reading > base || reading > previous) {
        wrapped += base - reading + counterWrapCounts;
        base = reading;
        segment = 0.0;
      } else {
        segment = base - reading;
      }
      previous = reading;
    } while (wrapped + segment < intervalCounts);
    base = reading;
  }
  state.SetItemsProcessed(polls);
}

// The same interval through PaceStep (reference steps leave the ramp alone, so every iteration
// waits the same). Items: polls, counted by the counts the virtual clock advanced.
void BM_PaceStepWait(benchmark::State& state) {
  Device device(state.range(0) != 0);
  referenceActive = 1;
  PlanRamp(1);
  std::int64_t elapsedCounts = 0;
  for (auto _ : state) {
    const std::int32_t before = baseCount;
    PaceStep(0);
    elapsedCounts += (before - baseCount + 0x10000) % 0x10000;
  }
  referenceActive = 0;
  // Each poll is three port accesses, each of which moves the virtual clock two ticks.
  state.SetItemsProcessed(elapsedCounts / 6);
}

// One PaceStep that does not wait (no calibration yet, so the interval is zero): a single poll
// plus the step's ramp update, beside a single bare reading.
void BM_PaceStepOnePoll(benchmark::State& state) {
  Device device(false);
  countsPerTick = 0;
  PlanRamp(31999);
  for (auto _ : state) PaceStep(20000);
  state.SetItemsProcessed(state.iterations());
}

}  // namespace

BENCHMARK(BM_BackendOut);
BENCHMARK(BM_Outportb)->ArgName("traced")->Arg(0)->Arg(1);
BENCHMARK(BM_BackendIn);
BENCHMARK(BM_Inportb)->ArgName("traced")->Arg(0)->Arg(1);
BENCHMARK(BM_BackendReading);
BENCHMARK(BM_ReadTimerCount)->ArgName("traced")->Arg(0)->Arg(1);
BENCHMARK(BM_BackendPaceWait);
BENCHMARK(BM_PaceStepWait)->ArgName("traced")->Arg(0)->Arg(1);
BENCHMARK(BM_PaceStepOnePoll);

int main(int argc, char** argv) {
  // Tracing on writes every port operation to the file STEPLINK_TRACE names; /dev/null keeps the
  // cost of formatting and writing without filling the disk. The first entry call opens it.
  if (std::getenv("STEPLINK_TRACE") == nullptr) setenv("STEPLINK_TRACE", "/dev/null", 1);
  TraceCall("bench");
  Device::traceAvailable = traceOn != 0;
  traceOn = 0;
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
