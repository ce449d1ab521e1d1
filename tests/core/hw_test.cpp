// The hardware backends through their system-call seam: claim and release order, every failed
// claim and its advice, the port mapping, refusals, the synthesized counter 0, the 8254 passed
// through, and the limit input of a reference run read from the status register.
#include <gtest/gtest.h>
#include <linux/ioctl.h>
#include <linux/ppdev.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "device/backend_choice.h"
#include "device/device_select.h"
#include "hw/counter0.h"
#include "hw/hardware_backend.h"
#include "hw/parallel_port.h"
#include "hw/probe.h"
#include "motion/reference.h"
#include "port/port_channel.h"
#include "test_support.h"
#include "timing/timer.h"

namespace {

// Records every call as one line; results and file contents are scripted.
class FakeCalls final : public hw::SystemCalls {
 public:
  int Open(const std::string& path, int) override {
    log.push_back("open " + path);
    return openResult;
  }
  int Ioctl(int fd, unsigned long request, void* argument) override {
    auto* byte = static_cast<std::uint8_t*>(argument);
    const std::string name = Name(request);
    if (request == PPWDATA || request == PPWCONTROL) {
      char text[8];
      std::snprintf(text, sizeof(text), " %02x", *byte);
      log.push_back(name + text);
      if (request == PPWDATA) ++dataWrites;
    } else {
      log.push_back(name + " fd" + std::to_string(fd));
    }
    if (auto failure = ioctlFailures.find(request); failure != ioctlFailures.end()) {
      return failure->second;
    }
    if (request == PPRSTATUS) *byte = dataWrites >= limitAfterDataWrites ? 0x7F : 0xFF;
    if (request == PPRDATA || request == PPRCONTROL) *byte = 0x5A;
    return 0;
  }
  int Close(int fd) override {
    log.push_back("close fd" + std::to_string(fd));
    return 0;
  }
  int Ioperm(unsigned long from, unsigned long count, int on) override {
    char text[48];
    std::snprintf(text, sizeof(text), "ioperm %lx %lu %d", from, count, on);
    log.push_back(text);
    return on ? iopermResult : 0;
  }
  std::uint8_t Inb(std::uint16_t port) override {
    char text[16];
    std::snprintf(text, sizeof(text), "inb %x", port);
    log.push_back(text);
    return 0x42;
  }
  void Outb(std::uint8_t value, std::uint16_t port) override {
    char text[24];
    std::snprintf(text, sizeof(text), "outb %02x %x", value, port);
    log.push_back(text);
  }
  std::uint64_t MonotonicNanoseconds() override {
    const std::uint64_t now = nanoseconds;
    nanoseconds += nanosecondsPerRead;
    return now;
  }
  std::optional<std::string> ReadText(const std::string& path) override {
    if (auto file = files.find(path); file != files.end()) return file->second;
    return std::nullopt;
  }
  std::vector<std::string> ListDirectory(const std::string& path) override {
    std::vector<std::string> names;
    const std::string prefix = path + "/";
    for (const auto& [name, text] : files) {
      if (!name.starts_with(prefix)) continue;
      const std::string rest = name.substr(prefix.size());
      const std::string first = rest.substr(0, rest.find('/'));
      if (names.empty() || names.back() != first) names.push_back(first);
    }
    return names;
  }
  bool Exists(const std::string& path) override {
    if (files.count(path)) return true;
    return !ListDirectory(path).empty();
  }
  int Access(const std::string&, int) override { return 0; }

  // A port the kernel lists, with the drivers registered on it.
  void AddPort(unsigned index, unsigned base, std::vector<std::string> devices = {}) {
    const std::string dir = "/proc/sys/dev/parport/parport" + std::to_string(index);
    files[dir + "/base-addr"] = std::to_string(base) + "\t" + std::to_string(base + 0x400) + "\n";
    files[dir + "/devices/active"] = "none\n";
    for (const std::string& device : devices) files[dir + "/devices/" + device + "/timeslice"] = "";
  }

