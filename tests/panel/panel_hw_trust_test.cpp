// The panel's trust rules on the hardware backend: the library's calls made on a parallel port
// whose system calls are scripted (the device layer's seam), watched as `--device parport:`
// watches a real one, and the panel fed from that port's status block as its session feeds it.
// Homing on the status register's limit input makes the position trusted; a port that fails one
// strobe release (a fault the board sees), a new call process and a homing whose creep never
// meets the switch each make it untrusted, with the reason, until the table is homed again.
#include <gtest/gtest.h>
#include <linux/ioctl.h>
#include <linux/ppdev.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "contract/steplink_contract.h"
#include "device/device_select.h"
#include "device/observed_hardware.h"
#include "example_machine.h"
#include "hw/hardware_backend.h"
#include "motion/reference.h"
#include "motion/vector.h"
#include "panel_model.h"
#include "port/port_channel.h"
#include "status/status_view.h"
#include "test_support.h"
#include "timing/timer.h"

namespace {

// A parallel port through ppdev whose limit input engages a number of data writes after it is
// armed, and whose control writes can be made to fail once (as a port unplugged for a moment).
class ScriptedPort final : public hw::SystemCalls {
 public:
  int Open(const std::string&, int) override { return 3; }
  int Ioctl(int, unsigned long request, void* argument) override {
    auto* byte = static_cast<std::uint8_t*>(argument);
    if (request == PPWDATA) ++dataWrites;
    if (request == PPWCONTROL && ++controlWrites == failControlWrite) return -EIO;
    if (request == PPRSTATUS) *byte = dataWrites >= limitAfterDataWrites ? 0x7F : 0xFF;
    if (request == PPRDATA || request == PPRCONTROL) *byte = 0;
    return 0;
  }
  int Close(int) override { return 0; }
  int Ioperm(unsigned long, unsigned long, int) override { return 0; }
  std::uint8_t Inb(std::uint16_t) override { return 0xFF; }
  void Outb(std::uint8_t, std::uint16_t) override {}
  std::uint64_t MonotonicNanoseconds() override { return nanoseconds += 838 * 40; }
  std::optional<std::string> ReadText(const std::string&) override { return std::nullopt; }
  std::vector<std::string> ListDirectory(const std::string&) override { return {}; }
  bool Exists(const std::string&) override { return false; }
  int Access(const std::string&, int) override { return 0; }

  long dataWrites = 0;
  long limitAfterDataWrites = 1L << 40;
  long controlWrites = 0;
  long failControlWrite = -1;
  std::uint64_t nanoseconds = 0;
};

// One call process: the port, watched, serving the library in this process; its status block
// starts from zero as a new process's does.
struct CallProcess {
  ScriptedPort calls;
  std::string statusName = "steplink-panel-hw-" + std::to_string(getpid());
  std::unique_ptr<sim::PortBackend> port;
  status::StatusView view;
  bool switchMissing = false;

