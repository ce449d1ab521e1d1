// The status block: sequence lock under a concurrent writer and reader, exclusive creation with an
// owner, refusal of objects that are not ours or still in use, replacement of a stale block, and
// removal by its creator on the way out.
#include "sim/status_block.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "seqlock_check.h"
#include "sim/config.h"
#include "sim/simulated_table.h"

namespace {

std::string UniqueName(const char* what) {
  return std::string("steplink-test-") + what + "-" + std::to_string(getpid());
}

bool Exists(const std::string& name) {
  const int fd = shm_open(("/" + name).c_str(), O_RDONLY, 0);
  if (fd >= 0) close(fd);
  return fd >= 0;
}

// Writes a block image under the name as some other process would have left it.
void Plant(const std::string& name, const void* bytes, std::size_t size) {
  const int fd = shm_open(("/" + name).c_str(), O_CREAT | O_RDWR | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, static_cast<off_t>(size)), 0);
  ASSERT_EQ(pwrite(fd, bytes, size, 0), static_cast<ssize_t>(size));
  close(fd);
}

SteplinkStatusBlock Load(const std::string& name) {
  SteplinkStatusBlock block{};
  const int fd = shm_open(("/" + name).c_str(), O_RDONLY, 0);
  if (fd >= 0) {
    EXPECT_EQ(pread(fd, &block, sizeof(block), 0), static_cast<ssize_t>(sizeof(block)));
    close(fd);
  }
  return block;
}

SteplinkStatusBlock BlockOwnedBy(pid_t pid, std::uint64_t startTime) {
  SteplinkStatusBlock block{};
  block.magic = STEPLINK_STATUS_MAGIC;
  block.version = STEPLINK_STATUS_VERSION;
  block.ownerPid = static_cast<std::uint32_t>(pid);
  block.ownerStartTime = startTime;
  block.table.positionX = 4711;
  return block;
}

TEST(StatusBlockLock, ConcurrentReaderGetsOnlyWholeUpdates) {
  EXPECT_EQ(test::CheckSeqlockConcurrently(100000), "");
}

TEST(StatusBlockLock, WriterLeavesSequenceEvenAndReaderGivesUpOnDeadWriter) {
  SteplinkStatusBlock block{};
  SteplinkStatusTable values{};
  values.positionX = 5;
  sim::WriteSection(block.table, values);
  EXPECT_EQ(block.table.sequence, 2u);
  EXPECT_EQ(block.table.positionX, 5);
  block.table.sequence = 3;  // a writer that died inside an update
  EXPECT_FALSE(sim::ReadSection(block.table, 1000));
  sim::WriteSection(block.table, values);  // the next writer heals it
  EXPECT_EQ(block.table.sequence, 4u);
  EXPECT_TRUE(sim::ReadSection(block.table, 1));
}

TEST(StatusBlockFile, CreatesExclusivelyWithOwnerAndRemovesOnDestruction) {
  const std::string name = UniqueName("create");
  std::string error;
  {
    auto file = sim::StatusBlockFile::Create(name, error);
    ASSERT_TRUE(file) << error;
    EXPECT_TRUE(file->Owned());
    const SteplinkStatusBlock block = Load(name);
    EXPECT_EQ(block.magic, STEPLINK_STATUS_MAGIC);
    EXPECT_EQ(block.version, 2u);
    EXPECT_EQ(block.ownerPid, static_cast<std::uint32_t>(getpid()));
    EXPECT_EQ(block.ownerStartTime, sim::ProcessStartTime(getpid()));
    EXPECT_NE(block.ownerStartTime, 0u);
    EXPECT_EQ(block.table.auxState, -1);
  }
  EXPECT_FALSE(Exists(name));
}

TEST(StatusBlockFile, RefusesObjectsThatAreNotStatusBlocksAndLeavesThemAlone) {
  const std::string name = UniqueName("foreign");
  const char text[] = "someone else's data, not a status block";
  Plant(name, text, sizeof(text));
  std::string error;
  EXPECT_FALSE(sim::StatusBlockFile::Create(name, error));
  EXPECT_NE(error.find("not a status block"), std::string::npos) << error;
  SteplinkStatusBlock wrongMagic = BlockOwnedBy(1, 1);
  wrongMagic.magic = 0x12345678;
  Plant(name, &wrongMagic, sizeof(wrongMagic));
  EXPECT_FALSE(sim::StatusBlockFile::Create(name, error));
  EXPECT_EQ(Load(name).magic, 0x12345678u);  // untouched
  EXPECT_FALSE(sim::RemoveStatusBlock(name));
  shm_unlink(("/" + name).c_str());
}

