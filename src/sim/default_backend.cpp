// The simulated table as the PortTalk device's backend: the hardware model on a realtime or
// virtual clock, the record file of steps, aux changes and faults, and the status block in POSIX
// shared memory. Configured once per process from STEPLINK_SIM.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "hw/device_select.h"
#include "hw/hardware_backend.h"
#include "sim/record_writer.h"
#include "sim/simulated_table.h"
#include "sim/status_block.h"
#include "sim/table_model.h"

namespace sim {
namespace {

constexpr double nanosecondsPerTick = STEPLINK_TICK_NANOSECONDS;

std::uint64_t MonotonicTicks(void*) {
  static const auto base = std::chrono::steady_clock::now();
  const auto elapsed = std::chrono::steady_clock::now() - base;
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count();
  return static_cast<std::uint64_t>(static_cast<double>(ns) / nanosecondsPerTick);
}

class SimulatedTable final : public PortBackend, public TableEvents {
 public:
  explicit SimulatedTable(const SimConfig& config)
      : model_(config.table, &MonotonicTicks, nullptr, this) {}

  SimulatedTable(const SimulatedTable&) = delete;
  SimulatedTable& operator=(const SimulatedTable&) = delete;

  ~SimulatedTable() override { PublishStatus(model_.Now()); }

  bool Open(const SimConfig& config, std::string& error) {
    if (!config.recordPath.empty() && !record_.Open(config.recordPath, recordHeader, error)) {
      return false;
    }
    if (!config.statusName.empty()) {
      status_ = StatusBlockFile::Create(config.statusName, error);
      if (status_ == nullptr) return false;
      PublishStatus(0);
    }
    return true;
  }

  void Out(std::uint16_t port, std::uint8_t value) override { model_.Out(port, value); }
  std::uint8_t In(std::uint16_t port) override { return model_.In(port); }

  void DeviceClosed() override {
    PublishStatus(model_.Now());
    record_.Settle();
  }

  void OnStep(std::uint64_t tick, Axis axis, int direction, std::int32_t position) override {
    if (record_.IsOpen()) {
      RecordLine("step %" PRIu64 " %c %c %" PRId32 "\n", tick, "xyz"[axis],
                 direction > 0 ? '+' : '-', position);
    }
    PublishStatus(tick);
  }

  void OnAux(std::uint64_t tick, int state) override {
    if (record_.IsOpen()) {
      if (state == noAuxState) {
        RecordLine("aux %" PRIu64 " none\n", tick);
      } else {
        RecordLine("aux %" PRIu64 " %d\n", tick, state);
      }
    }
    PublishStatus(tick);
  }

  void OnFault(std::uint64_t tick, FaultKind kind, std::uint16_t port,
               std::uint8_t value) override {
    if (record_.IsOpen()) {
      RecordLine("fault %" PRIu64 " %s %x %02x\n", tick, FaultKindName(kind),
                 static_cast<unsigned>(port), static_cast<unsigned>(value));
    }
    table_.lastFaultTick = tick;
    table_.lastFaultPort = port;
    table_.lastFaultValue = value;
    table_.lastFaultKind =
        static_cast<std::uint8_t>(STEPLINK_FAULT_LOST_STEP + static_cast<int>(kind));
    PublishStatus(tick);
  }

 private:
  // One whole record line, formatted on the stack and handed over at once.
  template <typename... Args>
  void RecordLine(const char* format, Args... args) {
    char line[96];
    const int length = std::snprintf(line, sizeof(line), format, args...);
    if (length > 0)
      record_.Line(line, std::min(static_cast<std::size_t>(length), sizeof(line) - 1));
  }

  void PublishStatus(std::uint64_t tick) {
    if (status_ == nullptr) return;
    SteplinkStatusTable& table = status_->Block().table;
    table_.positionX = model_.Position(axisX);
    table_.positionY = model_.Position(axisY);
    table_.positionZ = model_.Position(axisZ);
    table_.auxState = model_.AuxState();
    table_.ticks = tick;
    table_.totalSteps = model_.TotalSteps();
    table_.faultCount = model_.FaultCount();
    table_.limitEngaged = model_.LimitEngaged() ? 1 : 0;
    table_.hardware = 0;
    WriteSection(table, table_);
  }

  TableModel model_;
  RecordWriter record_;
  std::unique_ptr<StatusBlockFile> status_;
  SteplinkStatusTable table_{};  // what the next update publishes; the last fault stays in it
};

}  // namespace

std::unique_ptr<PortBackend> MakeSimulatedTable(const SimConfig& config, std::string& error) {
  auto table = std::make_unique<SimulatedTable>(config);
  if (!table->Open(config, error)) return nullptr;
  return table;
}

PortBackend* DefaultBackend() {
  static const std::unique_ptr<PortBackend> table = []() -> std::unique_ptr<PortBackend> {
    // STEPLINK_DEVICE unset or "sim": the simulated table; otherwise a real port.
    if (const char* device = std::getenv("STEPLINK_DEVICE")) {
      const hw::DeviceSpecResult chosen = hw::ParseDeviceSpec(device);
      if (!chosen.spec) {
        std::fprintf(stderr, "steplink-hw: %s\n", chosen.error.c_str());
        return nullptr;
      }
      if (chosen.spec->kind != hw::DeviceKind::simulated) {
        return hw::MakeHardwareBackend(*chosen.spec, hw::RealSystemCalls());
      }
    }
    const ConfigResult& parsed = ProcessSimConfig();
    std::string error = parsed.error;
    std::unique_ptr<PortBackend> made;
    if (parsed.config) made = MakeSimulatedTable(*parsed.config, error);
    if (!made) std::fprintf(stderr, "steplink-sim: %s\n", error.c_str());
    return made;
  }();
  return table.get();
}

}  // namespace sim
