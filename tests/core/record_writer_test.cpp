// Tests of the record file writer on its own: lines land whole and in order across the mapped
// windows, the file ends at the last line whenever it is settled, the write-through mode gives
// the same bytes, and a full disk or a file size limit stops the record with one report instead
// of a crash. Calls device/record_writer.h and the system.
#include "device/record_writer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <string>

#include "file_support.h"

namespace {

std::filesystem::path TempPath(const std::string& name) {
  return std::filesystem::temp_directory_path() /
         ("steplink-record-" + std::to_string(getpid()) + "-" + name);
}

// "step 123456 0 1 -42\n" lines, numbered so that a lost, doubled or torn line shows.
std::string EventLine(int number) {
  return "step " + std::to_string(1000 + number * 7) + " " + std::to_string(number % 3) + " 1 " +
         std::to_string(number) + "\n";
}

TEST(RecordWriter, LinesLandWholeAcrossWindowsAndTheFileEndsAtTheLast) {
  const std::filesystem::path path = TempPath("windows.txt");
  sim::RecordWriter writer;
  std::string error;
  ASSERT_TRUE(writer.Open(path.string(), "# header", error)) << error;
  std::string expected = "# header\n";
  // Past two 1 MiB windows, so lines straddle both boundaries.
  int number = 0;
  while (expected.size() < (std::size_t{5} << 19)) {
    const std::string line = EventLine(number++);
    writer.Line(line.data(), line.size());
    expected += line;
    if (number == 20000) {
      // A reader in the middle of a run sees exactly what was written, nothing reserved beyond.
      writer.Settle();
      EXPECT_EQ(test::ReadFile(path), expected);
    }
  }
  writer.Close();
  EXPECT_FALSE(writer.Failed());
  EXPECT_EQ(std::filesystem::file_size(path), expected.size());
  EXPECT_EQ(test::ReadFile(path), expected);
  std::filesystem::remove(path);
}

TEST(RecordWriter, WriteThroughModeGivesTheSameBytes) {
  // A pipe is no regular file: every line goes out with one write.
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  const std::string name = "/proc/self/fd/" + std::to_string(ends[1]);
  sim::RecordWriter writer;
  std::string error;
  ASSERT_TRUE(writer.Open(name, "# header", error)) << error;
  EXPECT_FALSE(writer.Mapped());
  std::string expected = "# header\n";
  for (int number = 0; number < 100; ++number) {
    const std::string line = EventLine(number);
    writer.Line(line.data(), line.size());
    expected += line;
  }
  writer.Close();
  close(ends[1]);
  std::string got(expected.size() + 1, '\0');
  std::size_t length = 0;
  for (ssize_t n; (n = read(ends[0], got.data() + length, got.size() - length)) > 0;) {
    length += static_cast<std::size_t>(n);
  }
  close(ends[0]);
  got.resize(length);
  EXPECT_EQ(got, expected);
}

// In a child: a record under a 1.5 MiB file size limit, with SIGXFSZ ignored so that the limit
// shows as an error. Exits 0 when the writer saw the failure.
[[noreturn]] void WriteUnderASizeLimit(const std::string& path) {
  std::signal(SIGXFSZ, SIG_IGN);
  const rlimit limit{rlim_t{3} << 19, rlim_t{3} << 19};  // 1.5 MiB
  if (setrlimit(RLIMIT_FSIZE, &limit) != 0) std::_Exit(3);
  sim::RecordWriter writer;
  std::string error;
  if (!writer.Open(path, "# header", error)) std::_Exit(4);
  for (int number = 0; number < 200000; ++number) {
    const std::string line = EventLine(number);
    writer.Line(line.data(), line.size());
  }
  writer.Close();
  std::_Exit(writer.Failed() ? 0 : 5);
}

TEST(RecordWriter, AFullDiskOrASizeLimitStopsTheRecordWithOneReport) {
  // No space for the header: Open refuses, saying why.
  sim::RecordWriter full;
  std::string error;
  EXPECT_FALSE(full.Open("/dev/full", "# header", error));
  EXPECT_NE(error.find("cannot write the record file '/dev/full'"), std::string::npos) << error;
  EXPECT_FALSE(full.IsOpen());

  // A file size limit between two windows: the mapped record stops at the limit, says so, drops
  // the later lines, and the process dies neither of SIGBUS nor of SIGXFSZ.
  const std::filesystem::path path = TempPath("limit.txt");
  EXPECT_EXIT(WriteUnderASizeLimit(path.string()), ::testing::ExitedWithCode(0),
              "cannot write the record file .*; the record ends after");
  // Whatever reached the file is the record's beginning, line by line.
  const std::string written = test::ReadFile(path);
  EXPECT_GT(written.size(), std::size_t{1} << 19);
  EXPECT_LE(written.size(), std::size_t{3} << 19);
  std::string expected = "# header\n";
  for (int number = 0; expected.size() < written.size(); ++number) expected += EventLine(number);
  EXPECT_EQ(written, expected.substr(0, written.size()));
  std::filesystem::remove(path);
}

}  // namespace
