// The run command: reads and checks the script, makes its job and hands it to RunJob, with the
// table's plot as its output.
#include <cstdio>
#include <sstream>

#include "cli/cli.h"
#include "cli/exit_codes.h"
#include "job/job_inputs.h"
#include "job/run_job.h"
#include "job/script.h"
#include "job/script_source.h"
#include "outputs/plot.h"
#include "read/program.h"

namespace tool {
namespace {

// Scripts are small; anything longer is taken for something else (a device such as /dev/zero).
constexpr std::size_t maxScriptBytes = std::size_t{16} << 20;
// Bad lines listed before the rest are only counted.
constexpr std::size_t maxListedErrors = 20;

// The G-code block that shows `text` is a G-code program, not a script: its first line with
// words reads as G-code and the script has no call before it. The line's number and text, or
// 0 when the text is no G-code (or not only).
int FirstGcodeBlock(std::string_view text, const Script& script, std::string& shown) {
  int number = 0;
  while (!text.empty() && number < 1000) {
    ++number;
    const std::size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    gcode::Block block;
    std::string error;
    const gcode::LineKind kind = gcode::ReadLine(line, number, block, error);
    if (kind == gcode::LineKind::empty) continue;
    if (kind == gcode::LineKind::error) return 0;
    for (const ScriptCall& call : script.calls) {
      if (call.line < number) return 0;
    }
    shown = std::string(line.substr(0, 60));
    while (!shown.empty() && (shown.back() == '\r' || shown.back() == ' ')) shown.pop_back();
    return number;
  }
  return 0;
}

// `path` as a shell word to paste: as it is when plain, else in single quotes.
std::string ShellWord(const std::string& path) {
  const bool plain = !path.empty() && path.find_first_not_of(
                                          "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                          "0123456789_-./+,:@%") == std::string::npos;
  if (plain) return path;
  std::string quoted = "'";
  for (const char c : path) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

}  // namespace

int RunCommand(const RunArgs& args) {
  const std::string name = InputName(args.script);
  std::string text, error;
  if (!ReadInputText(args.script, "script", maxScriptBytes, text, error)) {
    std::fprintf(stderr, "steplink: %s\n", error.c_str());
    return exitRefused;
  }
  Script script = ParseScript(text);
  std::string gcodeLine;
  if (!script.errors.empty() && script.calls.empty()) {
    // A G-code program given to run: one line that says which command runs it, not one error
    // per line of the program.
    if (const int line = FirstGcodeBlock(text, script, gcodeLine); line > 0) {
      std::fprintf(stderr,
                   "steplink: %s is a G-code program (line %d: %s), not a script of library "
                   "calls; nothing was run. Run it with: steplink gcode %s\n",
                   name.c_str(), line, gcodeLine.c_str(), ShellWord(args.script).c_str());
      return exitRefused;
    }
  }
  if (!script.errors.empty()) {
    for (std::size_t i = 0; i < script.errors.size() && i < maxListedErrors; ++i) {
      std::fprintf(stderr, "%s:%d: %s\n", name.c_str(), script.errors[i].line,
                   script.errors[i].message.c_str());
    }
    if (script.errors.size() > maxListedErrors) {
      std::fprintf(stderr, "%s: ... and %zu more\n", name.c_str(),
                   script.errors.size() - maxListedErrors);
    }
    std::fprintf(stderr, "steplink: the script has %zu error(s); nothing was run\n",
                 script.errors.size());
    return exitRefused;
  }
  if (script.calls.empty()) {
    std::fprintf(stderr, "steplink: the script %s has no calls; nothing to run\n", name.c_str());
    return exitRefused;
  }
  // A script of openConn, initTimer and closeConn alone is refused by RunJob, before openConn.
  ScriptJobSource source(name, std::move(script.calls));

  RunJobOptions options;
  options.command = "run";
  options.table = args.table;
  options.view = args.view;
  options.display = args.display;
  options.keepGoing = args.keepGoing;
  options.inputs.push_back({"script", args.script});
  if (args.plot) {
    options.outputs.push_back({{"plot", *args.plot}, [name](const JobResult& result) {
                                 std::ostringstream svg;
                                 const std::string title =
                                     "steplink run " + DisplayName(name) +
                                     (result.ended.empty() ? "" : " (" + result.ended + ")");
                                 WritePlotSvg(result.run.record, title, svg);
                                 return svg.str();
                               }});
  }
  JobResult result;
  return RunJob(source, options, result);
}

}  // namespace tool
