// ppdev and ioperm access to the parallel port, and the advice that goes with each way a claim
// fails: permissions, a missing port or module, the printer driver or another process holding it.
#include "hw/parallel_port.h"

#include <fcntl.h>
#include <linux/ioctl.h>
#include <linux/ppdev.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "device/device_select.h"
#include "hw/counter0.h"

namespace hw {
namespace {

constexpr std::uint8_t controlWritableBits = 0x0F;

std::string Errno(int error) {
  return std::strerror(error);
}

// The N of /dev/parportN, or -1.
int PortIndex(const std::string& path) {
  const std::size_t digits = path.find_last_not_of("0123456789");
  if (digits == std::string::npos || digits + 1 == path.size()) return -1;
  if (path.compare(0, digits + 1, "/dev/parport") != 0) return -1;
  return std::stoi(path.substr(digits + 1));
}

class PpdevPort final : public ParallelPort {
 public:
  PpdevPort(SystemCalls& calls, std::string path) : calls_(calls), path_(std::move(path)) {}
  ~PpdevPort() override { Close(); }

  bool Open(std::string& error) override {
    if (fd_ >= 0) return true;
    const int fd = calls_.Open(path_, O_RDWR);
    if (fd < 0) {
      error = OpenAdvice(-fd);
      return false;
    }
    // Exclusive: no other driver (the printer driver lp, another ppdev user) may register on the
    // port while we hold it. The claim registers us, so a refusal of exclusivity shows up there.
    int result = calls_.Ioctl(fd, PPEXCL, nullptr);
    if (result >= 0) result = calls_.Ioctl(fd, PPCLAIM, nullptr);
    if (result < 0) {
      error = ClaimAdvice(-result);
      calls_.Close(fd);
      return false;
    }
    fd_ = fd;
    return true;
  }

  void Close() override {
    if (fd_ < 0) return;
    calls_.Ioctl(fd_, PPRELEASE, nullptr);
    calls_.Close(fd_);
    fd_ = -1;
  }

  int WriteData(std::uint8_t value) override { return calls_.Ioctl(fd_, PPWDATA, &value); }
  int WriteControl(std::uint8_t value) override { return calls_.Ioctl(fd_, PPWCONTROL, &value); }
  int ReadData(std::uint8_t& value) override { return calls_.Ioctl(fd_, PPRDATA, &value); }
  int ReadStatus(std::uint8_t& value) override { return calls_.Ioctl(fd_, PPRSTATUS, &value); }
  int ReadControl(std::uint8_t& value) override { return calls_.Ioctl(fd_, PPRCONTROL, &value); }
  std::string Name() const override { return path_; }

 private:
  std::string OpenAdvice(int error) {
    const std::string head = "cannot open " + path_ + ": " + Errno(error) + ". ";
    if (error == EACCES || error == EPERM) {
      return head +
             "Add yourself to the group that owns it (usually lp: sudo usermod -aG lp $USER, then "
             "log in again) or give it a udev rule (docs/wiring.md); steplink probe shows who may "
             "open it.";
    }
    if (error == ENOENT || error == ENXIO || error == ENODEV) {
      const std::vector<ParportInfo> ports = ListParports(calls_);
      const int index = PortIndex(path_);
      bool known = false;
      for (const ParportInfo& port : ports) known = known || static_cast<int>(port.index) == index;
      if (known && !calls_.Exists("/sys/module/ppdev")) {
        return head +
               "The port is there but ppdev is not loaded: sudo modprobe -a parport_pc ppdev "
               "(and add ppdev to /etc/modules to keep it).";
      }
      if (ports.empty()) {
        return head +
               "The kernel lists no parallel port: load the drivers (sudo modprobe -a "
               "parport_pc ppdev), or check that the port is enabled in the firmware setup.";
      }
      return head + "No such port. The kernel lists: " + DescribeParports(ports) + ".";
    }
    if (error == EBUSY) return head + BusyAdvice();
    if (error == EISDIR) return head + NotAPortAdvice();
    return head + "steplink probe shows what this machine offers.";
  }

