// Tests of the runner's ways out: exit codes for every abnormal end, refused input, outputs that
// cannot be written, signals to the runner and to its call process (record kept, summary,
// nothing left in the temporary folder or /dev/shm, no call process outliving the runner), and
// pause/resume of the call process at step boundaries.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pty.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "calls/call_child.h"
#include "contract/steplink_contract.h"
#include "outputs/record.h"
#include "run_support.h"
#include "status/status_block.h"
#include "status/status_view.h"

namespace {

using test::ReadFile;

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Running (a zombie waiting for its new parent to reap it counts as ended).
bool Alive(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string pidField, name, state;
  if (!(stat >> pidField >> name >> state)) return false;
  return state != "Z" && state != "X";
}

// Waits up to 10 s for a process to end; true when it has.
bool EndsSoon(pid_t pid) {
  for (int i = 0; i < 1000 && Alive(pid); ++i) std::this_thread::sleep_for(10ms);
  return !Alive(pid);
}

// The runner's own status blocks in /dev/shm ("steplink-run-PID-" and a random part).
std::vector<fs::path> RunBlocks(pid_t runner) {
  const std::string prefix = "steplink-run-" + std::to_string(runner) + "-";
  std::vector<fs::path> found;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator("/dev/shm", error)) {
    if (entry.path().filename().string().rfind(prefix, 0) == 0) found.push_back(entry.path());
  }
  return found;
}

// Waits up to 30 s until the runner's own status block shows X beyond 20 steps, so that a
// signal meets a move in progress however slowly a loaded machine starts the run.
void WaitForSteps(pid_t runner) {
  for (int i = 0; i < 1500; ++i) {
    const std::vector<fs::path> blocks = RunBlocks(runner);
    if (blocks.empty()) {
      std::this_thread::sleep_for(20ms);
      continue;
    }
    std::ifstream in(blocks.front(), std::ios::binary);
    std::int32_t x = 0;
    if (in.seekg(56) && in.read(reinterpret_cast<char*>(&x), sizeof x) && x > 20) return;
    std::this_thread::sleep_for(20ms);
  }
}

class RunnerExit : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("steplink-exit-test-" + std::to_string(getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "tmp");
  }
  void TearDown() override { fs::remove_all(dir_); }

  struct Spawned {
    pid_t pid;
  };
  enum class Input { file, closed };

  // Starts the runner with TMPDIR in the test's folder; stdoutPath empty closes standard output.
  pid_t Start(const std::vector<std::string>& args, const std::string& stdoutPath,
              Input input = Input::file, bool ownGroup = false) {
    const std::string err = (dir_ / "err.txt").string();
    const std::string tmp = (dir_ / "tmp").string();
    const pid_t pid = fork();
    if (pid == 0) {
      if (ownGroup) setpgid(0, 0);
      const int errFd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
      dup2(errFd, 2);
      if (stdoutPath.empty()) {
        close(1);
      } else {
        const int out = open(stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        dup2(out, 1);
      }
      if (input == Input::closed) {
        close(0);
      } else {
        const int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
        dup2(in, 0);
      }
      setenv("TMPDIR", tmp.c_str(), 1);
      unsetenv("STEPLINK_SIM");
      std::vector<const char*> argv{STEPLINK_RUNNER};
      for (const std::string& arg : args) argv.push_back(arg.c_str());
      argv.push_back(nullptr);
      execv(STEPLINK_RUNNER, const_cast<char* const*>(argv.data()));
      _exit(127);
    }
    return pid;
  }

  // Exit code, or 128 + signal; fails the test after the timeout.
  int Finish(pid_t pid, std::chrono::seconds timeout = 20s) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > end) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        ADD_FAILURE() << "the runner did not end in time";
        return -1;
      }
      std::this_thread::sleep_for(10ms);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  int Run(const std::string& script, std::vector<std::string> args,
          const std::string& stdoutPath = "") {
    std::ofstream(dir_ / "job.steplink") << script;
    args.insert(args.begin(), {"run"});
    args.push_back((dir_ / "job.steplink").string());
    return Finish(Start(args, stdoutPath.empty() ? (dir_ / "out.txt").string() : stdoutPath));
  }

  std::string Err() { return ReadFile(dir_ / "err.txt"); }
  std::string Out() { return ReadFile(dir_ / "out.txt"); }

  // The temporary folder and /dev/shm hold nothing of the runner with this process id.
  void ExpectNothingLeft(pid_t runner) {
    EXPECT_TRUE(fs::is_empty(dir_ / "tmp")) << "left in TMPDIR";
    EXPECT_TRUE(RunBlocks(runner).empty()) << "a status block left in /dev/shm";
  }

  // The temporary file an output NAME is written through (.NAME.steplink-XXXXXX beside it);
  // empty when there is none.
  static fs::path TemporaryBeside(const std::string& name) {
    const fs::path path(name);
    const std::string prefix = "." + path.filename().string() + ".steplink-";
    for (const auto& entry : fs::directory_iterator(path.parent_path())) {
      if (entry.path().filename().string().starts_with(prefix)) return entry.path();
    }
    return {};
  }

  // The runner's call process, once it runs.
  pid_t ChildOf(pid_t runner) {
    for (int i = 0; i < 500; ++i) {
      std::ifstream children("/proc/" + std::to_string(runner) + "/task/" + std::to_string(runner) +
                             "/children");
      pid_t child = 0;
      if (children >> child && child > 0) return child;
      std::this_thread::sleep_for(10ms);
    }
    return 0;
  }

  fs::path dir_;
};

