// The probe's checks. The 8254 is only ever sent the two commands the library itself sends (the
// status read-back 0xe2 and the latch 0x00), so probing cannot disturb the system's timer.
#include "hw/probe.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "contract/steplink_contract.h"
#include "device/device_select.h"
#include "hw/counter0.h"
#include "hw/parallel_port.h"

namespace hw {
namespace {

std::string Hex(unsigned value) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%x", value);
  return text;
}

std::string Trimmed(std::optional<std::string> text) {
  if (!text) return "";
  while (!text->empty() && (text->back() == '\n' || text->back() == ' ')) text->pop_back();
  return *text;
}

// "crw-rw---- root:lp" for a device node, or "missing".
std::string NodeAccess(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return "missing";
  const passwd* owner = ::getpwuid(info.st_uid);
  const group* grp = ::getgrgid(info.st_gid);
  char mode[11] = "c---------";
  const char* bits = "rwxrwxrwx";
  for (int i = 0; i < 9; ++i) {
    if (info.st_mode & (0400 >> i)) mode[i + 1] = bits[i];
  }
  return std::string(mode) + " " + (owner ? owner->pw_name : std::to_string(info.st_uid)) + ":" +
         (grp ? grp->gr_name : std::to_string(info.st_gid));
}

void WaitNanoseconds(SystemCalls& calls, std::uint64_t nanoseconds) {
  const std::uint64_t start = calls.MonotonicNanoseconds();
  while (calls.MonotonicNanoseconds() - start < nanoseconds) {
  }
}

std::uint16_t LatchedCount(Counter0& timer) {
  timer.Command(STEPLINK_TIMER_LATCH_COUNT);
  const unsigned low = timer.Read();
  const unsigned high = timer.Read();
  return static_cast<std::uint16_t>(high * 256 + low);
}

}  // namespace

int Probe(const std::string& device, SystemCalls& calls, std::FILE* out) {
  const std::vector<ParportInfo> ports = ListParports(calls);
  std::fprintf(out, "parallel ports\n");
  if (ports.empty()) std::fprintf(out, "  none listed in /proc/sys/dev/parport\n");
  for (const ParportInfo& port : ports) {
    const bool canOpen = calls.Access(port.devicePath, R_OK | W_OK) == 0;
    std::string holders;
    for (const std::string& name : port.devices) holders += (holders.empty() ? "" : ",") + name;
    std::fprintf(out, "  %s  base %s  %s  this user %s  drivers on it: %s\n",
                 port.devicePath.c_str(), port.base ? Hex(*port.base).c_str() : "?",
                 NodeAccess(port.devicePath).c_str(), canOpen ? "may open it" : "may NOT open it",
                 holders.empty() ? "none" : holders.c_str());
  }
  std::fprintf(
      out, "modules    parport_pc %s, ppdev %s, lp %s\n",
      calls.Exists("/sys/module/parport_pc") ? "loaded"
                                             : "not loaded (sudo modprobe -a parport_pc ppdev)",
      calls.Exists("/sys/module/ppdev") ? "loaded"
                                        : "not loaded (sudo modprobe -a parport_pc ppdev)",
      calls.Exists("/sys/module/lp") ? "loaded (it takes the port: sudo rmmod lp)" : "not loaded");

  // ioperm and counter 0 of the 8254.
  auto pit = MakePitCounter(calls);
  std::string pitError;
  if (pit->Open(pitError)) {
    std::fprintf(out, "ioperm     possible\n");
    pit->Command(STEPLINK_TIMER_READ_STATUS);
    const unsigned status = pit->Read();
    const std::uint16_t first = LatchedCount(*pit);
    WaitNanoseconds(calls, 2000000);
    const std::uint16_t second = LatchedCount(*pit);
    const unsigned mode = (status >> 1) & 7;
    std::fprintf(
        out, "8254       counter 0 status %s (mode %u), count %u then %u 2 ms later: %s\n",
        Hex(status).c_str(), mode, first, second,
        first != second ? "counts (timer=pit usable)" : "does NOT count (use timer=clock)");
    pit->Close();
  } else {
    std::fprintf(out, "ioperm     not possible: %s\n", pitError.c_str());
  }

  const std::string runtime = Trimmed(calls.ReadText("/proc/sys/kernel/sched_rt_runtime_us"));
  const std::string period = Trimmed(calls.ReadText("/proc/sys/kernel/sched_rt_period_us"));
  std::fprintf(out, "rt throttle sched_rt_runtime_us %s of sched_rt_period_us %s%s\n",
               runtime.empty() ? "?" : runtime.c_str(), period.empty() ? "?" : period.c_str(),
               runtime == "-1" ? " (off)"
                               : " (a busy-waiting real-time thread is paused for the rest of "
                                 "each period)");
  const std::string governor =
      Trimmed(calls.ReadText("/sys/devices/system/cpu/cpu0/cpufreq/scaling_governor"));
  std::fprintf(out, "governor   %s\n",
               governor.empty() ? "none reported"
               : governor == "performance"
                   ? "performance"
                   : (governor + " (performance paces more evenly)").c_str());

  // The chosen device: claimed and released once, its registers read.
  std::string chosen = device;
  if (chosen.empty()) chosen = ports.empty() ? "parport:0" : "parport:" + ports[0].devicePath;
  const DeviceSpecResult parsed = ParseDeviceSpec(chosen);
  if (!parsed.spec) {
    std::fprintf(out, "verdict    %s is not a device: %s\n", chosen.c_str(), parsed.error.c_str());
    return probeBadDevice;
  }
  std::string error = parsed.error;
  bool ok = false;
  if (parsed.spec && parsed.spec->kind == DeviceKind::simulated) {
    std::fprintf(out, "verdict    %s is the simulated table; nothing to probe\n", chosen.c_str());
    return 0;
  }
  if (parsed.spec) {
    std::unique_ptr<ParallelPort> port;
    if (parsed.spec->kind == DeviceKind::direct) {
      port = MakeDirectPort(calls, parsed.spec->directBase);
    } else if (const std::string path = ResolveParportPath(*parsed.spec, calls, error);
               !path.empty()) {
      port = MakePpdevPort(calls, path);
    }
    if (port && port->Open(error)) {
      std::uint8_t data = 0, status = 0, control = 0;
      port->ReadData(data);
      port->ReadStatus(status);
      port->ReadControl(control);
      std::fprintf(out, "device     %s claimed: data %s status %s (limit input %s) control %s\n",
                   port->Name().c_str(), Hex(data).c_str(), Hex(status).c_str(),
                   (status & 0x80) ? "released" : "engaged", Hex(control).c_str());
      auto timer =
          parsed.spec->timer == TimerKind::pit ? MakePitCounter(calls) : MakeClockCounter(calls);
      ok = timer->Open(error);
      if (ok) timer->Close();
      port->Close();
    }
  }
  if (ok) {
    std::fprintf(out, "verdict    ready: steplink run JOB --device %s\n", chosen.c_str());
    return 0;
  }
  std::fprintf(out, "verdict    %s cannot be used: %s\n", chosen.c_str(), error.c_str());
  return 1;
}

}  // namespace hw
