// The system calls the hardware backends make, behind one interface so that tests can script
// them: device open/ioctl/close, ioperm and port I/O, the monotonic clock, and the few /proc and
// /sys reads the error messages use. Calls nothing of the library.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace hw {

// Every call that can fail returns a negative errno value on failure (as the raw system calls
// do), never sets errno for the caller.
class SystemCalls {
 public:
  virtual ~SystemCalls() = default;
  virtual int Open(const std::string& path, int flags) = 0;  // descriptor, or -errno
  virtual int Ioctl(int fd, unsigned long request, void* argument) = 0;
  virtual int Close(int fd) = 0;
  virtual int Ioperm(unsigned long from, unsigned long count, int turnOn) = 0;
  virtual std::uint8_t Inb(std::uint16_t port) = 0;
  virtual void Outb(std::uint8_t value, std::uint16_t port) = 0;
  virtual std::uint64_t MonotonicNanoseconds() = 0;
  // Diagnostics only, never on the access path.
  virtual std::optional<std::string> ReadText(const std::string& path) = 0;
  virtual std::vector<std::string> ListDirectory(const std::string& path) = 0;  // sorted names
  virtual bool Exists(const std::string& path) = 0;
  virtual int Access(const std::string& path, int mode) = 0;  // 0 or -errno
};

// The real calls of this process.
SystemCalls& RealSystemCalls();

}  // namespace hw
