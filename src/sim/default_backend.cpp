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
#include "sim/table_model.h"
#include "status/record_format.h"
#include "status/status_block.h"

namespace sim {
namespace {

constexpr double nanosecondsPerTick = STEPLINK_TICK_NANOSECONDS;

std::uint64_t MonotonicTicks(void*) {
  static const auto base = std::chrono::steady_clock::now();
  const auto elapsed = std::chrono::steady_clock::now() - base;
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count();
  return static_cast<std::uint64_t>(static_cast<double>(ns) / nanosecondsPerTick);
}

// What the tools see of a table, simulated or real: the record file of steps, auxiliary changes
// and faults, and the status block, both fed by a BoardObserver's events. A derived backend
// names the observer and the limit input.
class RecordingBackend : public PortBackend, public TableEvents {
 public:
  RecordingBackend() = default;
  RecordingBackend(const RecordingBackend&) = delete;
  RecordingBackend& operator=(const RecordingBackend&) = delete;

  bool Open(const SimConfig& config, std::string& error) {
    if (!config.recordPath.empty() && !record_.Open(config.recordPath, recordHeader, error)) {
      return false;
    }
    if (!config.statusName.empty()) {
      status_ = status::StatusBlockFile::Create(config.statusName, error);
      if (status_ == nullptr) return false;
      PublishStatus(0);
    }
    return true;
  }

  // The block of a process whose settings name none: steplink-proc-PID-HEX, so that a program
  // (the Java side) finds its own table's state; stale ones of dead processes are removed first.
  // Failing to make it costs the table nothing but the block: one warning line.
  void PublishProcessBlock() {
    status::RemoveStaleBlocks(status::processBlockPrefix);
    std::string error;
    const std::string name = status::MakeBlockName(status::processBlockPrefix, error);
    if (!name.empty()) status_ = status::StatusBlockFile::Create(name, error);
    if (status_ == nullptr) {
      std::fprintf(stderr, "steplink-sim: warning: no status block for this process (%s)\n",
                   error.c_str());
      return;
    }
    PublishStatus(0);
  }

  void OnStep(std::uint64_t tick, Axis axis, int direction, std::int32_t position) override {
    if (record_.IsOpen()) {
      RecordLine(status::recordStepFormat, tick, "xyz"[axis], direction > 0 ? '+' : '-', position);
    }
    PublishStatus(tick);
  }

  void OnAux(std::uint64_t tick, int state) override {
    if (record_.IsOpen()) {
      if (state == noAuxState) {
        RecordLine(status::recordAuxNoneFormat, tick);
      } else {
        RecordLine(status::recordAuxFormat, tick, state);
      }
    }
    PublishStatus(tick);
  }

  void OnFault(std::uint64_t tick, FaultKind kind, std::uint16_t port,
               std::uint8_t value) override {
    if (record_.IsOpen()) {
      RecordLine(status::recordFaultFormat, tick, FaultKindName(kind), static_cast<unsigned>(port),
                 static_cast<unsigned>(value));
    }
    table_.lastFaultTick = tick;
    table_.lastFaultPort = port;
    table_.lastFaultValue = value;
    table_.lastFaultKind = static_cast<std::uint8_t>(StatusFaultKind(kind));
    PublishStatus(tick);
  }

 protected:
  ~RecordingBackend() override = default;

  virtual const BoardObserver& Board() const = 0;
  virtual bool LimitEngaged() const = 0;
  virtual bool Hardware() const = 0;

  // The device closed: the status as it stands, the record cut to its last line.
  void Settle(std::uint64_t tick) {
    PublishStatus(tick);
    record_.Settle();
  }

  void PublishStatus(std::uint64_t tick) {
    if (status_ == nullptr) return;
    const BoardObserver& board = Board();
    table_.positionX = board.Position(axisX);
    table_.positionY = board.Position(axisY);
    table_.positionZ = board.Position(axisZ);
    table_.auxState = board.AuxState();
    table_.ticks = tick;
    table_.totalSteps = board.TotalSteps();
    table_.faultCount = board.FaultCount();
    table_.limitEngaged = LimitEngaged() ? 1 : 0;
    table_.hardware = Hardware() ? 1 : 0;
    status_->WriteTable(table_);
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

  RecordWriter record_;
  std::unique_ptr<status::StatusBlockFile> status_;
  SteplinkStatusTable table_{};  // what the next update publishes; the last fault stays in it
};

class SimulatedTable final : public RecordingBackend {
 public:
  explicit SimulatedTable(const SimConfig& config)
      : model_(config.table, &MonotonicTicks, nullptr, this) {}

  ~SimulatedTable() override { PublishStatus(model_.Now()); }

  void Out(std::uint16_t port, std::uint8_t value) override { model_.Out(port, value); }
  std::uint8_t In(std::uint16_t port) override { return model_.In(port); }
  void DeviceClosed() override { Settle(model_.Now()); }

 private:
  const BoardObserver& Board() const override { return model_.Board(); }
  bool LimitEngaged() const override { return model_.LimitEngaged(); }
  bool Hardware() const override { return false; }