const std::string fault = std::string("--library=") + STEPLINK_FAULT_LIBRARY;

TEST_F(RunnerExit, RefusedInputIsExitTwoWithAMessage) {
  // A directory as the script, a closed standard input, an empty script.
  const pid_t directory = Start({"run", dir_.string()}, (dir_ / "out.txt").string());
  EXPECT_EQ(Finish(directory), 2);
  EXPECT_NE(Err().find("is a directory"), std::string::npos) << Err();
  const pid_t closedInput = Start({"run", "-"}, (dir_ / "out.txt").string(), Input::closed);
  EXPECT_EQ(Finish(closedInput), 2);
  EXPECT_NE(Err().find("standard input is closed"), std::string::npos) << Err();
  EXPECT_EQ(Run("# nothing\n", {}), 2);
  EXPECT_NE(Err().find("has no calls"), std::string::npos) << Err();
  // Records that cannot be read back, refused before anything runs, in bounded time.
  for (const char* record : {"record=/dev/full", "record=/dev/stdout", "record=/dev/zero"}) {
    EXPECT_EQ(Run("openConn\nvectorOut 1 0 0\ncloseConn\n", {"--sim", record}), 2) << record;
    EXPECT_NE(Err().find("give a file"), std::string::npos) << record << ": " << Err();
  }
  EXPECT_EQ(Run("openConn\n", {"--trace", (dir_ / "missing/dir/t.txt").string()}), 2);
  EXPECT_NE(Err().find("cannot write the trace"), std::string::npos) << Err();
  EXPECT_EQ(Run("openConn\nvectorOut 1 0 0\n", {"--realtime", "--virtual"}), 2);
  EXPECT_NE(Err().find("contradict"), std::string::npos) << Err();
  // openConn, initTimer and closeConn alone move nothing: refused before openConn.
  EXPECT_EQ(Run("openConn\ninitTimer\ncloseConn\ncloseConn\n", {}), 2);
  EXPECT_NE(Err().find("has no vectorOut, reference, dwell or pause; nothing to run"),
            std::string::npos)
      << Err();
  EXPECT_EQ(Out().find("openConn ->"), std::string::npos) << Out();
}

TEST_F(RunnerExit, EveryAbnormalEndIsExplainedAndFails) {
  // No openConn: every port operation fails; the exit code says so.
  EXPECT_EQ(Run("initTimer\nvectorOut 5 0 0\n", {}), 1);
  EXPECT_NE(Err().find("port operation(s) failed, first: 'Error occured during"), std::string::npos)
      << Err();
  // An exit inside the library.
  EXPECT_EQ(Run("openConn\nvectorOut 3 0 0\ncloseConn\n", {fault}), 1);
  EXPECT_NE(Err().find("ended early with exit status 3"), std::string::npos) << Err();
  // Standard output that cannot take the output.
  EXPECT_EQ(Run("openConn\ninitTimer\nvectorOut 1 0 0\ncloseConn\n", {}, "/dev/full"), 1);
  EXPECT_NE(Err().find("cannot write to standard output"), std::string::npos) << Err();
  // A trace and a plot that cannot be written.
  EXPECT_EQ(Run("openConn\ninitTimer\nvectorOut 1 0 0\ncloseConn\n", {"--trace", "/dev/full"}), 1);
  EXPECT_NE(Err().find("the trace /dev/full is incomplete"), std::string::npos) << Err();
  // A plot that cannot be made is found before anything moves (it used to be found after the
  // job, exit 1): refused, exit 2, nothing called.
  EXPECT_EQ(Run("openConn\ninitTimer\ncloseConn\n", {"--plot", "/nonexistent-dir/x.svg"}), 2);
  EXPECT_NE(Err().find("cannot write the plot /nonexistent-dir/x.svg"), std::string::npos);
  EXPECT_EQ(Out().find("openConn ->"), std::string::npos) << Out();
}

