// Counter 0 of the 8254 as the library reads it on hardware: synthesized from CLOCK_MONOTONIC
// (timer=clock) or the machine's own 8254 through ioperm (timer=pit). Calls only the system-call
// seam.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "hw/system_calls.h"

namespace hw {

class Counter0 {
 public:
  virtual ~Counter0() = default;
  // At openConn / closeConn. Open fails with a line saying why and what to do.
  virtual bool Open(std::string& error) = 0;
  virtual void Close() = 0;
  // A write to port 0x43; false refuses it (only the latch command 0x00 and the read-back of
  // counter 0's status, 0xE2, are served: anything else would reprogram the system's timer).
  virtual bool Command(std::uint8_t value) = 0;
  // A read of port 0x40.
  virtual std::uint8_t Read() = 0;
};

// Counter 0 in mode 2 with reload 65536, counting down one count per tick of 8.38e-7 s of
// CLOCK_MONOTONIC. As the chip: 0x00 latches the count of that moment (a second latch before both
// bytes are read is ignored) and the next two reads give its low, then its high byte; 0xE2 makes
// the next read give the status byte 0x34; with nothing latched, reads give the live count's low
// and high bytes alternately.
std::unique_ptr<Counter0> MakeClockCounter(SystemCalls& calls);
// The machine's 8254 at 0x40/0x43 through ioperm (root or CAP_SYS_RAWIO).
std::unique_ptr<Counter0> MakePitCounter(SystemCalls& calls);

// Why ioperm failed, with what to do: lockdown, missing privilege, no port I/O on this machine.
std::string IopermAdvice(SystemCalls& calls, int error);

}  // namespace hw