  static std::string Name(unsigned long request) {
    switch (request) {
      case PPEXCL:
        return "PPEXCL";
      case PPCLAIM:
        return "PPCLAIM";
      case PPRELEASE:
        return "PPRELEASE";
      case PPWDATA:
        return "PPWDATA";
      case PPWCONTROL:
        return "PPWCONTROL";
      case PPRSTATUS:
        return "PPRSTATUS";
      case PPRDATA:
        return "PPRDATA";
      case PPRCONTROL:
        return "PPRCONTROL";
      default:
        return "ioctl?";
    }
  }

  std::vector<std::string> log;
  int openResult = 3;
  int iopermResult = 0;
  std::map<unsigned long, int> ioctlFailures;
  std::map<std::string, std::string> files;
  std::uint64_t nanoseconds = 1000000;
  std::uint64_t nanosecondsPerRead = 0;
  int dataWrites = 0;
  int limitAfterDataWrites = 1 << 30;
};

hw::DeviceSpec Spec(const std::string& text) {
  const hw::DeviceSpecResult parsed = hw::ParseDeviceSpec(text);
  EXPECT_TRUE(parsed.spec) << parsed.error;
  return parsed.spec.value_or(hw::DeviceSpec{});
}

// What the backend printed on stderr while `action` ran.
template <class Action>
std::string Stderr(Action action) {
  testing::internal::CaptureStderr();
  action();
  return testing::internal::GetCapturedStderr();
}

TEST(DeviceSpec, FormsAndErrors) {
  EXPECT_EQ(Spec("").kind, hw::simulatedKind);
  EXPECT_FALSE(Spec("").hardware);
  EXPECT_EQ(Spec("sim").kind, hw::simulatedKind);
  EXPECT_TRUE(Spec("parport:0").hardware);
  EXPECT_EQ(Spec("parport:/dev/parport1").parportPath, "/dev/parport1");
  EXPECT_EQ(Spec("parport:2").parportIndex, 2u);
  EXPECT_EQ(Spec("parport:0x278").parportBase, 0x278u);
  const hw::DeviceSpec direct = Spec("direct:0x378,timer=pit");
  EXPECT_EQ(direct.kind, hw::directKind);
  EXPECT_TRUE(direct.hardware);
  EXPECT_EQ(direct.directBase, 0x378);
  EXPECT_EQ(direct.timer, hw::TimerKind::pit);
  EXPECT_EQ(Spec("parport:0").timer, hw::TimerKind::clock);
  for (const char* bad : {"lpt1", "parport:", "parport:x", "direct:888", "direct:0x40",
                          "direct:0x379", "parport:0,timer=hpet", "parport:0,timer=pit,timer=pit",
                          "sim,timer=pit", "parport:0,fast", "sim:x", "parport", "direct"}) {
    const hw::DeviceSpecResult parsed = hw::ParseDeviceSpec(bad);
    EXPECT_FALSE(parsed.spec) << bad;
    EXPECT_NE(parsed.error.find(bad), std::string::npos) << parsed.error;
  }
}

TEST(DeviceSpec, KindsComeFromTheTableOfBackends) {
  // Every kind the table holds is accepted by name and listed in the messages; no other is.
  for (const char* name : {hw::simulatedKind, hw::parportKind, hw::directKind}) {
    const sim::BackendKind* kind = sim::FindBackendKind(name);
    ASSERT_NE(kind, nullptr) << name;
    EXPECT_NE(kind->make, nullptr);
    EXPECT_NE(sim::DeviceForms().find(kind->forms), std::string::npos) << sim::DeviceForms();
  }
  EXPECT_FALSE(sim::FindBackendKind(hw::simulatedKind)->hardware);
  EXPECT_TRUE(sim::FindBackendKind(hw::parportKind)->hardware);
  EXPECT_EQ(sim::FindBackendKind("lpt"), nullptr);
  EXPECT_NE(hw::ParseDeviceSpec("lpt:1").error.find(sim::DeviceForms()), std::string::npos);
  EXPECT_EQ(Spec("parport:/dev/parport1").address, "/dev/parport1");
}

TEST(DeviceSpec, PortsByIndexAndBaseAddress) {
  FakeCalls calls;
  calls.AddPort(0, 0x378, {"lp0"});
  calls.AddPort(1, 0xd010);
  std::string error;
  EXPECT_EQ(hw::ResolveParportPath(Spec("parport:0xd010"), calls, error), "/dev/parport1");
  EXPECT_EQ(hw::ResolveParportPath(Spec("parport:0"), calls, error), "/dev/parport0");
  EXPECT_EQ(hw::ResolveParportPath(Spec("parport:0x278"), calls, error), "");
  EXPECT_EQ(error,
            "there is no parallel port at 0x278; the kernel lists: parport0 at 0x378 "
            "(/dev/parport0); parport1 at 0xd010 (/dev/parport1)");
  EXPECT_EQ(hw::ListParports(calls)[0].devices, std::vector<std::string>{"lp0"});
}

TEST(PpdevBackend, ClaimsAtOpenReleasesAtCloseAndAtExit) {
  FakeCalls calls;
  auto backend = hw::MakeHardwareBackend(Spec("parport:/dev/parport0"), calls);
  EXPECT_TRUE(calls.log.empty()) << "nothing is claimed before openConn";
  ASSERT_TRUE(backend->DeviceOpened());
  EXPECT_EQ(calls.log,
            (std::vector<std::string>{"open /dev/parport0", "PPEXCL fd3", "PPCLAIM fd3"}));
  calls.log.clear();
  backend->DeviceClosed();
  EXPECT_EQ(calls.log, (std::vector<std::string>{"PPRELEASE fd3", "close fd3"}));
  calls.log.clear();
  backend->DeviceClosed();
  EXPECT_TRUE(calls.log.empty()) << "a second close releases nothing";

  ASSERT_TRUE(backend->DeviceOpened());
  calls.log.clear();
  backend.reset();  // process exit with the device still open
  EXPECT_EQ(calls.log, (std::vector<std::string>{"PPRELEASE fd3", "close fd3"}));
}

TEST(PpdevBackend, EveryFailedClaimSaysWhatToDo) {
  struct Case {
    const char* name;
    int openResult;
    int claimResult;
    std::vector<std::string> devices;
    int listedPort;  // the port the kernel lists, -1 none
    bool ppdevLoaded;
    const char* advice;
  };
  const Case cases[] = {
      {"permission", -EACCES, 0, {}, 0, true, "sudo usermod -aG lp $USER"},
      {"ppdev missing", -ENOENT, 0, {}, 0, false, "not loaded: sudo modprobe -a parport_pc ppdev"},
      {"no ports", -ENOENT, 0, {}, -1, false, "sudo modprobe -a parport_pc ppdev"},
      {"other port", -ENXIO, 0, {}, 3, true, "No such port. The kernel lists: parport3 at"},
      {"busy", -EBUSY, 0, {}, 0, true, "fuser -v /dev/parport0"},
      {"lp holds it", 3, -ENXIO, {"lp0"}, 0, true, "sudo rmmod lp"},
      {"other process", 3, -ENXIO, {"ppdev1"}, 0, true, "Another process has the port open"},
      {"claim busy", 3, -EBUSY, {}, 0, true, "printer daemon (cups)"},
      {"not a port", 3, -ENOTTY, {}, 0, true, "/dev/parport0 is not a parallel port"},
      {"a directory", -EISDIR, 0, {}, 0, true, "/dev/parport0 is not a parallel port"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeCalls calls;
    calls.openResult = c.openResult;
    if (c.claimResult) calls.ioctlFailures[PPCLAIM] = c.claimResult;
    if (c.listedPort >= 0) calls.AddPort(c.listedPort, 0x378, c.devices);
    if (c.ppdevLoaded) calls.files["/sys/module/ppdev/refcnt"] = "0";
    auto backend = hw::MakeHardwareBackend(Spec("parport:/dev/parport0"), calls);
    const std::string said = Stderr([&] { EXPECT_FALSE(backend->DeviceOpened()); });
    EXPECT_TRUE(said.starts_with("steplink-hw: cannot ")) << said;
    EXPECT_NE(said.find(c.advice), std::string::npos) << said;
    // The library tries twice per openConn: the second attempt's identical line is not repeated.
    EXPECT_EQ(Stderr([&] { EXPECT_FALSE(backend->DeviceOpened()); }), "");
    EXPECT_EQ(Stderr([&] { EXPECT_FALSE(backend->DeviceOpened()); }), said);
    if (c.openResult >= 0) {
      EXPECT_EQ(calls.log.back(), "close fd3") << "a failed claim closes the descriptor";
      EXPECT_EQ(std::count(calls.log.begin(), calls.log.end(), "PPRELEASE fd3"), 0);
    }
  }
}

// Through the real system calls: what is no port is called that, not blamed on another process.
TEST(PpdevBackend, NullDeviceRegularFileAndFifoAreNotParallelPorts) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("steplink-hw-notaport-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  std::ofstream(dir / "file") << "not a port";
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  for (const std::string& path :
       {std::string("/dev/null"), (dir / "file").string(), (dir / "fifo").string(), dir.string()}) {
    SCOPED_TRACE(path);
    auto port = hw::MakePpdevPort(hw::RealSystemCalls(), path);
    std::string error;
    EXPECT_FALSE(port->Open(error));
    EXPECT_NE(error.find(path + " is not a parallel port"), std::string::npos) << error;
    EXPECT_EQ(error.find("printer"), std::string::npos) << error;
    EXPECT_EQ(error.find("Another process"), std::string::npos) << error;
  }
  std::filesystem::remove_all(dir);
}

// The probe's verdict: a malformed device is its own outcome (the command exits 2), apart from a
// device that does not open (1).
TEST(Probe, MalformedDeviceIsTwoAndADeviceThatIsNoPortIsOne) {
  for (const auto& [device, expected, said] :
       {std::tuple<std::string, int, std::string>{"bogus", hw::probeBadDevice, "is not a device"},
        {"parport:", hw::probeBadDevice, "is not a device"},
        {"parport:/dev/null", 1, "is not a parallel port"}}) {
    SCOPED_TRACE(device);
    FakeCalls calls;
    calls.nanosecondsPerRead = 100000;  // the probe's 2 ms wait on the counter ends
    calls.ioctlFailures[PPEXCL] = -ENOTTY;
    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(hw::Probe(device, calls, out), expected);
    std::rewind(out);
    std::string report;
    for (int c = std::fgetc(out); c != EOF; c = std::fgetc(out)) report += static_cast<char>(c);
    std::fclose(out);
    EXPECT_NE(report.find(said), std::string::npos) << report;
    EXPECT_EQ(report.find("printer daemon"), std::string::npos) << report;
  }
}

TEST(PpdevBackend, MissingPortByIndexListsWhatExists) {
  FakeCalls calls;
  calls.AddPort(1, 0x278);
  auto backend = hw::MakeHardwareBackend(Spec("parport:0"), calls);
  EXPECT_EQ(Stderr([&] { EXPECT_FALSE(backend->DeviceOpened()); }),
            "steplink-hw: there is no parport0; the kernel lists: parport1 at 0x278 "
            "(/dev/parport1)\n");
}

TEST(IopermBackends, PermissionAndLockdownAdvice) {
  FakeCalls calls;
  calls.iopermResult = -EPERM;
  auto direct = hw::MakeHardwareBackend(Spec("direct:0x378"), calls);
  EXPECT_NE(Stderr([&] { EXPECT_FALSE(direct->DeviceOpened()); }).find("CAP_SYS_RAWIO"),
            std::string::npos);
  calls.files["/sys/kernel/security/lockdown"] = "none [integrity] confidentiality\n";
  auto pit = hw::MakeHardwareBackend(Spec("parport:/dev/parport0,timer=pit"), calls);
  calls.log.clear();
  const std::string said = Stderr([&] { EXPECT_FALSE(pit->DeviceOpened()); });
  EXPECT_NE(said.find("lockdown (none [integrity] confidentiality"), std::string::npos) << said;
  // The port was claimed before the timer failed: it is released again.
  EXPECT_EQ(calls.log, (std::vector<std::string>{"open /dev/parport0", "PPEXCL fd3", "PPCLAIM fd3",
                                                 "ioperm 40 4 1", "PPRELEASE fd3", "close fd3"}));
}

TEST(PpdevBackend, MapsTheLibrarysPortsAndRefusesTheRest) {
  FakeCalls calls;
  auto backend = hw::MakeHardwareBackend(Spec("parport:/dev/parport0"), calls);
  ASSERT_TRUE(backend->DeviceOpened());
  calls.log.clear();
  backend->Out(0x3BC, 0x87);
  backend->Out(0x3BE, 0x01);
  EXPECT_EQ(backend->In(0x3BD), 0xFF);
  EXPECT_EQ(backend->In(0x3BC), 0x5A);
  EXPECT_EQ(backend->In(0x3BE), 0x5A);
  EXPECT_EQ(backend->TakeRefusal(), 0u);
  EXPECT_EQ(calls.log, (std::vector<std::string>{"PPWDATA 87", "PPWCONTROL 01", "PPRSTATUS fd3",
                                                 "PPRDATA fd3", "PPRCONTROL fd3"}));
  calls.log.clear();
  const std::string said = Stderr([&] {
    backend->Out(0x378, 1);
    EXPECT_EQ(backend->TakeRefusal(), hw::refusedError);
    backend->Out(0x3BD, 0);
    EXPECT_EQ(backend->TakeRefusal(), hw::refusedError);
    backend->Out(0x40, 0);
    EXPECT_EQ(backend->TakeRefusal(), hw::refusedError);
    for (int command = 1; command < 256; ++command) {
      if (command == 0xE2) continue;
      backend->Out(0x43, static_cast<std::uint8_t>(command));
      EXPECT_EQ(backend->TakeRefusal(), hw::refusedError) << command;
    }
    backend->In(0x43);
    EXPECT_EQ(backend->TakeRefusal(), hw::refusedError);
    backend->In(0x61);
    EXPECT_EQ(backend->TakeRefusal(), hw::refusedError);
  });
  EXPECT_TRUE(calls.log.empty()) << "a refused request touches nothing";
  EXPECT_EQ(said,
            "steplink-hw: refused writing 0x01 to port 0x378: only the parallel port's data, "
            "status and control registers (0x3bc-0x3be) and the timer's 0x40 (read) and 0x43 "
            "(write) are served.\n")
      << "one line per open";
}

TEST(PpdevBackend, AFailedAccessFailsTheRequest) {
  FakeCalls calls;
  auto backend = hw::MakeHardwareBackend(Spec("parport:/dev/parport0"), calls);
  ASSERT_TRUE(backend->DeviceOpened());
  calls.ioctlFailures[PPWDATA] = -ENODEV;
  const std::string said = Stderr([&] { backend->Out(0x3BC, 0x27); });
  EXPECT_EQ(backend->TakeRefusal(), hw::failedError);
  EXPECT_NE(said.find("PPWDATA on /dev/parport0 failed (port 0x3bc, value 0x27): No such device"),
            std::string::npos)
      << said;
}

TEST(DirectBackend, MapsOntoTheBaseAndKeepsControlBitsZeroToThree) {
  FakeCalls calls;
  auto backend = hw::MakeHardwareBackend(Spec("direct:0x378"), calls);
  ASSERT_TRUE(backend->DeviceOpened());
  backend->Out(0x3BC, 0x9B);
  backend->Out(0x3BE, 0xF1);
  EXPECT_EQ(backend->In(0x3BD), 0x42);
  backend->DeviceClosed();
  EXPECT_EQ(calls.log, (std::vector<std::string>{"ioperm 378 3 1", "outb 9b 378", "outb 01 37a",
                                                 "inb 379", "ioperm 378 3 0"}));
}

TEST(PitCounter, OnlyTheLibrarysTwoCommandsReachTheTimer) {
  FakeCalls calls;
  auto backend = hw::MakeHardwareBackend(Spec("direct:0x378,timer=pit"), calls);
  ASSERT_TRUE(backend->DeviceOpened());
  calls.log.clear();
  testing::internal::CaptureStderr();
  for (int value = 0; value < 256; ++value) {
    backend->Out(0x43, static_cast<std::uint8_t>(value));
    backend->Out(0x40, static_cast<std::uint8_t>(value));
    backend->TakeRefusal();
  }
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(backend->In(0x40), 0x42);
  EXPECT_EQ(calls.log, (std::vector<std::string>{"outb 00 43", "outb e2 43", "inb 40"}));
}

class ClockCounterTest : public ::testing::Test {
 protected:
  // Counter value after `ticks` ticks of 838 ns.
  void At(std::uint64_t ticks) { calls.nanoseconds = start + ticks * 838; }
  std::uint16_t Latched() {
    EXPECT_TRUE(counter->Command(0x00));
    const unsigned low = counter->Read();
    return static_cast<std::uint16_t>(counter->Read() * 256 + low);
  }
  FakeCalls calls;
  const std::uint64_t start = calls.nanoseconds;
  std::unique_ptr<hw::Counter0> counter = hw::MakeClockCounter(calls);
};

TEST_F(ClockCounterTest, CountsDownInModeTwoAtTheTimersRateAndWraps) {
  At(0);
  EXPECT_EQ(Latched(), 0);
  At(1);
  EXPECT_EQ(Latched(), 65535);
  At(1000);
  EXPECT_EQ(Latched(), 65536 - 1000);
  calls.nanoseconds = start + 1000 * 838 + 837;  // not yet the next tick
  EXPECT_EQ(Latched(), 65536 - 1000);
  At(65536);
  EXPECT_EQ(Latched(), 0);
  At(65536 * 3 + 5);
  EXPECT_EQ(Latched(), 65531);
  // One second of the clock is 1193317 counts (8.38e-7 s each), within the 8254's own rate.
  At(0);
  const std::uint16_t before = Latched();
  calls.nanoseconds += 1000000000;
  EXPECT_EQ(static_cast<std::uint16_t>(before - Latched()), 1193317 % 65536);
}

TEST_F(ClockCounterTest, LatchIsOneSnapshotReadLowThenHigh) {
  At(0x1234);  // count 0x10000 - 0x1234 = 0xEDCC
  ASSERT_TRUE(counter->Command(0x00));
  At(0x1300);  // the count moves on between the two reads (a borrow from 0xED to 0xEC)
  EXPECT_EQ(counter->Read(), 0xCC);
  ASSERT_TRUE(counter->Command(0x00)) << "a second latch before the high byte is ignored";
  At(0x2000);
  EXPECT_EQ(counter->Read(), 0xED);
  // Nothing latched: the live count's low and high bytes alternately.
  At(0x0102);  // 0xFEFE
  EXPECT_EQ(counter->Read(), 0xFE);
  At(0x0203);  // 0xFDFD
  EXPECT_EQ(counter->Read(), 0xFD);
  EXPECT_EQ(counter->Read(), 0xFD);  // low again
}

TEST_F(ClockCounterTest, ReadBackGivesModeTwoStatusOnce) {
  At(0x10);
  ASSERT_TRUE(counter->Command(0xE2));
  EXPECT_EQ(counter->Read(), 0x34);
  EXPECT_EQ(Latched(), 0x10000 - 0x10);
  for (int command : {0x34, 0x36, 0x40, 0xC2, 0xE4, 0xFF}) {
    EXPECT_FALSE(counter->Command(static_cast<std::uint8_t>(command))) << command;
  }
}

// The library on the ppdev backend: initTimer sees mode 2 on the clock counter, and a reference
// run creeps until the status register's bit 7 clears.
TEST(HardwareLibrary, CalibratesAndHomesOnTheStatusRegister) {
  FakeCalls calls;
  calls.nanosecondsPerRead = 838 * 40;  // the clock moves 40 ticks per reading
  auto backend = hw::MakeHardwareBackend(Spec("parport:/dev/parport0"), calls);
  test::ResetCore(backend.get());
  ASSERT_NE(OpenPortDevice(), 255);
  EXPECT_EQ(CalibrateTimer(), 2);
  // Engaged after 5 creep steps of X: each one-step move writes a step and the X, Y and Z holds.
  calls.limitAfterDataWrites = calls.dataWrites + 5 * 4;
  test::StdoutCapture printed;
  ReferenceRun(10, 0, 0);
  EXPECT_EQ(printed.Text(), "");
  std::vector<std::uint8_t> bytes;
  for (const std::string& line : calls.log) {
    if (line.starts_with("PPWDATA ")) {
      bytes.push_back(static_cast<std::uint8_t>(std::stoi(line.substr(8), nullptr, 16)));
    }
  }
  // Calibration wrote nothing; five creep steps down, then the back-off of ten up.
  const std::vector<test::DecodedMove> moves = test::DecodeMoves(bytes);
  ASSERT_EQ(moves.size(), 6u) << test::Describe(moves);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(moves[i].x, -1) << test::Describe(moves);
  EXPECT_EQ(moves[5].x, 10) << test::Describe(moves);
  EXPECT_EQ(ClosePortDevice(), 1);
  EXPECT_EQ(calls.log.back(), "close fd3");
  test::ResetCore(nullptr);
}

TEST(HardwareLibrary, RefusedPortPrintsTheLibrarysLine) {
  FakeCalls calls;
  auto backend = hw::MakeHardwareBackend(Spec("parport:/dev/parport0"), calls);
  test::ResetCore(backend.get());
  ASSERT_NE(OpenPortDevice(), 255);
  std::string printed;
  testing::internal::CaptureStderr();
  {
    test::StdoutCapture capture;
    outportb(0x378, 1);
    EXPECT_EQ(inportb(0x3BF), 0xBF) << "a refused read yields the port number's low byte";
    printed = capture.Text();
  }
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(printed,
            "Error occured during outportb while talking to PortTalk driver 5\n"
            "Error occured during inportb while talking to PortTalk driver 5\n");
  ClosePortDevice();
  test::ResetCore(nullptr);
}

TEST(HardwareLibrary, FailedClaimFailsOpenConn) {
  FakeCalls calls;
  calls.openResult = -EACCES;
  auto backend = hw::MakeHardwareBackend(Spec("parport:/dev/parport0"), calls);
  test::ResetCore(backend.get());
  std::string printed;
  const std::string said = Stderr([&] {
    test::StdoutCapture capture;
    EXPECT_EQ(OpenPortDevice(), 255);
    printed = capture.Text();
  });
  EXPECT_NE(printed.find("PortTalk: Couldn't access PortTalk Driver"), std::string::npos);
  EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
  test::ResetCore(nullptr);
}

}  // namespace
