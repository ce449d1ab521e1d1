// Port access: the PortTalk request layout, the channel's open/close outcomes and failure lines,
// and the driver service's start/install paths against the substitute's service manager model.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "port/driver_service.h"
#include "port/port_channel.h"
#include "sim/substitute.h"
#include "test_support.h"

namespace {

using test::CoreTest;
using test::StdoutCapture;

std::string Bytes(const sim::DeviceRequest& request) {
  return std::string(reinterpret_cast<const char*>(request.inBytes), request.inLength);
}

TEST_F(CoreTest, RequestsCarryPortLittleEndianAndReadComesBackInFirstByte) {
  outportb(0x3BE, 1);
  const sim::DeviceRequest write = sim::LastDeviceRequest();
  backend.limitScript = {0x5A};
  const std::uint8_t read = inportb(0x3BD);
  const sim::DeviceRequest readRequest = sim::LastDeviceRequest();

  EXPECT_EQ(write.code, portWriteCode);
  EXPECT_EQ(Bytes(write), std::string("\xBE\x03\x01", 3));
  EXPECT_EQ(write.outLength, 0u);
  EXPECT_EQ(readRequest.code, portReadCode);
  EXPECT_EQ(Bytes(readRequest), std::string("\xBD\x03", 2));
  EXPECT_EQ(readRequest.outLength, 1u);
  EXPECT_EQ(read, 0x5A);
}

TEST_F(CoreTest, ClosedChannelOperationsPrintTheirLineAndReadYieldsPortLowByte) {
  ClosePortDevice();
  StdoutCapture capture;
  const std::uint8_t status = inportb(0x3BD);
  const std::uint8_t counter = inportb(0x40);
  outportb(0x3BC, 0x27);

  EXPECT_EQ(status, 0xBD);
  EXPECT_EQ(counter, 0x40);
  EXPECT_EQ(capture.Text(),
            "Error occured during inportb while talking to PortTalk driver 6\n"
            "Error occured during inportb while talking to PortTalk driver 6\n"
            "Error occured during outportb while talking to PortTalk driver 6\n");
  EXPECT_TRUE(backend.ops.empty());
}

TEST(PortChannel, CloseBeforeAnyOpenFailsSilently) {
  test::ResetCore(nullptr);
  StdoutCapture capture;
  const std::int32_t closed = ClosePortDevice();
  EXPECT_EQ(closed, 0);
  EXPECT_EQ(capture.Text(), "");
}

TEST_F(CoreTest, OpenWhileOpenReplacesTheHandleAndTheChannelStillWorks) {
  StdoutCapture capture;
  const std::int32_t again = OpenPortDevice();
  outportb(0x3BC, 0x27);

  EXPECT_NE(again, 255);
  EXPECT_NE(again & 0xFF, 0xFF);
  EXPECT_TRUE(PortChannelOpen());
  ASSERT_EQ(backend.ops.size(), 1u);  // the write reached the device
  EXPECT_NE(ClosePortDevice(), 0);
  EXPECT_FALSE(PortChannelOpen());
  EXPECT_EQ(ClosePortDevice(), 0);  // nothing left to close
  EXPECT_EQ(capture.Text(), "");
}

struct OpenCase {
  const char* name;
  sim::ServiceState service;
  bool deviceMissing;
  bool opens;
  const char* lines;
};

class OpenPortDeviceTest : public ::testing::TestWithParam<OpenCase> {
 protected:
  void TearDown() override { test::ResetCore(nullptr); }
  test::ScriptedBackend backend;
};

TEST_P(OpenPortDeviceTest, OutcomeAndLines) {
  const OpenCase& c = GetParam();
  test::ResetCore(&backend);
  sim::Services().service = c.service;
  sim::Services().deviceMissing = c.deviceMissing;

  StdoutCapture capture;
  const std::int32_t result = OpenPortDevice();
  const std::uint8_t status = inportb(0x3BD);  // a failed channel holds the invalid-handle value
  const std::string text = capture.Text();

  EXPECT_EQ(text, c.lines);
  EXPECT_EQ(PortChannelOpen(), c.opens);
  if (c.opens) {
    EXPECT_NE(result & 0xFF, 0xFF);
    EXPECT_EQ(status, 0x80);
  } else {
    EXPECT_EQ(result, 255);
    EXPECT_EQ(status, 0xBD);
  }
  EXPECT_EQ(ClosePortDevice() != 0, c.opens);  // nothing to close after a failed open
  EXPECT_EQ(sim::Services().openHandles, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OpenPortDeviceTest,
    ::testing::Values(
        OpenCase{"DriverRunning", sim::ServiceState::running, false, true, ""},
        OpenCase{"ServiceStartable", sim::ServiceState::stopped, false, true,
                 "PortTalk: The PortTalk driver has been successfully started.\n"},
        OpenCase{"RunningButNoDevice", sim::ServiceState::running, true, false,
                 "PortTalk: The PortTalk driver is already running.\n"
                 "PortTalk: Couldn't access PortTalk Driver, Please ensure driver is loaded.\n\n"
                 "Error occured during inportb while talking to PortTalk driver 6\n"}),
    test::CaseName());

// The driver service paths. Each case sets up the service manager model, runs StartPortDriver and
// checks the exact lines, the flag, that every handle was closed and what was copied.
struct ServiceCase {
  const char* name;
  std::function<void(sim::ServiceModel&)> setUp;
  std::uint8_t started;
  std::string lines;
  int copyCalls;
};

class DriverServiceTest : public ::testing::TestWithParam<ServiceCase> {
 protected:
  void SetUp() override { test::ResetCore(nullptr); }
  void TearDown() override { test::ResetCore(nullptr); }
};

const std::string missingLines =
    "PortTalk: The PortTalk driver does not exist. Installing driver.\n"
    "PortTalk: This can take up to 30 seconds on some machines . .\n";
const std::string copyingLine =
    "PortTalk: Copying driver to C:\\WINDOWS\\system32\\Drivers\\PortTalk.sys\n";
const std::string copyFailedLines =
    "PortTalk: Failed to copy driver to C:\\WINDOWS\\system32\\Drivers\\PortTalk.sys\n"
    "PortTalk: Please manually copy driver to your system32/driver directory.\n";
const std::string installedLine = "PortTalk: Driver successfully installed.\n";
const std::string startedLine = "PortTalk: The PortTalk driver has been successfully started.\n";
const std::string startFailedLines =
    "PortTalk: Unknown error while starting PortTalk driver service.\n"
    "PortTalk: Does PortTalk.SYS exist in your \\System32\\Drivers Directory?\n";
const std::string longDirLines =
    "PortTalk: Failed to get System Directory. Is System Directory Path > 55 Characters?\n"
    "PortTalk: Please manually copy driver to your system32/driver directory.\n";

TEST_P(DriverServiceTest, LinesFlagAndHandles) {
  const ServiceCase& c = GetParam();
  c.setUp(sim::Services());

  StdoutCapture capture;
  const std::uint8_t started = StartPortDriver();
  const std::string text = capture.Text();

  EXPECT_EQ(text, c.lines);
  EXPECT_EQ(started, c.started);
  EXPECT_EQ(sim::Services().openHandles, 0);
  EXPECT_EQ(sim::Services().copyCalls, c.copyCalls);
  if (sim::Services().createServiceCalls > 0) {
    EXPECT_EQ(sim::Services().lastImagePath, "System32\\Drivers\\PortTalk.sys");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Paths, DriverServiceTest,
    ::testing::Values(
        ServiceCase{"Stopped", [](auto& s) { s.service = sim::ServiceState::stopped; }, 1,
                    startedLine, 0},
        ServiceCase{"AlreadyRunning", [](auto&) {}, 1,
                    "PortTalk: The PortTalk driver is already running.\n", 0},
        ServiceCase{"NoRightsToManager", [](auto& s) { s.managerAccessDenied = true; }, 0,
                    "PortTalk: You do not have rights to access the Service Control Manager and\n"
                    "PortTalk: the PortTalk driver is not installed or started. Please ask \n"
                    "PortTalk: your administrator to install the driver on your behalf.\n",
                    0},
        ServiceCase{"ManagerUnavailable", [](auto& s) { s.managerUnavailable = true; }, 0, "", 0},
        ServiceCase{"NoRightsToService", [](auto& s) { s.serviceAccessDenied = true; }, 0,
                    "PortTalk: You do not have rights to the PortTalk service database\n", 0},
        ServiceCase{"InvalidName", [](auto& s) { s.invalidName = true; }, 0,
                    "PortTalk: The specified service name is invalid.\n", 0},
        ServiceCase{"AbsentWithDriverFile",
                    [](auto& s) {
                      s.service = sim::ServiceState::absent;
                      s.driverFileAtTarget = false;
                    },
                    1, missingLines + copyingLine + installedLine + startedLine, 1},
        ServiceCase{
            "AbsentWithoutAnyDriverFile",
            [](auto& s) {
              s.service = sim::ServiceState::absent;
              s.driverFileInCurrentDir = false;
              s.driverFileAtTarget = false;
            },
            0, missingLines + copyingLine + copyFailedLines + installedLine + startFailedLines, 1},
        ServiceCase{"AbsentWithEarlierCopyAtTarget",
                    [](auto& s) {
                      s.service = sim::ServiceState::absent;
                      s.driverFileInCurrentDir = false;
                    },
                    1, missingLines + copyingLine + copyFailedLines + installedLine + startedLine,
                    1},
        ServiceCase{"SystemDirectoryOf55Characters",
                    [](auto& s) {
                      s.service = sim::ServiceState::absent;
                      s.systemDirectory = std::string(55, 'D');
                    },
                    1, missingLines + longDirLines + installedLine + startedLine, 0},
        ServiceCase{"SystemDirectoryOf54Characters",
                    [](auto& s) {
                      s.service = sim::ServiceState::absent;
                      s.systemDirectory = std::string(54, 'D');
                    },
                    1,
                    missingLines + "PortTalk: Copying driver to " + std::string(54, 'D') +
                        "\\Drivers\\PortTalk.sys\n" + installedLine + startedLine,
                    1},
        ServiceCase{"StartFails",
                    [](auto& s) {
                      s.service = sim::ServiceState::stopped;
                      s.startFails = true;
                    },
                    0, startFailedLines, 0},
        ServiceCase{"UnnamedErrorsAreRetriedSilently",
                    [](auto& s) {
                      s.service = sim::ServiceState::stopped;
                      s.openServiceOtherErrors = 3;
                    },
                    1, startedLine, 0},
        ServiceCase{"ServiceNeverOpensIsBounded", [](auto& s) { s.openServiceOtherErrors = -1; }, 0,
                    "PortTalk: Gave up opening the PortTalk service after 8 attempts.\n", 0},
        ServiceCase{"ServiceNeverRegistersIsBounded",
                    [](auto& s) {
                      s.service = sim::ServiceState::absent;
                      s.serviceNeverRegisters = true;
                    },
                    0,
                    missingLines + copyingLine + installedLine + missingLines + copyingLine +
                        installedLine +
                        "PortTalk: Gave up opening the PortTalk service after 3 attempts.\n",
                    2}),
    test::CaseName());

TEST(DriverService, InstallOverAnExistingServiceSaysSoAndClosesEverything) {
  test::ResetCore(nullptr);
  sim::Services().service = sim::ServiceState::stopped;
  StdoutCapture capture;
  InstallPortDriver();
  EXPECT_EQ(capture.Text(), copyingLine + "PortTalk: Driver already exists. No action taken.\n");
  EXPECT_EQ(sim::Services().lastCopyTarget, "C:\\WINDOWS\\system32\\Drivers\\PortTalk.sys");
  EXPECT_EQ(sim::Services().openHandles, 0);
  test::ResetCore(nullptr);
}

}  // namespace
