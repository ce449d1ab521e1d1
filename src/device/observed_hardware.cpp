// The watched real port: every data and strobe write that went out, and every status read that
// came back, shown in the record and the status block.
#include "device/observed_hardware.h"

#include <cstdio>

#include "device/recording_backend.h"

namespace sim {
namespace {

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
      board_.ReadStatus(Now(), value);
    }
    return value;
  }

  // The library does not say when a reference run's creep gave up without meeting the switch:
  // the observer records it as a fault, and on a real table the likely cause is named here.
  void OnFault(std::uint64_t tick, FaultKind kind, std::uint16_t port,
               std::uint8_t value) override {
    RecordingBackend::OnFault(tick, kind, port, value);
    if (kind != FaultKind::noSwitch) return;
    std::fprintf(stderr,
                 "steplink-hw: warning: the %c axis crept %d steps towards its switch and the "
                 "limit input never engaged: that reference run did not find the switch. Check "
                 "the switch and its wiring (docs/wiring.md) before trusting positions.\n",
                 "XYZ"[board_.LastStepAxis()], creepStepsWithoutSwitch);
  }

 private:
  std::uint64_t Now() const { return MonotonicTicks(nullptr) - originTicks_; }
  const BoardObserver& Board() const override { return board_; }
  bool LimitEngaged() const override { return limitEngaged_; }
  bool Hardware() const override { return true; }

  std::unique_ptr<PortBackend> port_;
  BoardObserver board_;
  std::uint64_t originTicks_;
  bool limitEngaged_ = false;
};

}  // namespace

std::unique_ptr<PortBackend> MakeObservedPort(std::unique_ptr<PortBackend> port,
                                              const std::string& recordPath,
                                              const std::string& statusName, std::string& error) {
  auto observed = std::make_unique<ObservedHardware>(std::move(port));
  if (!observed->Open(recordPath, statusName, error)) return nullptr;
  return observed;
}

}  // namespace sim
