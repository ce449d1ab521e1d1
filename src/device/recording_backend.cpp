// The record and the status block of a table, from its observer's events: one record line per
// step, auxiliary change or fault (formatted on the stack, about 100 ns), one status update each.
#include "device/recording_backend.h"

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>

#include "sim/device_counts.h"
#include "status/record_format.h"

namespace sim {

std::uint64_t MonotonicTicks(void*) {
  static const auto base = std::chrono::steady_clock::now();
  const auto elapsed = std::chrono::steady_clock::now() - base;
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count();
  return static_cast<std::uint64_t>(static_cast<double>(ns) / STEPLINK_TICK_NANOSECONDS);
}

bool RecordingBackend::Open(const std::string& recordPath, const std::string& statusName,
                            std::string& error) {
  if (!recordPath.empty() && !record_.Open(recordPath, status::recordHeader, error)) return false;
  if (!statusName.empty()) {
    status_ = status::StatusBlockFile::Create(statusName, error);
    if (status_ == nullptr) return false;
    PublishStatus(0);
  }
  return true;
}

void RecordingBackend::PublishProcessBlock() {
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

void RecordingBackend::OnStep(std::uint64_t tick, Axis axis, int direction, std::int32_t position) {
  if (record_.IsOpen()) {
    RecordLine(status::recordStepFormat, tick, "xyz"[axis], direction > 0 ? '+' : '-', position);
  }
  PublishStatus(tick);
}

void RecordingBackend::OnAux(std::uint64_t tick, int state) {
  if (record_.IsOpen()) {
    if (state == noAuxState) {
      RecordLine(status::recordAuxNoneFormat, tick);
    } else {
      RecordLine(status::recordAuxFormat, tick, state);
    }
  }
  PublishStatus(tick);
}

void RecordingBackend::OnFault(std::uint64_t tick, FaultKind kind, std::uint16_t port,
                               std::uint8_t value) {
  if (record_.IsOpen()) {
    RecordLine(status::recordFaultFormat, tick, FaultKindName(kind), static_cast<unsigned>(port),
               static_cast<unsigned>(value));
  }
  table_.lastFaultTick = tick;
  table_.lastFaultPort = port;
  table_.lastFaultValue = value;
  table_.lastFaultKind = static_cast<std::uint8_t>(StatusFaultKind(kind));
  PublishStatus(tick);
  // The program making the calls learns of it after the call, without reading the record.
  if (kind == FaultKind::noSwitch) ProcessDeviceCounter().UnmetCreep();
}

void RecordingBackend::Settle(std::uint64_t tick) {
  PublishStatus(tick);
  record_.Settle();
}

void RecordingBackend::PublishStatus(std::uint64_t tick) {
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

template <typename... Args>
void RecordingBackend::RecordLine(const char* format, Args... args) {
  char line[96];
  const int length = std::snprintf(line, sizeof(line), format, args...);
  if (length > 0) record_.Line(line, std::min(static_cast<std::size_t>(length), sizeof(line) - 1));
}

}  // namespace sim