  std::string ClaimAdvice(int error) {
    const std::string head = "cannot claim " + path_ + " exclusively: " + Errno(error) + ". ";
    // ppdev answers its requests on every port node; anything else (/dev/null, a regular file, a
    // FIFO, another driver's device) refuses them as not its own.
    if (error == ENOTTY || error == EINVAL) return head + NotAPortAdvice();
    std::vector<std::string> holders;
    const int index = PortIndex(path_);
    for (const ParportInfo& port : ListParports(calls_)) {
      if (static_cast<int>(port.index) == index) holders = port.devices;
    }
    for (const std::string& holder : holders) {
      if (holder.starts_with("lp")) {
        std::string text = head;
        text += "The printer driver lp holds the port (";
        text += holder;
        text +=
            "): unload it (sudo rmmod lp) and keep it off (echo blacklist lp | sudo tee "
            "/etc/modprobe.d/steplink-no-lp.conf).";
        return text;
      }
    }
    for (const std::string& holder : holders) {
      if (holder.starts_with("ppdev")) {
        std::string text = head;
        text += "Another process has the port open (";
        text += holder;
        text += "): fuser -v ";
        text += path_;
        text += " shows which; close it.";
        return text;
      }
    }
    if (!holders.empty()) {
      std::string names;
      for (const std::string& holder : holders) names += (names.empty() ? "" : ", ") + holder;
      return head + "Another driver is registered on the port (" + names + "): unload it.";
    }
    return head + BusyAdvice();
  }

  std::string NotAPortAdvice() {
    const std::vector<ParportInfo> ports = ListParports(calls_);
    return path_ + " is not a parallel port (ppdev does not serve it); name a port device " +
           (ports.empty() ? std::string("such as /dev/parport0")
                          : "(the kernel lists: " + DescribeParports(ports) + ")") +
           ".";
  }

  std::string BusyAdvice() {
    return "Another process or a printer daemon (cups) holds the port: fuser -v " + path_ +
           " shows which; stop it.";
  }

  SystemCalls& calls_;
  const std::string path_;
  int fd_ = -1;
};

class DirectPort final : public ParallelPort {
 public:
  DirectPort(SystemCalls& calls, std::uint16_t base) : calls_(calls), base_(base) {}
  ~DirectPort() override { Close(); }

  bool Open(std::string& error) override {
    if (open_) return true;
    const int result = calls_.Ioperm(base_, 3, 1);
    if (result < 0) {
      error = "cannot reach the parallel port at " + Name() + " (ioperm: " + Errno(-result) +
              "). " + IopermAdvice(calls_, -result);
      return false;
    }
    open_ = true;
    return true;
  }

  void Close() override {
    if (!open_) return;
    calls_.Ioperm(base_, 3, 0);
    open_ = false;
  }

  int WriteData(std::uint8_t value) override {
    calls_.Outb(value, base_);
    return 0;
  }
  int WriteControl(std::uint8_t value) override {
    calls_.Outb(value & controlWritableBits, static_cast<std::uint16_t>(base_ + 2));
    return 0;
  }
  int ReadData(std::uint8_t& value) override {
    value = calls_.Inb(base_);
    return 0;
  }
  int ReadStatus(std::uint8_t& value) override {
    value = calls_.Inb(static_cast<std::uint16_t>(base_ + 1));
    return 0;
  }
  int ReadControl(std::uint8_t& value) override {
    value = calls_.Inb(static_cast<std::uint16_t>(base_ + 2));
    return 0;
  }
  std::string Name() const override {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%x", static_cast<unsigned>(base_));
    return text;
  }

 private:
  SystemCalls& calls_;
  const std::uint16_t base_;
  bool open_ = false;
};

}  // namespace

std::unique_ptr<ParallelPort> MakePpdevPort(SystemCalls& calls, std::string devicePath) {
  return std::make_unique<PpdevPort>(calls, std::move(devicePath));
}

std::unique_ptr<ParallelPort> MakeDirectPort(SystemCalls& calls, std::uint16_t base) {
  return std::make_unique<DirectPort>(calls, base);
}

}  // namespace hw
