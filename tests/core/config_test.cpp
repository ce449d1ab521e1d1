// Bad configuration through the library's entries: every malformed STEPLINK_SIM value and an
// unwritable STEPLINK_TRACE path gives one clear line and a visible outcome, never a silent default
// or a crash. Each case runs in a fresh process (the settings are read once per process): this
// test program starts itself with "--probe" and the variable set.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "entry/entry.h"
#include "run_support.h"
#include "sim/substitute.h"
#include "status/status_block.h"

namespace {

using test::ReadFile;

// The probe: a short session as a Java program makes it, results on stdout after the library's
// own lines.
int Probe() {
  const jint opened = Java_JavaToC_openConn(nullptr, nullptr);
  const jint timer = Java_JavaToC_initTimer(nullptr, nullptr);
  const jint moved = Java_JavaToC_vectorOut(nullptr, nullptr, 3, 0, 0);
  const jint closed = Java_JavaToC_closeConn(nullptr, nullptr);
  std::printf("openConn %s initTimer %d vectorOut %d closeConn %d\n",
              opened == 255 ? "255" : "handle", timer, moved, closed);
  return 0;
}

// The blocks steplink-proc-PID-* of process pid in /dev/shm.
std::vector<std::filesystem::path> ProcessBlocks(pid_t pid) {
  const std::string prefix = "steplink-proc-" + std::to_string(pid) + "-";
  std::vector<std::filesystem::path> found;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/dev/shm", error)) {
    if (entry.path().filename().string().rfind(prefix, 0) == 0) found.push_back(entry.path());
  }
  return found;
}

// The probe of the table's own block, as the Java side finds it: this process's
// steplink-proc-PID-* entries, their mode and the owner inside.
int ProbeBlock() {
  const jint opened = Java_JavaToC_openConn(nullptr, nullptr);
  const auto blocks = ProcessBlocks(getpid());
  unsigned mode = 0;
  bool ownerIsSelf = false;
  for (const auto& path : blocks) {
    struct stat info {};
    const int fd = open(path.c_str(), O_RDONLY);
    SteplinkStatusBlock block{};
    if (fd >= 0 && fstat(fd, &info) == 0 && pread(fd, &block, sizeof(block), 0) > 0) {
      mode = info.st_mode & 0777;
      ownerIsSelf = block.ownerPid == static_cast<std::uint32_t>(getpid()) &&
                    info.st_uid == geteuid() && block.magic == STEPLINK_STATUS_MAGIC;
    }
    if (fd >= 0) close(fd);
  }
  Java_JavaToC_closeConn(nullptr, nullptr);
  std::printf("pid %d openConn %s blocks %zu mode %o owner %s\n", static_cast<int>(getpid()),
              opened == 255 ? "255" : "handle", blocks.size(), mode,
              ownerIsSelf ? "self" : "other");
  return 0;
}

struct ProbeRun {
  int exitCode = -1;
  std::string out, err;
};

ProbeRun RunProbe(const std::string& variable, const std::string& value) {
  // ctest runs each case in its own process, several at once: the files carry the pid.
  const std::string stem = ::testing::TempDir() + "config_probe." + std::to_string(getpid());
  const std::string outPath = stem + ".out";
  const std::string errPath = stem + ".err";
  const std::string command = "env -u STEPLINK_SIM -u STEPLINK_TRACE " + variable + "='" + value +
                              "' /proc/" + std::to_string(getpid()) + "/exe --probe >" + outPath +
                              " 2>" + errPath;
  ProbeRun run;
  const int status = std::system(command.c_str());
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.out = ReadFile(outPath);
  run.err = ReadFile(errPath);
  std::remove(outPath.c_str());
  std::remove(errPath.c_str());
  return run;
}

// Without a table behind the device the stand-in answers as a system whose driver failed to
// load: the start fails, which leads to the troubleshooting row that says to check the settings
// (not to the "already running" one, which blames another program).
const std::string openFailed =
    "PortTalk: Unknown error while starting PortTalk driver service.\n"
    "PortTalk: Does PortTalk.SYS exist in your \\System32\\Drivers Directory?\n"
    "PortTalk: Couldn't access PortTalk Driver, Please ensure driver is loaded.\n\n";

struct BadSim {
  const char* value;
  const char* line;
};

TEST(BadConfiguration, EveryMalformedSimSettingNamesItselfAndOpenConnFails) {
  const BadSim cases[] = {
      {"foo=1", "steplink-sim: unknown key 'foo' in STEPLINK_SIM\n"},
      {"clock=fast",
       "steplink-sim: bad value 'fast' for key 'clock' in STEPLINK_SIM "
       "(expected realtime or virtual)\n"},
      {"access-ticks=abc",
       "steplink-sim: bad value 'abc' for key 'access-ticks' in STEPLINK_SIM "
       "(expected an integer from 1 to 65535)\n"},
      {"access-ticks=99999",
       "steplink-sim: bad value '99999' for key 'access-ticks' in "
       "STEPLINK_SIM (expected an integer from 1 to 65535)\n"},
      {"mode=4", "steplink-sim: bad value '4' for key 'mode' in STEPLINK_SIM (expected 2 or 3)\n"},
      {"status-byte=0x1FF",
       "steplink-sim: bad value '0x1FF' for key 'status-byte' in "
       "STEPLINK_SIM (expected a byte such as 0x30)\n"},
      {"limit-x=-5x",
       "steplink-sim: bad value '-5x' for key 'limit-x' in STEPLINK_SIM "
       "(expected a 32-bit integer of steps)\n"},
      {"limit-z=99999999999",
       "steplink-sim: bad value '99999999999' for key 'limit-z' in "
       "STEPLINK_SIM (expected a 32-bit integer of steps)\n"},
      {"clock", "steplink-sim: item 'clock' in STEPLINK_SIM is not key=value\n"},
      {"mode=2, mode = 3",
       "steplink-sim: key 'mode' given twice in STEPLINK_SIM: 'mode=2' and 'mode=3'\n"},
  };
  for (const BadSim& c : cases) {
    SCOPED_TRACE(c.value);
    const ProbeRun run = RunProbe("STEPLINK_SIM", c.value);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.err, c.line);
    EXPECT_EQ(run.out.rfind(openFailed, 0), 0u) << run.out;
    EXPECT_NE(run.out.find("openConn 255 "), std::string::npos) << run.out;
  }
}

