// The status block: sequence lock under a concurrent writer and reader, exclusive creation with an
// owner (mode 0600, unpredictable names), refusal of objects that are not ours or still in use,
// replacement and clean-up of stale blocks, removal by its creator on the way out, the reader on a
// block cut short, removed or replaced under it, and the one table of names.
#include "status/status_block.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <regex>
#include <set>
#include <string>
#include <thread>

#include "seqlock_check.h"
#include "sim/config.h"
#include "sim/simulated_table.h"
#include "sim/table_model.h"
#include "status/names.h"
#include "status/status_view.h"

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
  status::WriteSection(block.table, values);
  EXPECT_EQ(block.table.sequence, 2u);
  EXPECT_EQ(block.table.positionX, 5);
  block.table.sequence = 3;  // a writer that died inside an update
  EXPECT_FALSE(status::ReadSection(block.table, 1000));
  status::WriteSection(block.table, values);  // the next writer heals it
  EXPECT_EQ(block.table.sequence, 4u);
  EXPECT_TRUE(status::ReadSection(block.table, 1));
}

TEST(StatusBlockFile, CreatesExclusivelyWithOwnerAndRemovesOnDestruction) {
  const std::string name = UniqueName("create");
  std::string error;
  {
    auto file = status::StatusBlockFile::Create(name, error);
    ASSERT_TRUE(file) << error;
    EXPECT_TRUE(file->Owned());
    const SteplinkStatusBlock block = Load(name);
    EXPECT_EQ(block.magic, STEPLINK_STATUS_MAGIC);
    EXPECT_EQ(block.version, 3u);  // the plan entry in the job section
    EXPECT_EQ(block.ownerPid, static_cast<std::uint32_t>(getpid()));
    EXPECT_EQ(block.ownerStartTime, status::ProcessStartTime(getpid()));
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
  EXPECT_FALSE(status::StatusBlockFile::Create(name, error));
  EXPECT_NE(error.find("not a status block"), std::string::npos) << error;
  SteplinkStatusBlock wrongMagic = BlockOwnedBy(1, 1);
  wrongMagic.magic = 0x12345678;
  Plant(name, &wrongMagic, sizeof(wrongMagic));
  EXPECT_FALSE(status::StatusBlockFile::Create(name, error));
  EXPECT_EQ(Load(name).magic, 0x12345678u);  // untouched
  EXPECT_FALSE(status::RemoveStatusBlock(name));
  shm_unlink(("/" + name).c_str());
}

TEST(StatusBlockReader, RefusesABlockOfAnotherLayoutVersionAndSaysSo) {
  const std::string name = UniqueName("version");
  SteplinkStatusBlock older = BlockOwnedBy(getpid(), 1);
  older.version = STEPLINK_STATUS_VERSION - 1;
  Plant(name, &older, sizeof(older));
  status::StatusView reader;
  EXPECT_FALSE(reader.Open(name));
  const std::string& why = reader.Refusal();
  EXPECT_NE(why.find("layout version " + std::to_string(STEPLINK_STATUS_VERSION - 1)),
            std::string::npos)
      << why;
  EXPECT_NE(why.find("reads version " + std::to_string(STEPLINK_STATUS_VERSION)), std::string::npos)
      << why;
  // This version's block opens, and no refusal is left over.
  SteplinkStatusBlock current = BlockOwnedBy(getpid(), 1);
  Plant(name, &current, sizeof(current));
  EXPECT_TRUE(reader.Open(name));
  EXPECT_TRUE(reader.Refusal().empty());
  reader.Close();
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
  for (int i = 0; i < 1000 && started == 0; ++i) started = status::ProcessStartTime(live);
  const SteplinkStatusBlock liveBlock = BlockOwnedBy(live, started);
  Plant(name, &liveBlock, sizeof(liveBlock));
  std::string error;
  EXPECT_FALSE(status::StatusBlockFile::Create(name, error));
  EXPECT_NE(error.find("in use by process " + std::to_string(live)), std::string::npos) << error;
  EXPECT_EQ(Load(name).table.positionX, 4711);

  // The same id with another start time: the id was reused, the owner is gone.
  SteplinkStatusBlock reused = BlockOwnedBy(live, started + 1);
  Plant(name, &reused, sizeof(reused));
  EXPECT_TRUE(status::StatusBlockFile::Create(name, error)) << error;  // replaced, then removed
  EXPECT_FALSE(Exists(name));

  close(pipeFds[1]);
  waitpid(live, nullptr, 0);
  // The owner has ended: its block is replaced by ours.
  Plant(name, &liveBlock, sizeof(liveBlock));
  {
    auto file = status::StatusBlockFile::Create(name, error);
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
  auto parentFile = status::StatusBlockFile::Create(name, error);
  ASSERT_TRUE(parentFile) << error;
  const pid_t child = fork();
  if (child == 0) {
    std::string childError;
    auto adopted = status::StatusBlockFile::Create(name, childError);
    if (!adopted || adopted->Owned()) _exit(2);
    SteplinkStatusTable values{};
    values.positionY = 99;
    status::WriteSection(adopted->Block().table, values);
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
  EXPECT_NE(status::ProcessStartTime(getpid()), 0u);
  EXPECT_GE(status::ProcessStartTime(getpid()), status::ProcessStartTime(1));
  EXPECT_EQ(status::ProcessStartTime(0x7FFFFFF0), 0u);
}

TEST(StatusBlockName, RefusesWhatCannotNameASharedMemoryObject) {
  std::string error;
  for (const std::string& bad :
       {std::string(), std::string("."), std::string(".."), std::string("a/b"), std::string("/x"),
        std::string(251, 'n'), std::string(5000, 'n')}) {
    error.clear();
    EXPECT_FALSE(status::ValidBlockName(bad, error)) << bad.size();
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(status::StatusBlockFile::Create(bad, error)) << bad.size();
  }
  for (const std::string& good : {std::string("x"), std::string("..."), std::string(".hidden"),
                                  std::string(250, 'n'), std::string("steplink-run-1-ab")}) {
    EXPECT_TRUE(status::ValidBlockName(good, error)) << good << ": " << error;
  }
}

TEST(StatusBlockName, MadeNamesCarryThePidAndSixteenRandomHexDigits) {
  std::string error;
  const std::regex form("steplink-run-" + std::to_string(getpid()) + "-[0-9a-f]{16}");
  std::set<std::string> names;
  for (int i = 0; i < 50; ++i) {
    const std::string name = status::MakeBlockName(status::runBlockPrefix, error);
    EXPECT_TRUE(std::regex_match(name, form)) << name;
    EXPECT_TRUE(status::ValidBlockName(name, error));
    names.insert(name);
  }
  EXPECT_EQ(names.size(), 50u);  // 64 random bits: no repeats
}

TEST(StatusBlockFile, IsReadableAndWritableByItsUserOnly) {
  std::string error;
  const std::string name = status::MakeBlockName("steplink-test-mode", error);
  const mode_t oldMask = umask(0);  // the mode is the creator's choice, not the umask's
  auto file = status::StatusBlockFile::Create(name, error);
  umask(oldMask);
  ASSERT_TRUE(file) << error;
  struct stat info {};
  ASSERT_EQ(stat(("/dev/shm/" + name).c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0600u);
  EXPECT_EQ(info.st_uid, geteuid());
}

TEST(StatusBlockFile, StaleBlocksOfDeadOwnersAreRemovedAndNothingElse) {
  const std::string prefix = "steplink-test-stale-" + std::to_string(getpid());
  // A child that made its block and was killed: the block stays behind.
  const pid_t dead = fork();
  if (dead == 0) {
    std::string childError;
    auto block =
        status::StatusBlockFile::Create(prefix + "-" + std::to_string(getpid()), childError);
    kill(getpid(), SIGKILL);
    _exit(block ? 0 : 1);
  }
  waitpid(dead, nullptr, 0);
  const std::string deadName = prefix + "-" + std::to_string(dead);
  ASSERT_TRUE(Exists(deadName));
  std::string error;
  auto live = status::StatusBlockFile::Create(prefix + "-live", error);
  ASSERT_TRUE(live) << error;
  const char text[] = "not a status block";
  Plant(prefix + "-foreign", text, sizeof(text));
  SteplinkStatusBlock incomplete = BlockOwnedBy(dead, 1);
  incomplete.magic = 0;  // its creator had not finished it
  Plant(prefix + "-incomplete", &incomplete, sizeof(incomplete));
  const SteplinkStatusBlock otherPrefix = BlockOwnedBy(dead, 1);
  Plant("steplink-test-other-" + std::to_string(getpid()), &otherPrefix, sizeof(otherPrefix));

  EXPECT_EQ(status::RemoveStaleBlocks(prefix), 1);

  EXPECT_FALSE(Exists(deadName));
  EXPECT_TRUE(Exists(prefix + "-live"));
  EXPECT_TRUE(Exists(prefix + "-foreign"));
  EXPECT_TRUE(Exists(prefix + "-incomplete"));
  EXPECT_TRUE(Exists("steplink-test-other-" + std::to_string(getpid())));
  for (const std::string& left : {prefix + "-foreign", prefix + "-incomplete",
                                  "steplink-test-other-" + std::to_string(getpid())}) {
    shm_unlink(("/" + left).c_str());
  }
}

TEST(StatusBlockReader, ReadsBothSectionsAndTellsRemovalAndReplacement) {
  const std::string name = UniqueName("reader");
  std::string error;
  auto file = status::StatusBlockFile::Create(name, error);
  ASSERT_TRUE(file) << error;
  SteplinkStatusTable table{};
  table.positionX = 12;
  file->WriteTable(table);
  SteplinkStatusJob job{};
  job.callIndex = 3;
  file->WriteJob(job);
  status::StatusView reader;
  ASSERT_TRUE(reader.Open(name));
  const auto copy = reader.Read();
  ASSERT_TRUE(copy);
  EXPECT_EQ(copy->table.positionX, 12);
  EXPECT_EQ(copy->job.callIndex, 3u);
  EXPECT_EQ(copy->ownerPid, static_cast<std::uint32_t>(getpid()));
  EXPECT_FALSE(reader.Gone());

  file.reset();  // removed by its creator
  EXPECT_TRUE(reader.Gone());
  auto again = status::StatusBlockFile::Create(name, error);  // another block, same name
  ASSERT_TRUE(again) << error;
  EXPECT_TRUE(reader.Gone());  // replaced: not the object it maps
  reader.Close();
  ASSERT_TRUE(reader.Open(name));
  EXPECT_FALSE(reader.Gone());
}

// A hostile or broken writer cuts the block to nothing and back while a reader copies it: the
// reader fails some reads and says the block went away, and never dies of a bus error.
TEST(StatusBlockReader, SurvivesABlockCutShortUnderIt) {
  const std::string name = UniqueName("truncate");
  std::string error;
  auto file = status::StatusBlockFile::Create(name, error);
  ASSERT_TRUE(file) << error;
  status::StatusView reader;
  ASSERT_TRUE(reader.Open(name));
  const int fd = shm_open(("/" + name).c_str(), O_RDWR, 0);
  ASSERT_GE(fd, 0);
  std::atomic<bool> stop{false};
  std::thread cutter([&] {
    while (!stop) {
      (void)!ftruncate(fd, 0);
      (void)!ftruncate(fd, STEPLINK_STATUS_SIZE);
    }
  });
  int failed = 0;
  for (int i = 0; i < 200000; ++i) {
    if (!reader.Read()) ++failed;
    if (!reader.ReadTable()) ++failed;
  }
  stop = true;
  cutter.join();
  EXPECT_GT(failed, 0);  // the cuts were seen, as failed reads rather than a signal
  ASSERT_EQ(ftruncate(fd, 0), 0);
  EXPECT_TRUE(reader.Gone());
  EXPECT_FALSE(reader.Read());
  EXPECT_EQ(reader.OwnerPid(), 0u);
  close(fd);
  shm_unlink(("/" + name).c_str());  // no longer a block its creator would recognise
}

TEST(StatusNames, OneTableForRecordsViewsAndScripts) {
  EXPECT_STREQ(status::FaultKindName(STEPLINK_FAULT_LOST_STEP), "lost-step");
  EXPECT_STREQ(status::FaultKindName(STEPLINK_FAULT_PATTERN), "pattern");
  EXPECT_STREQ(status::FaultKindName(STEPLINK_FAULT_NONE), "unknown");
  EXPECT_STREQ(status::FaultKindName(99), "unknown");
  for (const auto kind : {sim::FaultKind::lostStep, sim::FaultKind::settle,
                          sim::FaultKind::protocol, sim::FaultKind::pattern}) {
    EXPECT_STREQ(sim::FaultKindName(kind), status::FaultKindName(sim::StatusFaultKind(kind)));
  }
  EXPECT_STREQ(status::CallName(STEPLINK_CALL_OPEN_CONN), "openConn");
  EXPECT_STREQ(status::CallName(STEPLINK_CALL_REFERENCE), "reference");
  EXPECT_STREQ(status::CallName(STEPLINK_CALL_NONE), "");
  EXPECT_STREQ(status::CallName(42), "");
}

}  // namespace
