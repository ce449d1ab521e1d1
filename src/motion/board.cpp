// Driver board output on the parallel port at 0x3BC: latch byte on the data register, strobe on
// bit 0 of the control register. Calls outportb and WaitTicks only.
#include "motion/board.h"

#include "contract/steplink_contract.h"
#include "port/port_channel.h"
#include "timing/timer.h"

namespace {
constexpr std::uint16_t dataPort = STEPLINK_PORT_DATA;        // latch byte
constexpr std::uint16_t controlPort = STEPLINK_PORT_CONTROL;  // bit 0: strobe; other bits written 0
}  // namespace

void WriteLatch(std::uint8_t value) {
  outportb(dataPort, value);
  WaitTicks(latchSettleTicks);
  outportb(controlPort, 1);
  outportb(controlPort, 0);  // released at once: the pulse is one port write long
}

void SetAuxState0() {
  WriteLatch(auxState0Byte);
  WaitTicks(auxStateWaitTicks);
}

void SetAuxState1() {
  WriteLatch(auxState1Byte);
  WaitTicks(auxStateWaitTicks);
}