TEST_F(RunnerExit, ClosedStandardOutputDoesNotReceiveTheRecord) {
  std::ofstream(dir_ / "job.steplink") << "openConn\ninitTimer\nvectorOut 30 20 0\ncloseConn\n";
  const pid_t runner = Start({"run", (dir_ / "job.steplink").string(), "--plot",
                              (dir_ / "p.svg").string(), "--record", (dir_ / "r.rec").string()},
                             "");
  EXPECT_EQ(Finish(runner), 0) << Err();
  const tool::Record record = tool::ReadRecordFile((dir_ / "r.rec").string());
  EXPECT_EQ(record.refused, "");
  EXPECT_TRUE(record.errors.empty());
  EXPECT_EQ(record.steps.size(), 50u);
  EXPECT_NE(ReadFile(dir_ / "p.svg").find("X (30 steps)"), std::string::npos);
}

TEST_F(RunnerExit, BareLibraryNameIsAFileInTheCurrentDirectory) {
  std::ofstream(dir_ / "job.steplink") << "openConn\ninitTimer\nvectorOut 1 0 0\ncloseConn\n";
  const fs::path library(STEPLINK_STANDARD_LIBRARY);
  const fs::path here = fs::current_path();
  fs::current_path(library.parent_path());
  const pid_t runner =
      Start({"run", (dir_ / "job.steplink").string(), "--library", library.filename().string()},
            (dir_ / "out.txt").string());
  fs::current_path(dir_);  // no such file here
  const pid_t missing =
      Start({"run", (dir_ / "job.steplink").string(), "--library", library.filename().string()},
            (dir_ / "out2.txt").string());
  fs::current_path(here);
  EXPECT_EQ(Finish(runner), 0) << Err();
  EXPECT_NE(Out().find("with the library " + fs::canonical(library).string()), std::string::npos)
      << Out();
  EXPECT_EQ(Finish(missing), 2);
}

// Every signal that ends a run: the record up to the signal, the summary marked, 128 + N (130
// for Ctrl-C), nothing left behind and no call process left.
TEST_F(RunnerExit, SignalsToTheRunnerStopTheRunAndCleanUp) {
  std::ofstream(dir_ / "job.steplink") << "openConn\ninitTimer\nvectorOut 30000 0 0\ncloseConn\n";
  std::vector<int> signals = {SIGINT,  SIGTERM, SIGHUP,    SIGQUIT,  SIGUSR1,      SIGUSR2,
                              SIGPIPE, SIGALRM, SIGVTALRM, SIGPROF,  SIGXCPU,      SIGXFSZ,
                              SIGIO,   SIGPWR,  SIGSYS,    SIGRTMIN, SIGRTMIN + 1, SIGRTMAX};
  for (const int signal : signals) {
    const bool toGroup = signal == SIGINT;  // Ctrl-C reaches the whole process group
    const std::string record = (dir_ / "r.rec").string();
    fs::remove(record);
    const pid_t runner = Start({"run", (dir_ / "job.steplink").string(), "--realtime", "--plot",
                                (dir_ / "p.svg").string(), "--record", record},
                               (dir_ / "out.txt").string(), Input::file, toGroup);
    const pid_t child = ChildOf(runner);
    ASSERT_GT(child, 0);
    WaitForSteps(runner);
    kill(toGroup ? -runner : runner, signal);

    EXPECT_EQ(Finish(runner), signal == SIGINT ? 130 : 128 + signal) << signal << ": " << Err();
    EXPECT_NE(Out().find("summary (interrupted by SIG"), std::string::npos) << signal << Out();
    EXPECT_EQ(Out().find("steps      0\n"), std::string::npos) << Out();
    EXPECT_EQ(Err().find("incomplete"), std::string::npos) << Err();  // no tail was lost
    EXPECT_NE(ReadFile(dir_ / "p.svg").find("interrupted by SIG"), std::string::npos);
    // The interrupted job's record is put in place, its temporary file gone.
    EXPECT_GT(tool::ReadRecordFile(record).steps.size(), 0u) << signal;
    EXPECT_TRUE(TemporaryBeside(record).empty()) << signal;
    EXPECT_TRUE(EndsSoon(child)) << "call process outlived the runner, signal " << signal;
    ExpectNothingLeft(runner);
  }
}

