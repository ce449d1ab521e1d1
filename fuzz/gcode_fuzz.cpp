// libFuzzer target over the G-code reader and planner: any bytes as a program, planned on the
// built-in machine and on a fine one (many steps per mm, tight arcs, homed, with work offsets,
// tools and a stored position), with --from-line taken from the first byte. Checks what must
// hold for every accepted program: every call stays below the library's 32000-step limit, Z
// never carries a z code as a distance, and the calls add up to the planned end. The same bytes
// also go through the two-pass reader (a memory file read by ProgramInput, pass 1 into
// counters): its counters must be the in-memory planner's, or, for a program with O-word control
// flow or M98/M99 (which only the two-pass reader runs), a second pass must make the calls the
// first planned.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "plan/planner.h"
#include "plan/two_pass.h"
#include "read/oword.h"

namespace {

// Aborts with the failed condition's line, so that a finding names the broken invariant.
void CheckAt(bool condition, int line) {
  if (condition) return;
  std::fprintf(stderr, "gcode_fuzz: invariant at line %d broken\n", line);
  std::abort();
}
#define Check(condition) CheckAt((condition), __LINE__)

void PlanAndCheck(const gcode::Program& program, const gcode::Machine& machine, int fromLine,
                  bool home = false) {
  gcode::PlanOptions options;
  options.fromLine = fromLine;
  options.home = home;
  options.maxCalls = 200'000;  // bounded memory
  const gcode::Plan plan = gcode::PlanProgram(program, machine, options);
  if (!plan.ok()) return;
  std::array<std::int64_t, 3> at{};
  for (const auto& call : plan.calls) {
    if (call.kind == gcode::CallKind::reference) {
      for (int axis = 0; axis < 3; ++axis) {
        if (call.args[axis] != 0) at[axis] = 0;
      }
      continue;
    }
    if (call.kind != gcode::CallKind::vectorOut) continue;
    const int z = call.args[2];
    const bool code = z == 32000 || z == -32000 || z == 32222;
    Check(call.args[0] > -32000 && call.args[0] < 32000);
    Check(call.args[1] > -32000 && call.args[1] < 32000);
    Check(code || (z > -32000 && z < 32000));
    Check(!(call.args[0] == 0 && call.args[1] == 0 && z == 0));
    at[0] += call.args[0];
    at[1] += call.args[1];
    if (!code) at[2] += z;
    Check(at == call.endSteps);
    Check(call.seconds >= 0.0);
  }
  Check(at == plan.endSteps || plan.calls.empty());
}

// Whether any line is control flow: an O-word with a keyword, or M98/M99.
bool HasControlFlow(std::string_view text) {
  while (!text.empty()) {
    const std::size_t newline = text.find('\n');
    const std::string_view line = text.substr(0, newline);
    text = newline == std::string_view::npos ? std::string_view{} : text.substr(newline + 1);
    gcode::OWordLine word;
    gcode::FanucLine fanuc;
    bool ok = true;
    std::string error;
    if (gcode::IsOWordLine(line, word, ok, error) && (!ok || word.keyword != gcode::OKeyword::none))
      return true;
    if (gcode::IsFanucLine(line, fanuc, ok, error)) return true;
  }
  return false;
}

// Pass 1 over the bytes as a file agrees with the in-memory planner on every counter.
void TwoPassAgrees(std::string_view text, const gcode::Program& program) {
  const int fd = memfd_create("gcode_fuzz", 0);
  if (fd < 0) return;
  if (write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
    close(fd);
    return;
  }
  std::string error;
  auto input = gcode::ProgramInput::Open("/proc/self/fd/" + std::to_string(fd), error);
  close(fd);
  Check(input != nullptr);
  gcode::PlanOptions options;
  options.maxCalls = 200'000;
  options.maxBlocks = 100'000;  // a loop that never ends is a refusal, soon
  const gcode::Plan checked = gcode::CheckProgram(*input, gcode::BuiltinMachine(), options, error);
  Check(error.empty());
  if (HasControlFlow(text)) {
    std::uint64_t calls = 0;
    const bool same = gcode::ReplanProgram(
        *input, gcode::BuiltinMachine(), options, checked,
        [&](const gcode::PlannedCall&) { ++calls; }, error);
    Check(same || !checked.ok());
    Check(!checked.ok() || calls == checked.callCount);
    return;
  }
  const gcode::Plan whole = gcode::PlanProgram(program, gcode::BuiltinMachine(), options);
  Check(checked.lines == whole.lines);
  Check(checked.errorCount == whole.errorCount);
  Check(checked.errors.size() == whole.errors.size());
  for (std::size_t i = 0; i < checked.errors.size(); ++i)
    Check(checked.errors[i].line == whole.errors[i].line);
  if (!whole.ok()) return;
  Check(checked.callCount == whole.calls.size());
  Check(checked.endSteps == whole.endSteps);
  Check(checked.stepsPerAxis == whole.stepsPerAxis);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 100'000) return 0;  // room for a line over the 64 KiB limit
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const gcode::Program program = gcode::ParseProgram(text);
  const int fromLine = size > 0 && data[0] < 8 ? data[0] : 0;
  PlanAndCheck(program, gcode::BuiltinMachine(), fromLine);
  TwoPassAgrees(text, program);
  gcode::Machine fine = gcode::BuiltinMachine();
  for (auto& axis : fine.axes) {
    axis.stepsPerMm = 400.0;
    axis.minMm = -500.0;
    axis.maxMm = 500.0;
  }
  fine.axes[1].invert = true;
  fine.arcToleranceMm = 0.001;
  // Homed, with work offsets, a tool table and stored positions for G10, G43, G28/G30 and G53.
  fine.workOffsets[1] = {12.5, -7.25, -3.0};
  fine.toolLengths = {{1, 5.0}, {2, -2.5}};
  fine.g30 = std::array<double, 3>{100.0, -100.0, 10.0};
  PlanAndCheck(program, fine, 0, true);
  return 0;
}
