// The gcode command's line: its name, help and options. Calls the shared option groups and
// GcodeCommand (job/gcode_command.cpp).
#include <cstdint>
#include <memory>

#include "cli/cli.h"
#include "cli/command_line.h"
#include "cli/option_groups.h"

namespace tool {
namespace {

std::function<int()> Setup(CLI::App& app) {
  auto args = std::make_shared<GcodeArgs>();
  app.description(
      "Checks and plans the whole G-code program before the first call, then runs "
      "it. On a terminal any key pauses at the next call boundary (feed hold), "
      "Enter resumes, q while paused stops (auxiliary state 0, closeConn). A job "
      "stopped otherwise gets its auxiliary output turned off after the stop. Exit "
      "status: 0 ran to its end (or --check passed); 1 a fault; 2 refused before "
      "anything moved; 130 interrupted or stopped; 128+N ended by signal N.");
  app.add_option("FILE", args->file, "the program ('-' for standard input)")->required();
  app.add_option("--machine", args->machine, "machine file (default: the built-in machine)")
      ->type_name("M.toml");
  app.add_flag("--check", args->check, "check and plan only; no call is made");
  app.add_flag("--home", args->home,
               "run the reference run (Z, then X and Y) before the first line; machine zero "
               "is where it leaves the table (G28, G30 and G53 need a known machine zero)");
  app.add_option("--from-line", args->fromLine,
                 "resume at line N: home (implies --home), move to where the lines before N "
                 "end")
      ->type_name("N")
      ->check(CLI::Range(1, 100'000'000));
  app.add_option("--subroutines", args->subroutines,
                 "folder of O-word subroutine files: o<name> call runs DIR/name.ngc")
      ->type_name("DIR")
      ->check(CLI::ExistingDirectory);
  app.add_option("--max-blocks", args->maxBlocks,
                 "blocks the check may run, loops and calls counted each time, before it "
                 "calls the program a runaway (default 100000000)")
      ->type_name("N")
      ->check(CLI::Range(std::uint64_t{1}, std::uint64_t{1} << 62));
  app.add_flag("--keep-aux", args->keepAux,
               "leave the auxiliary output as it is when the job is stopped");
  CLI::Option_group* outputs = app.add_option_group("Outputs");
  outputs->add_option("--report", args->report, "write the job report (also on refusal or fault)")
      ->type_name("R.json");
  outputs->add_option("--plot", args->plot, "write the path in mm (rapid, cutting, aux) as SVG")
      ->type_name("OUT.svg");
  outputs
      ->add_option("--emit-script", args->emitScript,
                   "write the job's calls as a script for steplink run")
      ->type_name("OUT");
  AddTableGroup(app, args->table);
  AddViewGroup(app, args->view);
  AddDisplayGroup(app, args->display);
  return [args] { return GcodeCommand(*args); };
}

}  // namespace

const CommandLine gcodeCommandLine{"gcode", "FILE", "check, plan and run a G-code program", true,
                                   Setup};

}  // namespace tool
