// What the tools see of a table, simulated or real: the record file of steps, auxiliary changes
// and faults, and the shared-memory status block, both fed by a BoardObserver's events. The base
// of the simulated table (sim/) and of the watched real port (observed_hardware.h). Calls the
// record writer and status/status_block.h.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "contract/steplink_contract.h"
#include "device/board_observer.h"
#include "device/port_backend.h"
#include "device/record_writer.h"
#include "status/status_block.h"

namespace sim {

// The host's monotonic clock in ticks (8.38e-7 s) since its first reading; a TickSource.
std::uint64_t MonotonicTicks(void* context);

// A derived backend names the observer and the limit input.
class RecordingBackend : public PortBackend, public TableEvents {
 public:
  RecordingBackend() = default;
  RecordingBackend(const RecordingBackend&) = delete;
  RecordingBackend& operator=(const RecordingBackend&) = delete;

  // Opens the record (empty path: none) and the status block (empty name: none); false with a
  // one-line reason when either cannot be made.
  bool Open(const std::string& recordPath, const std::string& statusName, std::string& error);

  // The block of a process whose settings name none: steplink-proc-PID-HEX, so that a program
  // (the Java side) finds its own table's state; stale ones of dead processes are removed first.
  // Failing to make it costs the table nothing but the block: one warning line.
  void PublishProcessBlock();

  void OnStep(std::uint64_t tick, Axis axis, int direction, std::int32_t position) override;
  void OnAux(std::uint64_t tick, int state) override;
  void OnFault(std::uint64_t tick, FaultKind kind, std::uint16_t port, std::uint8_t value) override;

 protected:
  ~RecordingBackend() override = default;

  virtual const BoardObserver& Board() const = 0;
  virtual bool LimitEngaged() const = 0;
  virtual bool Hardware() const = 0;

  // The device closed: the status as it stands, the record cut to its last line.
  void Settle(std::uint64_t tick);
  void PublishStatus(std::uint64_t tick);

 private:
  // One whole record line, formatted on the stack and handed over at once.
  template <typename... Args>
  void RecordLine(const char* format, Args... args);

  RecordWriter record_;
  std::unique_ptr<status::StatusBlockFile> status_;
  SteplinkStatusTable table_{};  // what the next update publishes; the last fault stays in it
};

}  // namespace sim
