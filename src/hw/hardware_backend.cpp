// Routes the library's port accesses: 0x3BC-0x3BE to the parallel port's data, status and control
// registers whatever its real base, 0x40/0x43 to counter 0. Messages go to standard error with
// the prefix "steplink-hw: ".
#include "hw/hardware_backend.h"

#include <cstdio>
#include <cstring>

#include "contract/steplink_contract.h"
#include "hw/counter0.h"
#include "hw/parallel_port.h"

namespace hw {
namespace {

class HardwareBackend final : public sim::PortBackend {
 public:
  HardwareBackend(const DeviceSpec& spec, SystemCalls& calls)
      : spec_(spec),
        calls_(calls),
        timer_(spec.timer == TimerKind::pit ? MakePitCounter(calls) : MakeClockCounter(calls)) {
    if (spec.kind == directKind) port_ = MakeDirectPort(calls, spec.directBase);
  }

  ~HardwareBackend() override { Release(); }

  bool DeviceOpened() override {
    std::string error;
    if (!Claim(error)) {
      // The library tries twice per openConn: one line per pair of failed attempts is enough.
      if (error != lastOpenError_ || failedOpens_ % 2 == 0) {
        std::fprintf(stderr, "steplink-hw: %s\n", error.c_str());
      }
      lastOpenError_ = error;
      ++failedOpens_;
      return false;
    }
    failedOpens_ = 0;
    lastOpenError_.clear();
    noticePrinted_ = false;
    return true;
  }

  void DeviceClosed() override { Release(); }

  void Out(std::uint16_t port, std::uint8_t value) override {
    switch (port) {
      case STEPLINK_PORT_DATA:
        return Check(port_->WriteData(value), "PPWDATA", port, value);
      case STEPLINK_PORT_CONTROL:
        return Check(port_->WriteControl(value), "PPWCONTROL", port, value);
      case STEPLINK_PORT_TIMER_COMMAND:
        if (timer_->Command(value)) return;
        return Refused(port, value, true,
                       "only the latch (0x00) and status read-back (0xe2) commands reach the "
                       "timer; anything else would reprogram the system's own timer");
      default:
        return Refused(port, value, true, NotServed());
    }
  }

  std::uint8_t In(std::uint16_t port) override {
    std::uint8_t value = 0;
    switch (port) {
      case STEPLINK_PORT_TIMER_COUNT:
        return timer_->Read();
      case STEPLINK_PORT_STATUS:
        Check(port_->ReadStatus(value), "PPRSTATUS", port, 0);
        return value;
      case STEPLINK_PORT_DATA:
        Check(port_->ReadData(value), "PPRDATA", port, 0);
        return value;
      case STEPLINK_PORT_CONTROL:
        Check(port_->ReadControl(value), "PPRCONTROL", port, 0);
        return value;
      default:
        Refused(port, 0, false, NotServed());
        return 0;
    }
  }

 private:
  bool Claim(std::string& error) {
    if (held_) return true;
    if (spec_.kind == parportKind) {
      const std::string path = ResolveParportPath(spec_, calls_, error);
      if (path.empty()) return false;
      if (!port_ || port_->Name() != path) port_ = MakePpdevPort(calls_, path);
    }
    if (!port_->Open(error)) return false;
    if (!timer_->Open(error)) {
      port_->Close();
      return false;
    }
    held_ = true;
    return true;
  }

  void Release() {
    if (!held_) return;
    timer_->Close();
    port_->Close();
    held_ = false;
  }

  static const char* NotServed() {
    return "only the parallel port's data, status and control registers (0x3bc-0x3be) and the "
           "timer's 0x40 (read) and 0x43 (write) are served";
  }

  void Check(int result, const char* what, std::uint16_t port, std::uint8_t value) {
    if (result >= 0) return;
    Refuse(failedError);
    if (noticePrinted_) return;
    noticePrinted_ = true;
    std::fprintf(stderr,
                 "steplink-hw: %s on %s failed (port 0x%x, value 0x%02x): %s; is the port still "
                 "there? Later failures are not reported.\n",
                 what, port_->Name().c_str(), static_cast<unsigned>(port),
                 static_cast<unsigned>(value), std::strerror(-result));
  }

  void Refused(std::uint16_t port, std::uint8_t value, bool write, const char* why) {
    Refuse(refusedError);
    if (noticePrinted_) return;
    noticePrinted_ = true;
    if (write) {
      std::fprintf(stderr, "steplink-hw: refused writing 0x%02x to port 0x%x: %s.\n",
                   static_cast<unsigned>(value), static_cast<unsigned>(port), why);
    } else {
      std::fprintf(stderr, "steplink-hw: refused reading port 0x%x: %s.\n",
                   static_cast<unsigned>(port), why);
    }
  }

  const DeviceSpec spec_;
  SystemCalls& calls_;
  std::unique_ptr<ParallelPort> port_;
  std::unique_ptr<Counter0> timer_;
  bool held_ = false;
  bool noticePrinted_ = false;  // one line per open about failed or refused accesses
  std::string lastOpenError_;
  int failedOpens_ = 0;
};

}  // namespace

std::unique_ptr<sim::PortBackend> MakeHardwareBackend(const DeviceSpec& spec, SystemCalls& calls) {
  return std::make_unique<HardwareBackend>(spec, calls);
}

}  // namespace hw
