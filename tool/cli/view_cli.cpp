// The view command's line: its name, help and options. Calls ViewCommand (serve/view_command.cpp).
#include <memory>

#include "cli/cli.h"
#include "cli/command_line.h"

namespace tool {
namespace {

std::function<int()> Setup(CLI::App& app) {
  auto args = std::make_shared<ViewArgs>();
  app.description(
      "Serves the live view of /dev/shm/NAME, a status block that another program "
      "writes (watch only: no Stop). Ctrl-C ends it.");
  app.add_option("--status", args->status, "the status block to watch (/dev/shm/NAME)")
      ->type_name("NAME")
      ->required();
  app.add_option("--port", args->port, "port to listen on (default: a free one)")
      ->type_name("PORT")
      ->check(CLI::Range(0, 65535));
  app.add_flag("--ipv6", args->ipv6, "listen on ::1 instead of 127.0.0.1");
  return [args] { return ViewCommand(*args); };
}

}  // namespace

const CommandLine viewCommandLine{
    "view", "--status N", "live view of a status block another program writes", false, Setup};

}  // namespace tool