  TableModel model_;
};

// A real port behind the device, watched: every data and strobe write that went out is decoded by
// the same BoardObserver as the simulated table's, so the record, the status block and the plots
// show the real table; the limit input is what the status register last read. Costs one clock
// read per data or control write (about 25 ns). The settle time is not judged here: this clock is
// not the one the library waited on.
class ObservedHardware final : public RecordingBackend {
 public:
  explicit ObservedHardware(std::unique_ptr<PortBackend> port)
      : port_(std::move(port)), board_(this, false), originTicks_(MonotonicTicks(nullptr)) {}

  ~ObservedHardware() override { PublishStatus(Now()); }

  bool DeviceOpened() override { return port_->DeviceOpened(); }
  void DeviceClosed() override {
    port_->DeviceClosed();
    Settle(Now());
  }

  void Out(std::uint16_t port, std::uint8_t value) override {
    port_->Out(port, value);
    if (const std::uint32_t refused = port_->TakeRefusal(); refused != 0) {
      Refuse(refused);  // it did not go out: nothing to observe
      return;
    }
    if (port == dataPort) board_.WriteData(Now(), value);
    if (port == controlPort) board_.WriteControl(Now(), value);
  }

  std::uint8_t In(std::uint16_t port) override {
    const std::uint8_t value = port_->In(port);
    if (const std::uint32_t refused = port_->TakeRefusal(); refused != 0) {
      Refuse(refused);
      return value;
    }
    if (port == statusPort) {
      const bool engaged = (value & limitReleasedBit) == 0;
      if (engaged != limitEngaged_) {
        limitEngaged_ = engaged;
        PublishStatus(Now());
      }
      WatchCreep(engaged);
    }
    return value;
  }

  void OnStep(std::uint64_t tick, Axis axis, int direction, std::int32_t position) override {
    // A creep is one step down, then one read of the limit input, again and again.
    stepsSinceRead_ = direction < 0 ? stepsSinceRead_ + 1 : 2;
    creepAxis_ = axis;
    RecordingBackend::OnStep(tick, axis, direction, position);
  }

 private:
  std::uint64_t Now() const { return MonotonicTicks(nullptr) - originTicks_; }

  // The library does not say when a reference run's creep gave up without meeting the switch:
  // the watcher does, once per creep, on standard error.
  void WatchCreep(bool engaged) {
    const bool creepStep = stepsSinceRead_ == 1;
    stepsSinceRead_ = 0;
    if (engaged || !creepStep) {
      creepReads_ = 0;
      return;
    }
    if (++creepReads_ != creepStepsWithoutSwitch) return;
    std::fprintf(stderr,
                 "steplink-hw: warning: the %c axis crept %d steps towards its switch and the "
                 "limit input never engaged: that reference run did not find the switch. Check "
                 "the switch and its wiring (docs/wiring.md) before trusting positions.\n",
                 "XYZ"[creepAxis_], creepStepsWithoutSwitch);
  }
  const BoardObserver& Board() const override { return board_; }
  bool LimitEngaged() const override { return limitEngaged_; }
  bool Hardware() const override { return true; }

  std::unique_ptr<PortBackend> port_;
  BoardObserver board_;
  std::uint64_t originTicks_;
  bool limitEngaged_ = false;
  int stepsSinceRead_ = 0;  // steps down since the last limit read (2: more, or one up)
  int creepReads_ = 0;      // limit reads released in a row, each after one step down
  Axis creepAxis_ = axisX;
};

std::unique_ptr<SimulatedTable> MakeTable(const SimConfig& config, std::string& error) {
  auto table = std::make_unique<SimulatedTable>(config);
  if (!table->Open(config, error)) return nullptr;
  return table;
}

}  // namespace

std::unique_ptr<PortBackend> MakeSimulatedTable(const SimConfig& config, std::string& error) {
  return MakeTable(config, error);
}

std::unique_ptr<PortBackend> MakeObservedPort(std::unique_ptr<PortBackend> port,
                                              const SimConfig& config, std::string& error) {
  auto observed = std::make_unique<ObservedHardware>(std::move(port));
  if (!observed->Open(config, error)) return nullptr;
  return observed;
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
        // Of STEPLINK_SIM only the record and the status block apply to a real table.
        const ConfigResult& parsed = ProcessSimConfig();
        std::string error = parsed.error;
        std::unique_ptr<PortBackend> observed;
        if (parsed.config) {
          observed = MakeObservedPort(hw::MakeHardwareBackend(*chosen.spec, hw::RealSystemCalls()),
                                      *parsed.config, error);
        }
        if (!observed) std::fprintf(stderr, "steplink-sim: %s\n", error.c_str());
        return observed;
      }
    }
    const ConfigResult& parsed = ProcessSimConfig();
    std::string error = parsed.error;
    std::unique_ptr<SimulatedTable> made;
    if (parsed.config) made = MakeTable(*parsed.config, error);
    if (!made) {
      std::fprintf(stderr, "steplink-sim: %s\n", error.c_str());
      return nullptr;
    }
    if (parsed.config->statusName.empty()) made->PublishProcessBlock();
    return made;
  }();
  return table.get();
}

}  // namespace sim
