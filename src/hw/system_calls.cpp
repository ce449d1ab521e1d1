// The real system calls behind hw::SystemCalls. Port I/O exists only on x86; elsewhere ioperm
// fails with ENOSYS and the direct backends and the 8254 timer cannot open.
#include "hw/system_calls.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <sstream>

#if defined(__x86_64__) || defined(__i386__)
#include <sys/io.h>
#define STEPLINK_HAVE_PORT_IO 1
#endif

namespace hw {
namespace {

int Result(int value) {
  return value < 0 ? -errno : value;
}

class Real final : public SystemCalls {
 public:
  int Open(const std::string& path, int flags) override {
    return Result(::open(path.c_str(), flags | O_CLOEXEC));
  }
  int Ioctl(int fd, unsigned long request, void* argument) override {
    return Result(::ioctl(fd, request, argument));
  }
  int Close(int fd) override { return Result(::close(fd)); }
  int Ioperm(unsigned long from, unsigned long count, int turnOn) override {
#ifdef STEPLINK_HAVE_PORT_IO
    return Result(::ioperm(from, count, turnOn));
#else
    (void)from, (void)count, (void)turnOn;
    return -ENOSYS;
#endif
  }
  std::uint8_t Inb(std::uint16_t port) override {
#ifdef STEPLINK_HAVE_PORT_IO
    return ::inb(port);
#else
    (void)port;
    return 0xFF;
#endif
  }
  void Outb(std::uint8_t value, std::uint16_t port) override {
#ifdef STEPLINK_HAVE_PORT_IO
    ::outb(value, port);
#else
    (void)value, (void)port;
#endif
  }
  std::uint64_t MonotonicNanoseconds() override {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000000000u +
           static_cast<std::uint64_t>(now.tv_nsec);
  }
  std::optional<std::string> ReadText(const std::string& path) override {
    std::ifstream in(path);
    if (!in) return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }
  std::vector<std::string> ListDirectory(const std::string& path) override {
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(path.c_str())) {
      while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
      }
      ::closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
  }
  bool Exists(const std::string& path) override {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
  }
  int Access(const std::string& path, int mode) override {
    return Result(::access(path.c_str(), mode));
  }
};

}  // namespace

SystemCalls& RealSystemCalls() {
  static Real real;
  return real;
}

}  // namespace hw
