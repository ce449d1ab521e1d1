// The parallel port's three registers on hardware: through ppdev (/dev/parportN, exclusive claim)
// or through ioperm at a base address. Raw register bytes both ways, as the library reads and
// writes them on Windows. Calls only the system-call seam.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "hw/system_calls.h"

namespace hw {

class ParallelPort {
 public:
  virtual ~ParallelPort() = default;
  // At openConn: claims the port, or fails with a line saying why and what to do.
  virtual bool Open(std::string& error) = 0;
  // At closeConn and at process exit: releases it.
  virtual void Close() = 0;
  // 0, or -errno of the failed access.
  virtual int WriteData(std::uint8_t value) = 0;
  virtual int WriteControl(std::uint8_t value) = 0;
  virtual int ReadData(std::uint8_t& value) = 0;
  virtual int ReadStatus(std::uint8_t& value) = 0;
  virtual int ReadControl(std::uint8_t& value) = 0;
  virtual std::string Name() const = 0;  // for messages: "/dev/parport0", "0x378"
};

// open + PPEXCL + PPCLAIM at Open; PPRELEASE + close at Close. The kernel passes bits 0-3 of a
// control value (strobe, autofeed, init, select-in) and keeps direction and interrupt itself.
std::unique_ptr<ParallelPort> MakePpdevPort(SystemCalls& calls, std::string devicePath);
// ioperm of base..base+2 at Open, inb/outb; control writes keep bits 0-3 only, as ppdev does, so
// the port stays in forward mode with its interrupt off.
std::unique_ptr<ParallelPort> MakeDirectPort(SystemCalls& calls, std::uint16_t base);

}  // namespace hw
