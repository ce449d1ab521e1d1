// The simulated table as the PortTalk device's backend: the hardware model on a realtime or
// virtual clock, with the record and status block of the device layer's RecordingBackend.
// Chosen in device/backend_choice.cpp.
#include "sim/simulated_table.h"

#include <memory>

#include "device/recording_backend.h"
#include "sim/table_model.h"

namespace sim {
namespace {

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

std::unique_ptr<SimulatedTable> MakeTable(const SimConfig& config, std::string& error) {
  auto table = std::make_unique<SimulatedTable>(config);
  if (!table->Open(config.recordPath, config.statusName, error)) return nullptr;
  return table;
}

}  // namespace

std::unique_ptr<PortBackend> MakeSimulatedTable(const SimConfig& config, std::string& error) {
  return MakeTable(config, error);
}

std::unique_ptr<PortBackend> MakeProcessSimulatedTable(const SimConfig& config,
                                                       std::string& error) {
  std::unique_ptr<SimulatedTable> made = MakeTable(config, error);
  if (made && config.statusName.empty()) made->PublishProcessBlock();
  return made;
}

}  // namespace sim