// A failed openConn ends the job: no further call, the reason as the last line before the
// summary, exit 1. --keep-going makes every call anyway.
TEST_F(RunnerExit, FailedOpenConnEndsTheJobUnlessKeepGoing) {
  const std::string script = "openConn\ninitTimer\nvectorOut 500 0 0\ncloseConn\n";
  // The simulated driver runs, but its device does not open.
  const std::vector<std::string> unopenable = {"--sim", "service=no-device"};
  EXPECT_EQ(Run(script, unopenable), 1);
  EXPECT_NE(Out().find("openConn -> 255"), std::string::npos) << Out();
  EXPECT_EQ(Out().find("initTimer ->"), std::string::npos) << Out();
  EXPECT_NE(Err().find("openConn failed (255)"), std::string::npos) << Err();

  std::vector<std::string> keepGoing = unopenable;
  keepGoing.push_back("--keep-going");
  EXPECT_EQ(Run(script, keepGoing), 1);
  EXPECT_NE(Out().find("initTimer ->"), std::string::npos) << Out();
  EXPECT_NE(Out().find("closeConn ->"), std::string::npos);
  // The library's failure lines of every call come in repeating groups: shown with a count,
  // all of them with --verbatim.
  EXPECT_NE(Out().find(" more times)\n"), std::string::npos) << Out();
  EXPECT_LT(Out().size(), 64u << 10) << "the failure lines were not collapsed";
  keepGoing.push_back("--verbatim");
  EXPECT_EQ(Run("openConn\nvectorOut 20 0 0\ncloseConn\n", keepGoing), 1);
  EXPECT_EQ(Out().find(" more times)\n"), std::string::npos);
  const std::string verbatim = Out();
  EXPECT_GT(std::count(verbatim.begin(), verbatim.end(), '\n'), 200) << verbatim;

  // A real device that is not there: the steplink-hw line closes the explanation, and the
  // settings say where the clock came from.
  EXPECT_EQ(Run(script, {"--device", "parport:0x9990"}), 1);
  EXPECT_EQ(Out().find("initTimer ->"), std::string::npos) << Out();
  EXPECT_NE(Out().find("clock=realtime (device)"), std::string::npos) << Out();
  const std::string err = Err();
  const std::size_t lastLine = err.rfind('\n', err.size() - 2);
  EXPECT_EQ(err.compare(lastLine + 1, 13, "steplink-hw: "), 0) << err;
}

// Outputs are checked before anything moves; a clash names both sides, exit 2, nothing written.
TEST_F(RunnerExit, OutputsAreCheckedBeforeAnythingMoves) {
  const std::string script = "openConn\ninitTimer\nvectorOut 5 0 0\ncloseConn\n";
  const std::string job = (dir_ / "job.steplink").string();
  EXPECT_EQ(Run(script, {"--plot", job}), 2);
  EXPECT_NE(Err().find("the plot " + job + " is the same file as the script " + job),
            std::string::npos)
      << Err();
  EXPECT_EQ(ReadFile(job), script);
  EXPECT_EQ(Out().find("openConn ->"), std::string::npos);
  const std::string r = (dir_ / "r").string();
  EXPECT_EQ(Run(script, {"--record", r, "--plot", r}), 2);
  EXPECT_NE(Err().find("same file as the record " + r), std::string::npos) << Err();
  EXPECT_EQ(Run(script, {"--record", r, "--trace", r}), 2);
  EXPECT_FALSE(fs::exists(r));
  // A record named in the settings is an output too.
  EXPECT_EQ(Run(script, {"--sim", "record=" + job}), 2);
  EXPECT_NE(Err().find("the record " + job + " is the same file as the script " + job),
            std::string::npos)
      << Err();
  EXPECT_EQ(ReadFile(job), script);
  EXPECT_EQ(Run(script, {"--sim", "clock=virtual,record=" + r, "--plot", r}), 2);
  EXPECT_NE(Err().find("the plot " + r + " is the same file as the record " + r), std::string::npos)
      << Err();
  EXPECT_FALSE(fs::exists(r));
  EXPECT_EQ(Run(script, {"--plot", dir_.string()}), 2);
  EXPECT_NE(Err().find("is a directory"), std::string::npos) << Err();
  // A device as the plot is written directly and never removed, even when it fails.
  EXPECT_EQ(Run(script, {"--plot", "/dev/full"}), 1);
  EXPECT_NE(Err().find("cannot write the plot /dev/full"), std::string::npos) << Err();
  EXPECT_TRUE(fs::is_character_file("/dev/full")) << "/dev/full was removed";
  for (const auto& entry : fs::directory_iterator(dir_)) {
    EXPECT_EQ(entry.path().filename().string().find(".steplink-"), std::string::npos)
        << "a temporary output was left: " << entry.path();
  }
}