  CallProcess() {
    const auto spec = hw::ParseDeviceSpec("parport:/dev/parport0");
    std::string error;
    port = sim::MakeObservedPort(hw::MakeHardwareBackend(*spec.spec, calls), "", statusName, error);
    if (!port) throw std::runtime_error(error);
    test::ResetCore(port.get());
  }
  ~CallProcess() {
    test::ResetCore(nullptr);
    port.reset();
  }
  // The model's calls made one at a time, each completion fed back with the block's counters
  // and fault count, as the panel's session does.
  void Drain(panel::PanelModel& model) {
    test::StdoutCapture printed;  // a failed port write prints the library's line
    while (auto call = model.NextCall(panel::Clock::now())) {
      using Kind = panel::PanelCall::Kind;
      switch (call->kind) {
        case Kind::openConn:
          OpenPortDevice();
          if (!view.IsOpen()) view.Open(statusName);
          break;
        case Kind::initTimer:
          CalibrateTimer();
          break;
        case Kind::vectorOut:
          MoveVector(call->args[0], call->args[1], call->args[2]);
          break;
        case Kind::reference:
          // The switch 5 steps down, or none at all (a broken wire).
          calls.limitAfterDataWrites = switchMissing ? 1L << 40 : calls.dataWrites + 5 * 4;
          ReferenceRun(call->args[0], call->args[1], call->args[2]);
          break;
        case Kind::closeConn:
          ClosePortDevice();
          break;
      }
      const auto copy = view.Read();
      ASSERT_TRUE(copy);
      const std::array<std::int32_t, 3> steps{copy->table.positionX, copy->table.positionY,
                                              copy->table.positionZ};
      model.TableSample(steps, copy->table.faultCount, copy->table.lastFaultKind);
      model.CallDone(steps);
    }
  }
};

gcode::Machine Example() {
  return test::ExampleMachine();
}

TEST(PanelHardwareTrust, HomedOnTheLimitInputThenDistrustedByAPortFaultAndARestart) {
  panel::PanelModel model(Example(), STEPLINK_START_SPEED_STANDARD);
  auto process = std::make_unique<CallProcess>();
  model.ProcessStarted(panel::Distrust::notHomed);
  process->Drain(model);
  EXPECT_FALSE(model.Trusted());

  // Homing: each axis creeps to where the status register says the switch is, then backs off.
  ASSERT_TRUE(model.Home(-1).ok);
  process->Drain(model);
  ASSERT_TRUE(model.Trusted()) << model.TrustedReason();
  EXPECT_EQ(process->view.Read()->table.faultCount, 0u);
  ASSERT_TRUE(model.StepJog(0, 2.0).ok);
  process->Drain(model);
  EXPECT_NEAR(model.TableMm()[0], 2.0, 1e-9);
  EXPECT_TRUE(model.Trusted());

  // The port fails one strobe release mid-move: the board saw a strobe that never returned,
  // the block counts the fault, and the panel no longer trusts the position.
  process->calls.failControlWrite = process->calls.controlWrites + 2;
  ASSERT_TRUE(model.StepJog(1, 1.0).ok);
  process->Drain(model);
  EXPECT_GT(process->view.Read()->table.faultCount, 0u);
  EXPECT_FALSE(model.Trusted());
  EXPECT_NE(model.TrustedReason().find("fault"), std::string::npos);
  EXPECT_FALSE(model.State()["homed"]["x"].get<bool>());
  EXPECT_FALSE(model.JogStart(0, 1, panel::Clock::now()).ok);
  EXPECT_FALSE(model.GoToWorkZero().ok);

  // Homed again, then a new call process takes the table: its counters start from zero, so the
  // position is distrusted again, with that reason.
  ASSERT_TRUE(model.Home(-1).ok);
  process->Drain(model);
  ASSERT_TRUE(model.Trusted());
  ASSERT_TRUE(model.StepJog(0, 3.0).ok);
  process->Drain(model);
  const double before = model.TableMm()[0];
  process.reset();
  process = std::make_unique<CallProcess>();
  model.ProcessStarted(panel::Distrust::restarted);
  process->Drain(model);
  EXPECT_FALSE(model.Trusted());
  EXPECT_NE(model.TrustedReason().find("restarted"), std::string::npos);
  EXPECT_NEAR(model.TableMm()[0], before, 1e-9) << "the last known place carries over";
  EXPECT_FALSE(model.Zero(-1).ok);
  ASSERT_TRUE(model.Home(-1).ok);
  process->Drain(model);
  EXPECT_TRUE(model.Trusted());
}

TEST(PanelHardwareTrust, AHomingWhoseCreepNeverMeetsTheSwitchHomesNothing) {
  // Setup: homed and trusted, then the X switch's wire breaks.
  panel::PanelModel model(Example(), STEPLINK_START_SPEED_STANDARD);
  CallProcess process;
  model.ProcessStarted(panel::Distrust::notHomed);
  process.Drain(model);
  ASSERT_TRUE(model.Home(-1).ok);
  process.Drain(model);
  ASSERT_TRUE(model.Trusted());
  process.switchMissing = true;

  // Exercise: home X; its creep gives up after the library's limit and backs off from there.
  ASSERT_TRUE(model.Home(0).ok);
  testing::internal::CaptureStderr();
  process.Drain(model);
  const std::string warned = testing::internal::GetCapturedStderr();

  // Verify: the block names the fault, the panel homes nothing and says why, the warning names
  // the axis; with the switch back, homing trusts the position again.
  const auto table = process.view.Read()->table;
  EXPECT_EQ(table.faultCount, 1u);
  EXPECT_EQ(table.lastFaultKind, STEPLINK_FAULT_NO_SWITCH);
  EXPECT_EQ(table.lastFaultPort, STEPLINK_PORT_STATUS);
  EXPECT_FALSE(model.Trusted());
  EXPECT_FALSE(model.State()["homed"]["x"].get<bool>());
  EXPECT_NE(model.TrustedReason().find("limit switch"), std::string::npos) << model.TrustedReason();
  EXPECT_FALSE(model.GoToWorkZero().ok);
  EXPECT_NE(warned.find("the X axis crept 32000 steps"), std::string::npos) << warned;
  process.switchMissing = false;
  ASSERT_TRUE(model.Home(-1).ok);
  process.Drain(model);
  EXPECT_TRUE(model.Trusted()) << model.TrustedReason();
}

}  // namespace
