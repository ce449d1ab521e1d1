// The two passes: pass 1's counters and pass 2's calls are PlanProgram's for the example jobs,
// pass 2 never holds more than its queue, a program changed after its check stops before the
// next call, and hostile inputs (long lines, devices, directories, pipes, endless errors, huge
// and tiny numbers, overflowing positions, non-finite machine numbers) get their clear error.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "gcode_digest.h"
#include "plan/two_pass.h"
#include "read/chunk_digest.h"
#include "read/program_input.h"
#include "report/path_trace.h"
#include "report/script_writer.h"
#include "rewrite_in_place.h"

namespace {

namespace fs = std::filesystem;

std::string TempPath(const std::string& name) {
  return (fs::temp_directory_path() /
          ("steplink_gcode_stream_" + std::to_string(getpid()) + "_" + name))
      .string();
}

std::string WriteFile(const std::string& name, const std::string& text) {
  const std::string path = TempPath(name);
  std::ofstream(path, std::ios::binary) << text;
  return path;
}

std::unique_ptr<gcode::ProgramInput> Open(const std::string& path) {
  std::string error;
  auto input = gcode::ProgramInput::Open(path, error);
  EXPECT_TRUE(input) << error;
  return input;
}

gcode::Plan Check(const std::string& text,
                  const gcode::Machine& machine = gcode::BuiltinMachine()) {
  const std::string path = WriteFile("check.nc", text);
  auto input = Open(path);
  std::string error;
  gcode::Plan plan = gcode::CheckProgram(*input, machine, {}, error);
  EXPECT_EQ(error, "");
  fs::remove(path);
  return plan;
}

TEST(GcodeTwoPass, PassesMatchTheInMemoryPlanner) {
  for (const auto& c : gcode_digest::Cases()) {
    SCOPED_TRACE(c.name);
    const gcode::Plan whole = gcode_digest::PlanCase(c, STEPLINK_SOURCE_DIR);
    gcode::Machine machine = gcode::BuiltinMachine();
    if (*c.machine)
      machine = *gcode::LoadMachineFile(std::string(STEPLINK_SOURCE_DIR) + "/" + c.machine).machine;
    gcode::PlanOptions options;
    options.fromLine = c.fromLine;
    options.profile.startSpeed = c.startSpeed;
    options.home = c.home;
    auto input = Open(std::string(STEPLINK_SOURCE_DIR) + "/" + c.program);
    std::string error;
    gcode::Plan checked = gcode::CheckProgram(*input, machine, options, error);
    EXPECT_EQ(error, "");
    EXPECT_TRUE(checked.calls.empty());  // pass 1 keeps counters only
    if (!whole.ok()) {
      EXPECT_EQ(gcode_digest::Digest(checked), gcode_digest::Digest(whole));
      continue;
    }
    gcode::CallStream stream(*input, machine, options, checked, 16);
    while (auto call = stream.Next()) checked.calls.push_back(*call);
    EXPECT_EQ(stream.Error(), "");
    EXPECT_LE(stream.PeakQueued(), 16u);
    EXPECT_EQ(gcode_digest::Digest(checked), gcode_digest::Digest(whole));
  }
}

// The script written entry by entry from another pass is the in-memory writer's, byte for
// byte, for every example job and test program; pass 1's trace sees every entry, and its last
// line is the counters' last entry line.
TEST(GcodeTwoPass, StreamedScriptAndTraceMatchTheWholePlan) {
  for (const auto& c : gcode_digest::Cases()) {
    SCOPED_TRACE(c.name);
    const gcode::Plan whole = gcode_digest::PlanCase(c, STEPLINK_SOURCE_DIR);
    if (!whole.ok()) continue;
    gcode::Machine machine = gcode::BuiltinMachine();
    if (*c.machine)
      machine = *gcode::LoadMachineFile(std::string(STEPLINK_SOURCE_DIR) + "/" + c.machine).machine;
    gcode::PlanOptions options;
    options.fromLine = c.fromLine;
    options.home = c.home;
    options.profile.startSpeed = c.startSpeed;
    auto input = Open(std::string(STEPLINK_SOURCE_DIR) + "/" + c.program);
    std::string error;
    gcode::PathTrace trace(machine);
    const gcode::Plan checked = gcode::CheckProgram(
        *input, machine, options, [&](const gcode::PlannedCall& call) { trace.Add(call); }, error);
    ASSERT_TRUE(checked.ok()) << error;
    EXPECT_EQ(trace.Entries(), whole.calls.size());
    EXPECT_EQ(checked.lastEntryLine, whole.calls.empty() ? 0 : whole.calls.back().line);
    // Without a sink too (a long move counted in closed form).
    EXPECT_EQ(gcode::CheckProgram(*input, machine, options, error).lastEntryLine,
              checked.lastEntryLine);

    std::ostringstream inMemory, streamed;
    gcode::WriteCallScript(whole, "job.nc", inMemory);
    auto again = input->Again(error);
    ASSERT_TRUE(again) << error;
    gcode::WriteCallScriptHead(static_cast<std::uint64_t>(checked.vectorOutCalls) +
                                   static_cast<std::uint64_t>(checked.referenceCalls),
                               "job.nc", streamed);
    EXPECT_TRUE(gcode::ReplanProgram(
        *again, machine, options, checked,
        [&](const gcode::PlannedCall& call) { gcode::WriteCallScriptEntry(call, streamed); },
        error))
        << error;
    gcode::WriteCallScriptTail(streamed);
    EXPECT_EQ(streamed.str(), inMemory.str());
  }
}

// The second reader reads the same file from its own start while the first is mid-way, and a
// replan of a changed file, or of one that no longer plans as checked, is refused.
TEST(GcodeTwoPass, ASecondReaderAndAReplanOfAChangedProgram) {
  const std::string path = WriteFile("again.nc", "G0 X1\nG0 X2\nG0 X3\n");
  auto input = Open(path);
  std::string error;
  ASSERT_TRUE(input->Rewind(error));
  std::string_view line;
  bool tooLong = false;
  ASSERT_TRUE(input->NextLine(line, tooLong));
  auto again = input->Again(error);
  ASSERT_TRUE(again) << error;
  ASSERT_TRUE(again->Rewind(error));
  ASSERT_TRUE(again->NextLine(line, tooLong));
  EXPECT_EQ(line, "G0 X1");
  ASSERT_TRUE(input->NextLine(line, tooLong));
  EXPECT_EQ(line, "G0 X2");  // the first reader's place is its own

  const gcode::Machine machine = gcode::BuiltinMachine();
  const gcode::Plan checked = gcode::CheckProgram(*input, machine, {}, error);
  std::size_t seen = 0;
  const auto count = [&](const gcode::PlannedCall&) { ++seen; };
  EXPECT_TRUE(gcode::ReplanProgram(*again, machine, {}, checked, count, error)) << error;
  EXPECT_EQ(seen, checked.callCount);
  gcode::Plan other = checked;
  other.callCount += 1;
  EXPECT_FALSE(gcode::ReplanProgram(*again, machine, {}, other, count, error));
  EXPECT_NE(error.find("does not plan as it did"), std::string::npos) << error;
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  std::ofstream(path, std::ios::app) << "G0 X4\n";
  error.clear();
  EXPECT_FALSE(gcode::ReplanProgram(*again, machine, {}, checked, count, error));
  EXPECT_NE(error.find("changed after it was checked"), std::string::npos) << error;
  fs::remove(path);
}

TEST(GcodeTwoPass, PassTwoHoldsNoMoreThanItsQueue) {
  // 200 000 lines of lines and arcs; the taker is slow now and then, the planner far ahead.
  std::string text = "G21 G90 G17\nG0 X10 Y10\n";
  for (int i = 0; i < 100'000; ++i) {
    text += "G1 X" + std::to_string(10 + i % 50) + " Y20\n";
    text += "G2 X" + std::to_string(10 + (i + 1) % 50) + " Y20 R30\n";
  }
  text += "M30\n";
  const std::string path = WriteFile("long.nc", text);
  auto input = Open(path);
  std::string error;
  const gcode::Plan checked = gcode::CheckProgram(*input, gcode::BuiltinMachine(), {}, error);
  ASSERT_TRUE(checked.ok()) << checked.errors.front().message;
  EXPECT_EQ(checked.lines, 200'003);
  constexpr std::size_t queue = 256;
  gcode::CallStream stream(*input, gcode::BuiltinMachine(), {}, checked, queue);
  std::uint64_t taken = 0;
  while (auto call = stream.Next()) {
    if (++taken % 50'000 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(stream.Error(), "");
  EXPECT_EQ(taken, checked.callCount);
  EXPECT_GT(taken, 150'000u);
  EXPECT_LE(stream.PeakQueued(), queue);
  EXPECT_GE(stream.PeakQueued(), queue / 2);  // the planner did run ahead
  fs::remove(path);
}

TEST(GcodeTwoPass, AChangedProgramStopsBeforeTheNextCall) {
  std::string text = "G21 G90\n";
  for (int i = 0; i < 2000; ++i) text += "G1 X" + std::to_string(i % 2 ? 10 : 20) + "\n";
  const std::string path = WriteFile("changed.nc", text);
  auto input = Open(path);
  std::string error;
  const gcode::Plan checked = gcode::CheckProgram(*input, gcode::BuiltinMachine(), {}, error);
  gcode::CallStream stream(*input, gcode::BuiltinMachine(), {}, checked, 8);
  ASSERT_TRUE(stream.Next());
  std::ofstream(path, std::ios::app) << "G1 X400\n";
  EXPECT_FALSE(stream.Next());
  EXPECT_NE(stream.Error().find("changed after it was checked"), std::string::npos)
      << stream.Error();
  EXPECT_FALSE(stream.Next());  // and stays stopped
  fs::remove(path);
}

TEST(GcodeInput, DevicesDirectoriesAndLongLinesAreRefused) {
  std::string error;
  EXPECT_FALSE(gcode::ProgramInput::Open("/dev/zero", error));
  EXPECT_NE(error.find("is a device"), std::string::npos) << error;
  EXPECT_FALSE(gcode::ProgramInput::Open(fs::temp_directory_path().string(), error));
  EXPECT_NE(error.find("is a directory"), std::string::npos) << error;
  EXPECT_FALSE(gcode::ProgramInput::Open(TempPath("missing.nc"), error));

  // A pipe (as /dev/fd/N) is copied first; an endless line is refused when it passes the limit.
  std::signal(SIGPIPE, SIG_IGN);  // the writer meets the closed pipe
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  std::thread writer([&] {
    const std::string chunk(4096, 'X');
    for (int i = 0; i < 64; ++i) {
      if (write(fds[1], chunk.data(), chunk.size()) < 0) break;
    }
    close(fds[1]);
  });
  const auto started = std::chrono::steady_clock::now();
  EXPECT_FALSE(gcode::ProgramInput::Open("/dev/fd/" + std::to_string(fds[0]), error));
  close(fds[0]);
  writer.join();
  EXPECT_NE(error.find("line 1: the line is longer than 65536 bytes"), std::string::npos) << error;
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));

  // In a regular file the long line is an error of its own line; the lines after are checked.
  const gcode::Plan plan = Check("G21\nG1 X1 (" + std::string(100'000, 'a') + ")\nG1 X2\nG1 Q3\n");
  ASSERT_EQ(plan.errors.size(), 2u);
  EXPECT_EQ(plan.errors[0].line, 2);
  EXPECT_EQ(plan.errors[0].message, "the line is longer than 65536 bytes");
  EXPECT_EQ(plan.errors[1].line, 4);
  EXPECT_EQ(plan.lines, 4);
}

TEST(GcodeInput, AProgramFromAPipeRunsAsFromAFile) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const std::string text = "G21 G90\nG1 X10 Y5\nG2 X20 Y5 R5\nM30";
  ASSERT_EQ(write(fds[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
  close(fds[1]);
  auto input = Open("/dev/fd/" + std::to_string(fds[0]));
  close(fds[0]);
  ASSERT_TRUE(input);
  EXPECT_TRUE(input->Copied());
  std::string error;
  const gcode::Plan checked = gcode::CheckProgram(*input, gcode::BuiltinMachine(), {}, error);
  const gcode::Plan whole = gcode::PlanProgram(gcode::ParseProgram(text), gcode::BuiltinMachine());
  EXPECT_EQ(checked.lines, 4);
  EXPECT_EQ(checked.callCount, whole.calls.size());
  gcode::CallStream stream(*input, gcode::BuiltinMachine(), {}, checked);
  std::size_t i = 0;
  while (auto call = stream.Next()) {
    ASSERT_LT(i, whole.calls.size());
    EXPECT_EQ(call->args, whole.calls[i++].args);
  }
  EXPECT_EQ(i, whole.calls.size());
}

TEST(GcodeErrors, TheFirstHundredAreListedAndAllCounted) {
  std::string text;
  for (int i = 0; i < 5000; ++i) text += "G1 Q1\n";
  const gcode::Plan plan = Check(text);
  EXPECT_EQ(plan.errorCount, 5000u);
  ASSERT_EQ(plan.errors.size(), gcode::maxListedErrors);
  EXPECT_EQ(plan.errors.back().line, 100);
}

TEST(GcodeErrors, OneLineBreakingSeveralLimitsIsOneErrorNamingEach) {
  const gcode::Plan plan = Check("G21 G90\nG1 X700 Y-3 Z2\nG1 X800 Y5 Z60\n");
  ASSERT_EQ(plan.errorCount, 2u);
  EXPECT_EQ(plan.errors[0].line, 2);
  EXPECT_EQ(plan.errors[0].message,
            "X 700.0000 mm (14000 steps) is beyond the soft limit max_mm 600; Y -3.0000 mm (-60 "
            "steps) is beyond the soft limit min_mm 0");
  EXPECT_NE(plan.errors[1].message.find("X 800"), std::string::npos);
  EXPECT_NE(plan.errors[1].message.find("; Z 60.0000 mm"), std::string::npos);
}

TEST(GcodeNumbers, ManyDigitsAreReadExactlyOrRefusedAsSuch) {
  gcode::Machine wide = gcode::BuiltinMachine();
  for (auto& axis : wide.axes) {
    axis.minMm = -1e300;
    axis.maxMm = 1e300;
    axis.stepsPerMm = 1e6;
  }
  // 60 digits: read exactly (0.05 mm); 400 digits of a tiny number: too many digits, not large.
  const std::string exact = "0.0500000000000000000000000000000000000000000000000000000000";
  gcode::Plan plan = Check("G1 X" + exact + "\n", wide);
  EXPECT_TRUE(plan.ok());
  EXPECT_EQ(plan.endSteps[0], 50'000);
  plan = Check("G1 X0." + std::string(400, '0') + "1\n");
  ASSERT_EQ(plan.errors.size(), 1u);
  EXPECT_NE(plan.errors[0].message.find("too many digits"), std::string::npos);
  EXPECT_EQ(plan.errors[0].message.find("too large"), std::string::npos);
  plan = Check("G1 X" + std::string(300, '9') + "\n");
  EXPECT_NE(plan.errors[0].message.find("too many digits"), std::string::npos);
  plan = Check("G1 X99999999999\n");
  EXPECT_NE(plan.errors[0].message.find("too large"), std::string::npos);

  // G91 adding 1e9 mm a line at a million steps a mm: past 2^62 steps is an error, not a wrap.
  std::string text = "G21 G91\n";
  for (int i = 0; i < 6000; ++i) text += "G1 X1000000000\n";
  plan = Check(text, wide);
  ASSERT_GE(plan.errorCount, 1u);
  EXPECT_EQ(plan.errors[0].line, 4613);  // 4612 lines of 1e15 steps fit below 2^62
  EXPECT_NE(plan.errors[0].message.find("beyond what 64-bit step counts hold"), std::string::npos)
      << plan.errors[0].message;
}

TEST(GcodeMachineFile, NonFiniteNumbersAndHugeFilesAreRefused) {
  for (const char* bad : {"nan", "inf", "-inf", "+nan"}) {
    const std::string text = std::string("[axis.x]\nsteps_per_mm = 20.0\nmin_mm = 0.0\nmax_mm = ") +
                             bad +
                             "\n[axis.y]\nsteps_per_mm = 20.0\nmin_mm = 0.0\nmax_mm = 1.0\n"
                             "[axis.z]\nsteps_per_mm = 20.0\nmin_mm = 0.0\nmax_mm = 1.0\n";
    const gcode::MachineResult result = gcode::ParseMachine(text, "m.toml");
    EXPECT_FALSE(result.machine) << bad;
    ASSERT_FALSE(result.errors.empty()) << bad;
    EXPECT_EQ(result.errors[0].line, 4);
    EXPECT_NE(result.errors[0].message.find("'axis.x.max_mm' must be a finite number"),
              std::string::npos)
        << result.errors[0].message;
  }
  const std::string huge = WriteFile("huge.toml", std::string(2 * 1024 * 1024, '#'));
  gcode::MachineResult result = gcode::LoadMachineFile(huge);
  ASSERT_EQ(result.errors.size(), 1u);
  EXPECT_NE(result.errors[0].message.find("larger than 1048576 bytes"), std::string::npos);
  fs::remove(huge);
  result = gcode::LoadMachineFile("/dev/zero");
  ASSERT_EQ(result.errors.size(), 1u);
  EXPECT_NE(result.errors[0].message.find("larger than"), std::string::npos);
}

}  // namespace

// SipHash-2-4 as its authors publish it (key 00..0f), so the digests are the function they claim.
TEST(GcodeReadPrint, DigestIsSipHash24) {
  const std::array<std::uint64_t, 2> key{0x0706050403020100ULL, 0x0f0e0d0c0b0a0908ULL};
  char message[15];
  for (int i = 0; i < 15; ++i) message[i] = static_cast<char>(i);
  EXPECT_EQ(gcode::SipHash24(key, message, 0), 0x726fdb47dd0e0e31ULL);
  EXPECT_EQ(gcode::SipHash24(key, message, 15), 0xa129ca6149be45e5ULL);
  gcode::ReadPrint one, two;
  EXPECT_NE(one.key, two.key);  // each reading its own key: nobody can make bytes that match
}

// Pass 2 and the replan plan only bytes pass 1 read: a same-size rewrite with its time put
// back, before pass 2 or while it runs, a truncation and an append all stop the stream, and
// every call it gave is the checked program's.
TEST(GcodeReadPrint, PassTwoPlansOnlyTheBytesPassOneRead) {
  std::string text = "G21 G90\n";
  for (int i = 0; i < 30'000; ++i) text += i % 2 ? "G0 X1.000\n" : "G0 X2.000\n";
  text += "G0 X5.000\n";  // the last chunk: read long after pass 2 began
  ASSERT_GT(text.size(), 4 * gcode::ReadPrint::chunkBytes);
  const std::size_t lastLine = text.size() - 10;
  const gcode::Machine machine = gcode::BuiltinMachine();
  std::vector<std::array<std::int32_t, 3>> reference;
  {
    const std::string path = WriteFile("print-reference.nc", text);
    auto input = Open(path);
    std::string error;
    const gcode::Plan checked = gcode::CheckProgram(*input, machine, {}, error);
    gcode::CallStream stream(*input, machine, {}, checked, 8);
    while (auto call = stream.Next()) reference.push_back(call->args);
    ASSERT_EQ(stream.Error(), "");
    ASSERT_EQ(reference.size(), checked.callCount);
    fs::remove(path);
  }
  enum class Change { rewriteBefore, rewriteDuring, truncate, append };
  for (const Change change :
       {Change::rewriteBefore, Change::rewriteDuring, Change::truncate, Change::append}) {
    SCOPED_TRACE(static_cast<int>(change));
    const std::string path = WriteFile("print.nc", text);
    auto input = Open(path);
    std::string error;
    const gcode::Plan checked = gcode::CheckProgram(*input, machine, {}, error);
    ASSERT_TRUE(checked.ok());
    if (change == Change::rewriteBefore) test::RewriteKeepingTime(path, lastLine, "G0 X50.00\n");
    gcode::CallStream stream(*input, machine, {}, checked, 8);
    std::size_t taken = 0;
    bool same = true;
    while (auto call = stream.Next()) {
      same = same && taken < reference.size() && call->args == reference[taken];
      if (++taken == 100) {
        if (change == Change::rewriteDuring)
          test::RewriteKeepingTime(path, lastLine, "G0 X50.00\n");
        if (change == Change::truncate) fs::resize_file(path, lastLine);
        if (change == Change::append) std::ofstream(path, std::ios::app) << "G0 X9\n";
      }
    }
    EXPECT_TRUE(same);
    EXPECT_LT(taken, reference.size());
    EXPECT_NE(stream.Error().find("changed after it was checked"), std::string::npos)
        << stream.Error();
    EXPECT_NE(stream.Failure(), "");
    // The emitted script's pass is checked the same way.
    if (change == Change::rewriteBefore || change == Change::rewriteDuring) {
      auto again = input->Again(error);
      ASSERT_TRUE(again) << error;
      std::size_t emitted = 0;
      EXPECT_FALSE(gcode::ReplanProgram(
          *again, machine, {}, checked, [&](const gcode::PlannedCall&) { ++emitted; }, error));
      EXPECT_NE(error.find("changed after it was checked"), std::string::npos) << error;
      EXPECT_LT(emitted, reference.size());
    }
    fs::remove(path);
  }
}
