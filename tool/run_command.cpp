// The run command: reads and checks the script, makes its job and hands it to RunJob, with the
// table's plot as its output.
#include <cstdio>
#include <sstream>

#include "cli.h"
#include "exit_codes.h"
#include "job_inputs.h"
#include "plot.h"
#include "run_job.h"
#include "script.h"
#include "script_source.h"

namespace tool {
namespace {

// Scripts are small; anything longer is taken for something else (a device such as /dev/zero).
constexpr std::size_t maxScriptBytes = std::size_t{16} << 20;
// Bad lines listed before the rest are only counted.
constexpr std::size_t maxListedErrors = 20;

}  // namespace

int RunCommand(const RunArgs& args) {
  const std::string name = InputName(args.script);
  std::string text, error;
  if (!ReadInputText(args.script, "script", maxScriptBytes, text, error)) {
    std::fprintf(stderr, "steplink: %s\n", error.c_str());
    return exitRefused;
  }
  Script script = ParseScript(text);
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
                                     "steplink run " + name +
                                     (result.ended.empty() ? "" : " (" + result.ended + ")");
                                 WritePlotSvg(result.run.record, title, svg);
                                 return svg.str();
                               }});
  }
  JobResult result;
  return RunJob(source, options, result);
}

}  // namespace tool
