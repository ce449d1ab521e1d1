// The simulated table behind the driver's C code: builds sim::TableModel in the device
// extension's storage and forwards port accesses. Freestanding like the model itself.
// Calls only src/sim/table_model.h.
#include "table_bridge.h"

#include <new>

#include "sim/table_model.h"

namespace {
sim::TableModel* AsTable(void* table) {
  return static_cast<sim::TableModel*>(table);
}
}  // namespace

extern "C" {

size_t TableStorageSize(void) {
  return sizeof(sim::TableModel) + alignof(sim::TableModel);
}

void TableDefaultSettings(TableBridgeSettings* settings) {
  const sim::TableSettings defaults;
  settings->accessTicks = defaults.accessTicks;
  settings->counterMode = defaults.counterMode;
  for (int axis = 0; axis < sim::axisCount; ++axis) {
    settings->limitSteps[axis] = defaults.limitSteps[axis];
  }
}

void* TableCreate(void* storage, const TableBridgeSettings* settings) {
  sim::TableSettings tableSettings;
  tableSettings.clock = sim::ClockKind::virtualTicks;
  tableSettings.accessTicks = settings->accessTicks;
  tableSettings.counterMode = settings->counterMode;
  for (int axis = 0; axis < sim::axisCount; ++axis) {
    tableSettings.limitSteps[axis] = settings->limitSteps[axis];
  }
  const auto address = reinterpret_cast<std::uintptr_t>(storage);
  const std::uintptr_t aligned =
      (address + alignof(sim::TableModel) - 1) & ~std::uintptr_t{alignof(sim::TableModel) - 1};
  return new (reinterpret_cast<void*>(aligned))
      sim::TableModel(tableSettings, nullptr, nullptr, nullptr);
}

void TableOut(void* table, uint16_t port, uint8_t value) {
  AsTable(table)->Out(port, value);
}

uint8_t TableIn(void* table, uint16_t port) {
  return AsTable(table)->In(port);
}

void TableFillState(void* table, PortTalkState* state) {
  sim::TableModel& model = *AsTable(table);
  state->positionX = model.Position(sim::axisX);
  state->positionY = model.Position(sim::axisY);
  state->positionZ = model.Position(sim::axisZ);
  state->auxState = model.AuxState();
  state->simTicks = model.Now();
  state->totalSteps = model.TotalSteps();
  state->faultCount = model.FaultCount();
  state->lostStepFaults = model.Faults(sim::FaultKind::lostStep);
  state->settleFaults = model.Faults(sim::FaultKind::settle);
  state->protocolFaults = model.Faults(sim::FaultKind::protocol);
  state->patternFaults = model.Faults(sim::FaultKind::pattern);
  state->limitEngaged = model.LimitEngaged() ? 1 : 0;
}

}  // extern "C"