TEST(BadConfiguration, UnwritableRecordFileNamesItAndOpenConnFails) {
  const ProbeRun run = RunProbe("STEPLINK_SIM", "clock=virtual,record=/nonexistent-dir/r.txt");
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.err.rfind("steplink-sim: cannot write the record file '/nonexistent-dir/r.txt'", 0),
            0u)
      << run.err;
  EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1);
  EXPECT_EQ(run.out.rfind(openFailed, 0), 0u) << run.out;
  EXPECT_NE(run.out.find("openConn 255 "), std::string::npos) << run.out;
}

// A backend that cannot be set up while the service is absent at start: installation goes its
// usual way, and the start is what fails.
TEST(BadConfiguration, BackendFailureWithAbsentServiceFailsTheStart) {
  const ProbeRun run = RunProbe("STEPLINK_SIM", "service=absent,record=/nonexistent-dir/r.txt");
  EXPECT_NE(run.out.find("PortTalk: Driver successfully installed.\n"), std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find(openFailed), std::string::npos) << run.out;
  EXPECT_EQ(run.out.find("successfully started"), std::string::npos) << run.out;
}

// The test-only reset keeps the service state STEPLINK_SIM gave at load.
TEST(BadConfiguration, ResetSubstituteKeepsTheServiceStateOfTheSettings) {
  const std::string command =
      "env STEPLINK_SIM=service=absent /proc/" + std::to_string(getpid()) + "/exe --probe-reset";
  EXPECT_EQ(WEXITSTATUS(std::system(command.c_str())), 0);
}

// The trace is a diagnostic: a path that cannot be written is reported once, and the table still
// runs (the line says no trace is written).
TEST(BadConfiguration, UnwritableTracePathIsReportedOnceAndTheCallsGoOn) {
  const ProbeRun run = RunProbe("STEPLINK_TRACE", "/nonexistent-dir/trace.txt");
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.out,
            "Trace: cannot write the trace file /nonexistent-dir/trace.txt (STEPLINK_TRACE); no "
            "trace is written.\n"
            "openConn handle initTimer 2 vectorOut 3 closeConn 1\n");
}

TEST(BadConfiguration, GoodSettingsRunQuietly) {
  const ProbeRun run = RunProbe("STEPLINK_SIM", "clock=virtual,mode=3,limit-x=-5");
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.out, "openConn handle initTimer 3 vectorOut 3 closeConn 1\n");
}

// No status block named: the table publishes one per process for the program that loaded it,
// steplink-proc-PID-HEX, mode 0600, removed at exit; blocks of dead processes go first; nothing
// is said on either stream.
TEST(ProcessStatusBlock, PublishedByDefaultPrivateAndRemovedAtExit) {
  const pid_t dead = fork();
  if (dead == 0) {  // a program that was killed with its block in place
    std::string error;
    auto block = status::StatusBlockFile::Create(
        status::MakeBlockName(status::processBlockPrefix, error), error);
    kill(getpid(), SIGKILL);
    _exit(block ? 0 : 1);
  }
  waitpid(dead, nullptr, 0);
  ASSERT_EQ(ProcessBlocks(dead).size(), 1u);

  const std::string stem = ::testing::TempDir() + "config_block." + std::to_string(getpid());
  const std::string command = "env -u STEPLINK_TRACE STEPLINK_SIM=clock=virtual /proc/" +
                              std::to_string(getpid()) + "/exe --probe-block >" + stem + ".out 2>" +
                              stem + ".err";
  ASSERT_EQ(WEXITSTATUS(std::system(command.c_str())), 0);
  const std::string out = ReadFile(stem + ".out");
  const std::string err = ReadFile(stem + ".err");
  std::remove((stem + ".out").c_str());
  std::remove((stem + ".err").c_str());

  int probe = 0;
  ASSERT_EQ(std::sscanf(out.c_str(), "pid %d", &probe), 1) << out;
  EXPECT_EQ(out,
            "pid " + std::to_string(probe) + " openConn handle blocks 1 mode 600 owner self\n");
  EXPECT_EQ(err, "");
  EXPECT_TRUE(ProcessBlocks(probe).empty()) << "left behind at exit";
  EXPECT_TRUE(ProcessBlocks(dead).empty()) << "the dead program's block was not removed";
}

// A status block named in the settings is the only one: no block of the process's own.
TEST(ProcessStatusBlock, NoneWhenTheSettingsNameOne) {
  const std::string name = "steplink-test-named-" + std::to_string(getpid());
  const ProbeRun run = RunProbe("STEPLINK_SIM", "clock=virtual,status=" + name);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.out, "openConn handle initTimer 2 vectorOut 3 closeConn 1\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--probe") == 0) return Probe();
  if (argc == 2 && std::strcmp(argv[1], "--probe-block") == 0) return ProbeBlock();
  if (argc == 2 && std::strcmp(argv[1], "--probe-reset") == 0) {
    sim::Services().service = sim::ServiceState::running;
    sim::ResetSubstitute();
    return sim::Services().service == sim::ServiceState::absent ? 0 : 1;
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
