// The runner and the status block name it is given: a block in use by another run or an object
// that is not a status block is refused before anything runs and left alone; a stale block is
// replaced; the runner's block is gone when it ends.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "run_support.h"
#include "status/status_block.h"

namespace fs = std::filesystem;

namespace {

using test::ReadFile;

using test::RunResult;

class RunnerStatusBlock : public ::testing::Test {
 protected:
  void SetUp() override {
    name_ = "steplink-runner-status-" + std::to_string(getpid());
    dir_ = fs::temp_directory_path() / name_;
    fs::create_directories(dir_);
    std::ofstream(dir_ / "job.steplink") << "openConn\ninitTimer\nvectorOut 5 0 0\ncloseConn\n";
  }
  void TearDown() override {
    shm_unlink(("/" + name_).c_str());
    fs::remove_all(dir_);
  }

  RunResult Run() {
    return test::RunShell(std::string(STEPLINK_RUNNER) + " run --sim status=" + name_ + " " +
                              (dir_ / "job.steplink").string(),
                          dir_);
  }

  void Plant(const void* bytes, std::size_t size) {
    const int fd = shm_open(("/" + name_).c_str(), O_CREAT | O_RDWR | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, static_cast<off_t>(size)), 0);
    ASSERT_EQ(pwrite(fd, bytes, size, 0), static_cast<ssize_t>(size));
    close(fd);
  }

  std::string Contents() {
    const int fd = shm_open(("/" + name_).c_str(), O_RDONLY, 0);
    if (fd < 0) return "<none>";
    char bytes[512];
    const ssize_t length = pread(fd, bytes, sizeof(bytes), 0);
    close(fd);
    return std::string(bytes, length > 0 ? static_cast<std::size_t>(length) : 0);
  }

  std::string name_;
  fs::path dir_;
};

TEST_F(RunnerStatusBlock, BlockOfAnotherLiveRunIsRefusedAndKept) {
  int gate[2];
  ASSERT_EQ(pipe(gate), 0);
  const pid_t other = fork();
  if (other == 0) {  // another run holding the name
    close(gate[1]);
    std::string error;
    auto block = status::StatusBlockFile::Create(name_, error);
    char byte;
    (void)!read(gate[0], &byte, 1);
    const bool made = block != nullptr;
    block.reset();  // _exit runs no destructors
    _exit(made ? 0 : 1);
  }
  close(gate[0]);
  const std::string path = "/dev/shm/" + name_;
  // Wait until the other run's block is complete (its magic, "SLST" little-endian, comes last).
  for (int i = 0; i < 2000 && Contents().substr(0, 4) != "SLST"; ++i) usleep(1000);
  const std::string before = Contents();

  const RunResult result = Run();

  EXPECT_EQ(result.exitCode, 2) << result.out << result.err;
  EXPECT_NE(result.err.find("in use by process " + std::to_string(other)), std::string::npos)
      << result.err;
  EXPECT_EQ(result.out.find("openConn"), std::string::npos) << "nothing runs";
  EXPECT_EQ(Contents(), before);
  close(gate[1]);
  int status = 0;
  waitpid(other, &status, 0);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_FALSE(fs::exists(path)) << "its creator removes it";
}

TEST_F(RunnerStatusBlock, ObjectThatIsNoStatusBlockIsRefusedUntouched) {
  const std::string foreign = "a shared-memory object of some other program";
  Plant(foreign.data(), foreign.size());

  const RunResult result = Run();

  EXPECT_EQ(result.exitCode, 2) << result.out << result.err;
  EXPECT_NE(result.err.find("is not a status block"), std::string::npos) << result.err;
  EXPECT_EQ(Contents(), foreign);
}

TEST_F(RunnerStatusBlock, StaleBlockOfAKilledRunIsReplacedAndRemovedAtTheEnd) {
  const pid_t gone = fork();
  if (gone == 0) _exit(0);
  waitpid(gone, nullptr, 0);
  SteplinkStatusBlock stale{};
  stale.magic = STEPLINK_STATUS_MAGIC;
  stale.version = STEPLINK_STATUS_VERSION;
  stale.ownerPid = static_cast<std::uint32_t>(gone);
  stale.ownerStartTime = 12345;
  stale.table.sequence = 7;  // killed inside an update
  Plant(&stale, sizeof(stale));

  const RunResult result = Run();

  EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
  EXPECT_NE(result.out.find("position   x 5  y 0  z 0"), std::string::npos) << result.out;
  EXPECT_FALSE(fs::exists("/dev/shm/" + name_));
}

}  // namespace
