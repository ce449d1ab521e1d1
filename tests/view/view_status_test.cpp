// steplink view --status NAME end to end: names that cannot name a block are refused at once
// (exit 2), and a block cut short, replaced or removed under the view is reported once while the
// view goes on waiting and ends on Ctrl-C with 0, never by a signal; a FIFO under the name
// never holds it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "run_support.h"
#include "status/status_block.h"
#include "status_source.h"

namespace {

using test::ReadFile;

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Starts `steplink view ARGS` with standard error into errPath.
pid_t StartView(const std::vector<std::string>& args, const fs::path& errPath) {
  const pid_t pid = fork();
  if (pid == 0) {
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(err, 2);
    const int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(null, 1);
    std::vector<const char*> argv = {STEPLINK_RUNNER, "view"};
    for (const std::string& arg : args) argv.push_back(arg.c_str());
    argv.push_back(nullptr);
    execv(STEPLINK_RUNNER, const_cast<char* const*>(argv.data()));
    _exit(127);
  }
  return pid;
}

// The exit status of pid within 10 s, or -1 (the process is then killed).
int WaitExit(pid_t pid) {
  for (int i = 0; i < 1000; ++i) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) {
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    std::this_thread::sleep_for(10ms);
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return -1;
}

// Waits up to 10 s for text to appear in the file.
bool WaitForText(const fs::path& path, const std::string& text) {
  for (int i = 0; i < 1000; ++i) {
    if (ReadFile(path).find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(10ms);
  }
  return false;
}

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t count = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
    ++count;
  }
  return count;
}

class ViewStatus : public test::ScratchDirTest {
 protected:
  ViewStatus() : ScratchDirTest("steplink-view-status") {}
};

TEST_F(ViewStatus, NamesThatCannotNameABlockAreRefusedAtOnce) {
  for (const std::string& bad : {std::string(""), std::string("."), std::string(".."),
                                 std::string("a/b"), std::string(5000, 'n')}) {
    const fs::path err = dir_ / "err.txt";
    const pid_t view = StartView({"--status", bad}, err);
    EXPECT_EQ(WaitExit(view), 2) << "name of " << bad.size() << " bytes";
    EXPECT_NE(ReadFile(err).find("--status"), std::string::npos) << ReadFile(err);
  }
  std::string error;
  EXPECT_FALSE(view::ValidStatusName(std::string(251, 'n'), error));
  EXPECT_TRUE(view::ValidStatusName(std::string(250, 'n'), error)) << error;
}

TEST_F(ViewStatus, BlockCutShortReplacedOrRemovedIsReportedOnceAndWaitedFor) {
  std::string error;
  const std::string name = status::MakeBlockName("steplink-test-view", error);
  auto block = status::StatusBlockFile::Create(name, error);
  ASSERT_TRUE(block) << error;
  const fs::path err = dir_ / "err.txt";
  const pid_t view = StartView({"--status", name}, err);
  ASSERT_TRUE(WaitForText(err, "live view of the status block")) << ReadFile(err);
  std::this_thread::sleep_for(100ms);  // the sampler has mapped the block

  // Cut short under the view (what made it die of SIGBUS), many times.
  const int fd = shm_open(("/" + name).c_str(), O_RDWR, 0);
  ASSERT_GE(fd, 0);
  for (int i = 0; i < 2000; ++i) {
    ASSERT_EQ(ftruncate(fd, i % 2 == 0 ? 0 : STEPLINK_STATUS_SIZE), 0);
  }
  ASSERT_EQ(ftruncate(fd, 0), 0);
  close(fd);
  EXPECT_TRUE(WaitForText(err, "went away"));
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(Count(ReadFile(err), "went away"), 1u) << ReadFile(err);

  // Removed, then made again: the view takes the new block and says so.
  block.reset();
  shm_unlink(("/" + name).c_str());
  block = status::StatusBlockFile::Create(name, error);
  ASSERT_TRUE(block) << error;
  EXPECT_TRUE(WaitForText(err, "is there again")) << ReadFile(err);
  // Removed for good: said once more; the view still runs.
  block.reset();
  EXPECT_TRUE(WaitForText(err, "went away")) << ReadFile(err);
  for (int i = 0; i < 100 && Count(ReadFile(err), "went away") < 2; ++i) {
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_EQ(Count(ReadFile(err), "went away"), 2u) << ReadFile(err);
  int status = 0;
  EXPECT_EQ(waitpid(view, &status, WNOHANG), 0) << "the view ended";

  kill(view, SIGINT);
  EXPECT_EQ(WaitExit(view), 0) << ReadFile(err);
}

// A FIFO planted under the name (anyone may make one in /dev/shm) is refused at once, and one
// planted after the view started never holds the sampler in open: Ctrl-C still ends the view.
TEST_F(ViewStatus, AFifoUnderTheNameIsRefusedAndNeverHangsTheView) {
  std::string error;
  const std::string name = status::MakeBlockName("steplink-test-fifo", error);
  const std::string path = "/dev/shm/" + name;
  ASSERT_EQ(mkfifo(path.c_str(), 0666), 0) << std::strerror(errno);
  const fs::path err = dir_ / "err.txt";
  EXPECT_EQ(WaitExit(StartView({"--status", name}, err)), 2);
  EXPECT_NE(ReadFile(err).find("is not a status block (a FIFO"), std::string::npos)
      << ReadFile(err);
  unlink(path.c_str());

  const pid_t view = StartView({"--status", name}, err);
  ASSERT_TRUE(WaitForText(err, "live view of the status block")) << ReadFile(err);
  ASSERT_EQ(mkfifo(path.c_str(), 0666), 0);
  std::this_thread::sleep_for(300ms);  // the sampler meets the FIFO many times
  kill(view, SIGINT);
  EXPECT_EQ(WaitExit(view), 0) << "the view hung on the FIFO: " << ReadFile(err);
  unlink(path.c_str());
}

}  // namespace
