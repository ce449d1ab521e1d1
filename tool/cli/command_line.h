// One subcommand of steplink's command line, written once in its own file (tool/cli/*_cli.cpp):
// its name, its line in the help's list, and the setup of its App. cli.cpp holds the list of
// them and main's dispatch; the option groups that run and gcode share are option_groups.h's.
#pragma once

#include <CLI/CLI.hpp>
#include <functional>

namespace tool {

struct CommandLine {
  const char* name;      // "run": what is typed after steplink
  const char* operands;  // "SCRIPT": what follows the name in the help's list ("" for none)
  const char* summary;   // one line for the help's list
  bool liveView;         // takes --view: the old form `--view PORT` is refused before parsing
  // Gives `app` the command's description and options; returns what runs the command with the
  // options as parsed.
  std::function<int()> (*setup)(CLI::App& app);
};

extern const CommandLine runCommandLine;
extern const CommandLine gcodeCommandLine;
extern const CommandLine plotCommandLine;
extern const CommandLine viewCommandLine;
extern const CommandLine panelCommandLine;
extern const CommandLine probeCommandLine;

}  // namespace tool
