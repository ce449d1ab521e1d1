// The control flow of a program as LinuxCNC runs it: O-word subroutines (in the program or in a
// subroutine folder), calls with arguments, if/elseif/else, while, do-while, repeat, break,
// continue, and Fanuc-style M98/M99 subprograms. Memory stays constant: lines are read again
// from the file at their byte offsets (loops jump back, calls jump to a subroutine's offset),
// never kept. Every other line goes to the sink (reader and interpreter). Calls the program
// input, the O-word reader and the expression reader.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include "read/parameters.h"
#include "read/program_input.h"

namespace gcode {

// Subroutine calls nested at most this deep below the main program (LinuxCNC's ten levels,
// the main program counted as one).
inline constexpr std::size_t maxNestedCalls = 9;
// Subroutines known at once (definitions seen, files opened), and O-word labels remembered for
// LinuxCNC's one-use rule: past these a program is refused rather than grow memory.
inline constexpr std::size_t maxKnownSubroutines = 10000;
inline constexpr std::size_t maxKnownLabels = 100000;
inline constexpr std::uint64_t defaultMaxBlocks = 100000000;

struct FlowOptions {
  std::string subroutinesDir;  // o<name> call's name.ngc is looked for here; empty: nowhere
  std::uint64_t maxBlocks = defaultMaxBlocks;  // a run past this many blocks is a runaway
  int fromLine = 0;                            // refused inside a subroutine or loop
};

// What the control flow hands on: each ordinary line, and its own refusals.
class FlowSink {
 public:
  virtual ~FlowSink() = default;
  // One line to read and run; `line` is the program's line it belongs to (inside a subroutine,
  // the line of the outermost call).
  virtual void Run(std::string_view text, bool tooLong, int line) = 0;
  virtual void Refuse(const std::string& message, const std::string& code, int line) = 0;
  virtual bool Ended() const = 0;  // M2, M30 (or M99 in the main program) ran
  virtual Parameters& Params() = 0;
};

struct FlowResult {
  int lineCount = 0;                 // lines of the program's text
  std::uint64_t blocksExecuted = 0;  // lines run (not skipped), each time they ran
};

// Runs `main` from its start through the sink. False with `error` on a read error or a program
// that changed; refusals go to the sink (after one, the rest is only counted). `stop`, when set,
// ends the run early.
bool RunFlow(ProgramInput& main, FlowSink& sink, const FlowOptions& options, FlowResult& result,
             std::string& error, const std::atomic<int>* stop = nullptr);

}  // namespace gcode
