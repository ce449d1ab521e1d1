// The hardware backend's own cost per port access beside the bare system call: an ioctl on a
// descriptor without ppdev behind it (/dev/null answers ENOTTY) is the system call alone; the
// backend adds its routing and the seam's indirection. Also a counter reading on timer=clock.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <linux/ioctl.h>
#include <linux/ppdev.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <memory>

#include "hw/hardware_backend.h"
#include "hw/system_calls.h"

namespace {

// Real ioctl calls on /dev/null (their ENOTTY ignored), everything else as the real seam does.
class NullDeviceCalls final : public hw::SystemCalls {
 public:
  explicit NullDeviceCalls(bool forward) : forward_(forward) {}
  int Open(const std::string&, int) override { return ::open("/dev/null", O_RDWR | O_CLOEXEC); }
  int Ioctl(int fd, unsigned long request, void* argument) override {
    if (forward_) ::ioctl(fd, request, argument);
    return 0;
  }
  int Close(int fd) override { return ::close(fd); }
  int Ioperm(unsigned long, unsigned long, int) override { return 0; }
  std::uint8_t Inb(std::uint16_t) override { return 0xFF; }
  void Outb(std::uint8_t, std::uint16_t) override {}
  std::uint64_t MonotonicNanoseconds() override {
    return hw::RealSystemCalls().MonotonicNanoseconds();
  }
  std::optional<std::string> ReadText(const std::string&) override { return std::nullopt; }
  std::vector<std::string> ListDirectory(const std::string&) override { return {}; }
  bool Exists(const std::string&) override { return false; }
  int Access(const std::string&, int) override { return 0; }

 private:
  bool forward_;
};

std::unique_ptr<sim::PortBackend> OpenBackend(hw::SystemCalls& calls, const char* spec) {
  auto backend = hw::MakeHardwareBackend(*hw::ParseDeviceSpec(spec).spec, calls);
  if (!backend->DeviceOpened()) std::abort();
  return backend;
}

void BareIoctl(benchmark::State& state) {
  const int fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  std::uint8_t value = 0x27;
  for (auto _ : state) {
    benchmark::DoNotOptimize(::ioctl(fd, PPWDATA, &value));
  }
  ::close(fd);
}
BENCHMARK(BareIoctl);

void PpdevDataWrite(benchmark::State& state) {
  NullDeviceCalls calls(true);
  auto backend = OpenBackend(calls, "parport:/dev/parport0");
  for (auto _ : state) {
    backend->Out(0x3BC, 0x27);
    benchmark::DoNotOptimize(backend->TakeRefusal());
  }
}
BENCHMARK(PpdevDataWrite);

void BackendOwnCostPerAccess(benchmark::State& state) {
  NullDeviceCalls calls(false);
  auto backend = OpenBackend(calls, "parport:/dev/parport0");
  for (auto _ : state) {
    backend->Out(0x3BC, 0x27);
    benchmark::DoNotOptimize(backend->TakeRefusal());
  }
}
BENCHMARK(BackendOwnCostPerAccess);

void BareClockRead(benchmark::State& state) {
  timespec now{};
  for (auto _ : state) {
    clock_gettime(CLOCK_MONOTONIC, &now);
    benchmark::DoNotOptimize(now);
  }
}
BENCHMARK(BareClockRead);

// One ReadTimerCount's three accesses (latch, low, high) on timer=clock.
void ClockCounterReading(benchmark::State& state) {
  NullDeviceCalls calls(false);
  auto backend = OpenBackend(calls, "parport:/dev/parport0,timer=clock");
  for (auto _ : state) {
    backend->Out(0x43, 0x00);
    benchmark::DoNotOptimize(backend->In(0x40));
    benchmark::DoNotOptimize(backend->In(0x40));
  }
}
BENCHMARK(ClockCounterReading);

}  // namespace

BENCHMARK_MAIN();