// The record is written by replace: complete, it takes the old one's place; a job refused after
// the checks (here: the view's port is taken) leaves the old record as it was.
TEST_F(RunnerExit, RecordReplacesTheOldOneOnlyWhenTheJobRan) {
  const std::string script = "openConn\ninitTimer\nvectorOut 5 0 0\ncloseConn\n";
  const std::string record = (dir_ / "r.rec").string();
  std::ofstream(record) << "old";
  const int taken = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  ASSERT_EQ(listen(taken, 1), 0);
  ASSERT_EQ(getsockname(taken, reinterpret_cast<sockaddr*>(&address), &length), 0);
  const std::string port = std::to_string(ntohs(address.sin_port));

  EXPECT_EQ(Run(script, {"--record", record, "--view", "--view-port", port}), 2) << Err();
  close(taken);
  EXPECT_EQ(ReadFile(record), "old");
  EXPECT_TRUE(TemporaryBeside(record).empty()) << "the temporary record was left";

  EXPECT_EQ(Run(script, {"--record", record}), 0) << Err();
  EXPECT_EQ(tool::ReadRecordFile(record).steps.size(), 5u);
  EXPECT_TRUE(TemporaryBeside(record).empty()) << "the temporary record was left";
}

// A full disk never costs the good record already there: a record the table could not write
// whole (no room before the job, or the disk filled during it) is not put into place, the run
// fails saying so, and no temporary file is left. Needs root to mount a small tmpfs.
TEST_F(RunnerExit, AFullDiskKeepsTheOldRecord) {
  const fs::path disk = dir_ / "disk";
  fs::create_directories(disk);
  if (mount("tmpfs", disk.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=4m") != 0) {
    GTEST_SKIP() << "cannot mount a small tmpfs to fill (" << std::strerror(errno)
                 << "): needs root";
  }
  struct Unmount {
    fs::path at;
    ~Unmount() { umount2(at.c_str(), MNT_DETACH); }
  } unmount{disk};
  const std::string record = (disk / "r.rec").string();
  const std::string shortJob = "openConn\ninitTimer\nvectorOut 5 0 0\ncloseConn\n";
  ASSERT_EQ(Run(shortJob, {"--record", record, "--quiet"}), 0) << Err();
  const std::string good = ReadFile(record);
  ASSERT_EQ(tool::ReadRecordFile(record).steps.size(), 5u);

  // Fills the disk but for `leftBytes` (rounded to the filesystem's pages).
  auto fill = [&](std::size_t leftBytes) {
    const fs::path filler = disk / "filler";
    fs::remove(filler);
    std::ofstream out(filler, std::ios::binary);
    const std::string block(4096, 'f');
    while (fs::space(disk).available > leftBytes && out.write(block.data(), block.size()) &&
           out.flush()) {
    }
  };
  fill(0);
  EXPECT_EQ(Run(shortJob, {"--record", record}), 1) << "no room before the job";
  EXPECT_EQ(ReadFile(record), good);
  EXPECT_NE(Err().find("was not replaced"), std::string::npos) << Err();
  EXPECT_TRUE(TemporaryBeside(record).empty()) << "the temporary record was left";

  // Room for the table's first 1 MiB of record (it reserves that much at a time), not for the
  // 1.5 MB that 60000 steps take.
  fill(std::size_t{1536} << 10);
  EXPECT_EQ(Run("openConn\ninitTimer\nvectorOut 30000 0 0\nvectorOut -30000 0 0\ncloseConn\n",
                {"--record", record}),
            1)
      << "the disk filled during the job";
  EXPECT_EQ(ReadFile(record), good);
  EXPECT_NE(Err().find("was not replaced"), std::string::npos) << Err();
  EXPECT_TRUE(TemporaryBeside(record).empty()) << "the temporary record was left";
  fs::remove(disk / "filler");
  EXPECT_EQ(Run(shortJob, {"--record", record, "--quiet"}), 0) << "room again: " << Err();
}

// The temporary record a SIGKILLed runner left beside the record is removed by the next run of
// that output; another user's file of that shape, and one whose lock a live process holds, stay.
TEST_F(RunnerExit, DeadRunsTemporariesAreRemovedByTheNextRun) {
  std::ofstream(dir_ / "job.steplink") << "openConn\ninitTimer\nvectorOut 30000 0 0\ncloseConn\n";
  const std::string record = (dir_ / "r.rec").string();
  const pid_t runner =
      Start({"run", (dir_ / "job.steplink").string(), "--realtime", "--record", record},
            (dir_ / "out.txt").string());
  ASSERT_GT(ChildOf(runner), 0);
  fs::path left;
  for (int i = 0; i < 500 && left.empty(); ++i) {
    left = TemporaryBeside(record);
    std::this_thread::sleep_for(10ms);
  }
  ASSERT_FALSE(left.empty()) << "no temporary record while the job ran";
  EXPECT_NE(left.filename().string().find(".steplink-" + std::to_string(runner) + "-"),
            std::string::npos)
      << "the name says whose it is: " << left;
  kill(runner, SIGKILL);
  EXPECT_EQ(Finish(runner), 128 + SIGKILL);
  for (int i = 0; i < 500 && Alive(ChildOf(runner)); ++i) std::this_thread::sleep_for(10ms);
  ASSERT_TRUE(fs::exists(left)) << "SIGKILL leaves it (nothing can remove it then)";

  // Another user's, and a live holder's (this test process, locked), of the same shape.
  const fs::path foreign = dir_ / ".r.rec.steplink-999999-abcdef";
  const fs::path held = dir_ / ".r.rec.steplink-999998-ghijkl";
  std::ofstream(foreign) << "not ours";
  std::ofstream(held) << "held";
  const int heldFd = open(held.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(flock(heldFd, LOCK_EX), 0);
  const bool root = geteuid() == 0;
  if (root) {
    ASSERT_EQ(chown(foreign.c_str(), 65534, 65534), 0);
  }

  EXPECT_EQ(Run("openConn\ninitTimer\nvectorOut 5 0 0\ncloseConn\n", {"--record", record}), 0)
      << Err();
  EXPECT_FALSE(fs::exists(left)) << "the dead run's temporary record stayed";
  EXPECT_TRUE(fs::exists(held)) << "a locked one was removed";
  if (root) {
    EXPECT_TRUE(fs::exists(foreign)) << "another user's file was removed";
  }
  close(heldFd);
  EXPECT_EQ(tool::ReadRecordFile(record).steps.size(), 5u);
}

// A block that a SIGKILLed run left behind is removed by the next run.
TEST_F(RunnerExit, StaleRunBlocksAreRemovedAtStart) {
  const pid_t owner = fork();
  if (owner == 0) {
    std::string error;
    auto block = status::StatusBlockFile::Create("steplink-run-" + std::to_string(getpid()), error);
    _exit(block != nullptr ? 0 : 1);  // no destructor: the block stays, as after SIGKILL
  }
  int status = 0;
  waitpid(owner, &status, 0);
  ASSERT_EQ(WEXITSTATUS(status), 0);
  const std::string stale = "/dev/shm/steplink-run-" + std::to_string(owner);
  ASSERT_TRUE(fs::exists(stale));

  EXPECT_EQ(Run("openConn\ninitTimer\nvectorOut 5 0 0\ncloseConn\n", {"--quiet"}), 0) << Err();

  EXPECT_FALSE(fs::exists(stale));
  if (fs::exists(stale)) shm_unlink(stale.c_str() + 8);
}

TEST_F(RunnerExit, KilledRunnerTakesItsCallProcessAlong) {
  std::ofstream(dir_ / "job.steplink") << "openConn\nvectorOut 4 0 0\n";
  const pid_t runner = Start({"run", (dir_ / "job.steplink").string(), fault, "--quiet"},
                             (dir_ / "out.txt").string());
  const pid_t child = ChildOf(runner);
  ASSERT_GT(child, 0);
  std::this_thread::sleep_for(300ms);
  kill(runner, SIGKILL);
  EXPECT_EQ(Finish(runner), 128 + SIGKILL);
  EXPECT_TRUE(EndsSoon(child));
  // The record was a removed file from the start. (The status block's name stays; the next
  // block of that name replaces it, as its owner is gone.)
  EXPECT_TRUE(fs::is_empty(dir_ / "tmp"));
}

TEST_F(RunnerExit, RecordSurvivesTheCallProcessBeingKilled) {
  std::ofstream(dir_ / "job.steplink") << "openConn\ninitTimer\nvectorOut 30000 0 0\ncloseConn\n";
  const std::string record = (dir_ / "r.rec").string();
  const pid_t runner =
      Start({"run", (dir_ / "job.steplink").string(), "--realtime", "--record", record},
            (dir_ / "out.txt").string());
  const pid_t child = ChildOf(runner);
  ASSERT_GT(child, 0);
  // Kill it once more than 50 steps are in the record (a loaded machine starts slowly). The
  // record is written by replace: a temporary file beside its name until the job has ended.
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  while (std::chrono::steady_clock::now() < deadline) {
    const fs::path temporary = TemporaryBeside(record);
    std::ifstream in(temporary);
    const auto steps = std::count(std::istreambuf_iterator<char>(in), {}, '\n');
    if (steps > 60) break;
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_FALSE(fs::exists(record)) << "the record was written in place";
  kill(child, SIGKILL);

  EXPECT_EQ(Finish(runner), 1);
  EXPECT_NE(Err().find("the call process ended on signal 9"), std::string::npos) << Err();
  EXPECT_EQ(Err().find("record line"), std::string::npos) << Err();
  const tool::Record kept = tool::ReadRecordFile(record);
  EXPECT_TRUE(TemporaryBeside(record).empty()) << "the temporary record was left";
  EXPECT_EQ(kept.refused, "");
  EXPECT_TRUE(kept.errors.empty());
  EXPECT_EQ(kept.zeroTailBytes, 0u);  // cut to its lines by the runner
  EXPECT_GT(kept.steps.size(), 50u);
  EXPECT_NE(Out().find("steps      " + std::to_string(kept.steps.size())), std::string::npos)
      << Out();
  ExpectNothingLeft(runner);
}

// On a terminal the progress line is redrawn in place and erased before any other output and
// at the end, so none of it stays mixed into what the run prints.
TEST_F(RunnerExit, ProgressLineIsErasedBeforeOutputAndAtTheEnd) {
  std::ofstream(dir_ / "job.steplink")
      << "openConn\ninitTimer\nvectorOut 450 0 0\nvectorOut -450 0 0\ncloseConn\n";
  int terminal = -1;
  const pid_t runner = forkpty(&terminal, nullptr, nullptr, nullptr);
  ASSERT_GE(runner, 0);
  if (runner == 0) {
    execl(STEPLINK_RUNNER, STEPLINK_RUNNER, "run", (dir_ / "job.steplink").c_str(), "--realtime",
          static_cast<char*>(nullptr));
    _exit(127);
  }
  std::string screen;
  char buffer[4096];
  for (ssize_t got; (got = read(terminal, buffer, sizeof(buffer))) > 0;) screen.append(buffer, got);
  close(terminal);
  EXPECT_EQ(Finish(runner), 0) << screen;

  // A progress line ends "... simulated 1.23 s" and the erase of the rest of the line.
  const std::size_t lastProgress = screen.rfind(" s\033[K");
  ASSERT_NE(lastProgress, std::string::npos) << "no progress shown: " << screen;
  const std::size_t erased = screen.find("\r\033[K", lastProgress);
  ASSERT_NE(erased, std::string::npos) << "the last progress line stays";
  EXPECT_LT(erased, screen.find("summary", lastProgress));
  // Every call line starts on a clean line: an erase comes between a progress line and it.
  for (std::size_t at = screen.find(" s\033[K"); at != std::string::npos;
       at = screen.find(" s\033[K", at + 1)) {
    const std::size_t next = screen.find(" -> ", at);
    if (next == std::string::npos) break;
    EXPECT_LT(screen.find("\r\033[K", at), next) << screen.substr(at, next - at);
  }
}

// A job's steps from a list, for the call process's tests.
class ListSource final : public tool::JobSource {
 public:
  explicit ListSource(std::vector<tool::ScriptCall> calls) : calls_(std::move(calls)) {
    info_.stepCount = calls_.size();
    info_.hasWork = true;
  }
  const tool::JobInfo& Info() const override { return info_; }
  std::optional<tool::JobStep> Next() override {
    if (next_ >= calls_.size()) return std::nullopt;
    tool::JobStep step;
    step.entry = calls_[next_].entry;
    step.args = calls_[next_++].args;
    return step;
  }

 private:
  tool::JobInfo info_;
  std::vector<tool::ScriptCall> calls_;
  std::size_t next_ = 0;
};

// The call process pauses at the next step boundary and goes on when resumed; it shows both in
// the status block's job section, which it alone writes.
TEST(CallChildControl, PauseHoldsTheNextCallUntilResumed) {
  const std::string name = "steplink-pause-test-" + std::to_string(getpid());
  std::string error;
  auto block = status::StatusBlockFile::Create(name, error);
  ASSERT_NE(block, nullptr) << error;
  ListSource source(std::vector<tool::ScriptCall>(4, {tool::Entry::initTimer, {}, 1}));
  tool::ChildOptions options;
  options.libraryPath = STEPLINK_FAULT_LIBRARY;
  options.printCalls = false;
  options.statusName = name;
  options.info = source.Info();
  tool::CallChild child;

  ASSERT_TRUE(child.Start(options, error)) << error;
  child.RequestPause();
  std::atomic<bool> heldWithNoCallDone{false};
  std::thread watcher([&] {
    status::StatusView view;
    // Up to 10 s on a loaded machine for the pause to take hold, then 200 ms of nothing moving.
    for (int i = 0; i < 1000; ++i) {
      std::optional<SteplinkStatusJob> job;
      if (view.Open(name)) job = view.ReadJob();
      if (job && job->state == STEPLINK_JOB_PAUSED) {
        std::this_thread::sleep_for(200ms);
        const auto later = view.ReadJob();
        heldWithNoCallDone = later && later->state == STEPLINK_JOB_PAUSED && later->callIndex == 0;
        break;
      }
      std::this_thread::sleep_for(10ms);
    }
    child.RequestResume();
  });
  const tool::ChildOutcome outcome = child.Wait(source);
  watcher.join();
  status::StatusView view;
  ASSERT_TRUE(view.Open(name));
  const auto job = view.ReadJob();
  block.reset();
  shm_unlink(("/" + name).c_str());

  EXPECT_EQ(outcome.end, tool::ChildOutcome::End::completed);
  EXPECT_TRUE(heldWithNoCallDone) << "calls went on while paused";
  ASSERT_TRUE(job);
  EXPECT_EQ(job->state, STEPLINK_JOB_ENDED);
  EXPECT_EQ(job->callIndex, 4u);
  EXPECT_EQ(outcome.stepsSent, 4u);
}

TEST(CallChildControl, StopEndsTheCallsLikeCtrlC) {
  ListSource source({{tool::Entry::vectorOut, {4, 0, 0}, 1}});  // never returns
  tool::ChildOptions options;
  options.libraryPath = STEPLINK_FAULT_LIBRARY;
  tool::CallChild child;
  std::string error;

  ASSERT_TRUE(child.Start(options, error)) << error;
  std::thread stopper([&] {
    std::this_thread::sleep_for(200ms);
    child.RequestStop();
  });
  const tool::ChildOutcome outcome = child.Wait(source);
  stopper.join();

  EXPECT_EQ(outcome.end, tool::ChildOutcome::End::signalled);
  EXPECT_EQ(outcome.code, SIGINT);
  EXPECT_EQ(outcome.stopSignal, SIGINT);
  EXPECT_NE(tool::Explain(outcome).find("stopped by SIGINT"), std::string::npos);
}

// openConn's failure is explained by what served the device: the simulated table for no
// STEPLINK_DEVICE, "sim" and the simulated table's refused options; a real port for the kinds the
// backend table marks as hardware (the steplink-hw line above then says why).
TEST(RunnerExplain, OpenFailureNamesTheDeviceKind) {
  const char* before = std::getenv("STEPLINK_DEVICE");
  const std::string saved = before != nullptr ? before : "";
  tool::ChildOutcome outcome;
  outcome.end = tool::ChildOutcome::End::openFailed;
  const auto explained = [&](const char* device) {
    if (device == nullptr) {
      unsetenv("STEPLINK_DEVICE");
    } else {
      setenv("STEPLINK_DEVICE", device, 1);
    }
    return tool::Explain(outcome);
  };
  const std::string simulated = "the simulated table did not open";
  const std::string real = "the device (STEPLINK_DEVICE) did not open";
  EXPECT_NE(explained(nullptr).find(simulated), std::string::npos);
  EXPECT_NE(explained("").find(simulated), std::string::npos);
  EXPECT_NE(explained("sim").find(simulated), std::string::npos);
  EXPECT_NE(explained("sim,timer=pit").find(simulated), std::string::npos);
  EXPECT_NE(explained("parport:0").find(real), std::string::npos);
  EXPECT_NE(explained("parport:/dev/parport0,timer=pit").find(real), std::string::npos);
  EXPECT_NE(explained("direct:0x378").find(real), std::string::npos);
  if (before != nullptr) {
    setenv("STEPLINK_DEVICE", saved.c_str(), 1);
  } else {
    unsetenv("STEPLINK_DEVICE");
  }
}

}  // namespace
