// Placeholder default backend: remembers the last byte written to each port and answers reads
// with it. The simulated table takes its place.
#include <cstdint>

#include "sim/port_backend.h"

namespace sim {
namespace {
class LoopbackBackend final : public PortBackend {
 public:
  void Out(std::uint16_t port, std::uint8_t value) override { lastWritten_[port & 0x3FF] = value; }
  std::uint8_t In(std::uint16_t port) override { return lastWritten_[port & 0x3FF]; }

 private:
  std::uint8_t lastWritten_[0x400] = {};
};
}  // namespace

PortBackend* DefaultBackend() {
  static LoopbackBackend backend;
  return &backend;
}
}  // namespace sim
