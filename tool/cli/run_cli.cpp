// The run command's line: its name, help and options. Calls the shared option groups and
// RunCommand (job/run_command.cpp).
#include <memory>

#include "cli/cli.h"
#include "cli/command_line.h"
#include "cli/option_groups.h"

namespace tool {
namespace {

std::function<int()> Setup(CLI::App& app) {
  auto args = std::make_shared<RunArgs>();
  app.description(
      "Runs a script of entry calls through the library, on the simulated table or "
      "a real one. Script: one call per line (openConn, closeConn, initTimer, "
      "vectorOut X Y Z, reference X Y Z), '#' comments. Exit status: 0 success; 1 a "
      "fault while running; 2 refused before anything moved; 130 interrupted; "
      "128+N ended by signal N.");
  app.add_option("SCRIPT", args->script, "the script ('-' for standard input)")->required();
  AddTableGroup(app, args->table);
  app.add_option("--plot", args->plot, "write step rates over time and the X-Y path as SVG")
      ->type_name("FILE.svg");
  AddViewGroup(app, args->view);
  AddDisplayGroup(app, args->display);
  app.add_flag("--keep-going", args->keepGoing,
               "make every call even after openConn failed or a reference never met its "
               "limit switch (to watch the library's own failure behaviour; simulated table "
               "only)");
  return [args] { return RunCommand(*args); };
}

}  // namespace

const CommandLine runCommandLine{"run", "SCRIPT",
                                 "run a script of entry calls ('-' = standard input)", true, Setup};

}  // namespace tool