TEST(StatusBlockFile, RefusesBlockOfLiveProcessAndReplacesStaleOne) {
  const std::string name = UniqueName("owner");
  // A live owner that is neither this process nor its parent: a child that waits.
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  const pid_t live = fork();
  if (live == 0) {
    char byte;
    close(pipeFds[1]);
    (void)!read(pipeFds[0], &byte, 1);
    _exit(0);
  }
  close(pipeFds[0]);
  std::uint64_t started = 0;
  for (int i = 0; i < 1000 && started == 0; ++i) started = sim::ProcessStartTime(live);
  const SteplinkStatusBlock liveBlock = BlockOwnedBy(live, started);
  Plant(name, &liveBlock, sizeof(liveBlock));
  std::string error;
  EXPECT_FALSE(sim::StatusBlockFile::Create(name, error));
  EXPECT_NE(error.find("in use by process " + std::to_string(live)), std::string::npos) << error;
  EXPECT_EQ(Load(name).table.positionX, 4711);

  // The same id with another start time: the id was reused, the owner is gone.
  SteplinkStatusBlock reused = BlockOwnedBy(live, started + 1);
  Plant(name, &reused, sizeof(reused));
  EXPECT_TRUE(sim::StatusBlockFile::Create(name, error)) << error;  // replaced, then removed
  EXPECT_FALSE(Exists(name));

  close(pipeFds[1]);
  waitpid(live, nullptr, 0);
  // The owner has ended: its block is replaced by ours.
  Plant(name, &liveBlock, sizeof(liveBlock));
  {
    auto file = sim::StatusBlockFile::Create(name, error);
    ASSERT_TRUE(file) << error;
    EXPECT_TRUE(file->Owned());
    const SteplinkStatusBlock now = Load(name);
    EXPECT_EQ(now.ownerPid, static_cast<std::uint32_t>(getpid()));
    EXPECT_EQ(now.table.positionX, 0);
  }
  EXPECT_FALSE(Exists(name));
}

TEST(StatusBlockFile, ChildTakesOverItsParentsBlockAndLeavesItInPlace) {
  const std::string name = UniqueName("adopt");
  std::string error;
  auto parentFile = sim::StatusBlockFile::Create(name, error);
  ASSERT_TRUE(parentFile) << error;
  const pid_t child = fork();
  if (child == 0) {
    std::string childError;
    auto adopted = sim::StatusBlockFile::Create(name, childError);
    if (!adopted || adopted->Owned()) _exit(2);
    SteplinkStatusTable values{};
    values.positionY = 99;
    sim::WriteSection(adopted->Block().table, values);
    adopted.reset();
    _exit(Exists(name) ? 0 : 3);
  }
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(Load(name).table.positionY, 99);
  parentFile.reset();
  EXPECT_FALSE(Exists(name));
}

TEST(StatusBlockFile, SimulatedTableRemovesItsBlockWhenTheProcessExits) {
  const std::string name = UniqueName("exit");
  const pid_t child = fork();
  if (child == 0) {
    const sim::ConfigResult parsed = sim::ParseSimConfig("clock=virtual,status=" + name);
    std::string error;
    static std::unique_ptr<sim::PortBackend> table;  // destroyed by exit, as the default one is
    if (parsed.config) table = sim::MakeSimulatedTable(*parsed.config, error);
    std::exit(table && Exists(name) ? 0 : 2);
  }
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_FALSE(Exists(name));
}

TEST(StatusBlockFile, ProcessStartTimeNamesLiveProcessesOnly) {
  EXPECT_NE(sim::ProcessStartTime(getpid()), 0u);
  EXPECT_GE(sim::ProcessStartTime(getpid()), sim::ProcessStartTime(1));
  EXPECT_EQ(sim::ProcessStartTime(0x7FFFFFF0), 0u);
}

}  // namespace
