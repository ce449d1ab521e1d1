// The panel command's line: its name, help and options. Calls PanelCommand
// (serve/panel_command.cpp).
#include <memory>

#include "cli/cli.h"
#include "cli/command_line.h"
#include "cli/option_groups.h"

namespace tool {
namespace {

std::function<int()> Setup(CLI::App& app) {
  auto args = std::make_shared<PanelArgs>();
  app.description(
      "Holds the table for a session (openConn and initTimer once) and serves a control panel "
      "on 127.0.0.1: home, jog, work zero, auxiliary output, jobs from a folder, MDI, Stop. Prints "
      "the URL to open. "
      "Quit on the page or Ctrl-C ends it (auxiliary output off, closeConn). Paced by the wall "
      "clock unless --virtual.");
  app.add_option("--machine", args->machine, "machine file (default: the built-in machine)")
      ->type_name("FILE");
  AddTableGroup(app, args->table);
  app.add_option("--view-port", args->port, "the panel's port (default: a free one)")
      ->type_name("PORT")
      ->check(CLI::Range(0, 65535));
  app.add_flag("--view-ipv6", args->ipv6, "serve the panel on ::1 instead of 127.0.0.1");
  app.add_option("--jobs", args->jobs,
                 "the folder of G-code jobs the page lists, checks and runs (by name only)")
      ->type_name("DIR");
  app.add_option("job", args->job, "a job in the --jobs folder to check at start")
      ->type_name("FILE.nc");
  return [args] { return PanelCommand(*args); };
}

}  // namespace

const CommandLine panelCommandLine{
    "panel", "", "hold the table and serve its control panel in the browser", false, Setup};

}  // namespace tool
