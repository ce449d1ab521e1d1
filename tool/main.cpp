// steplink: runs scripts of entry calls through the library's exported JNI entries on the
// simulated table, and plots the table's record. Dispatches to one command per file (run_command,
// plot_command), which reach the library only through the call process.
#include <cstdio>
#include <string>

#include "exit_codes.h"
#include "plot_command.h"
#include "run_command.h"
#include "usage.h"

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "run") return tool::RunCommand(argc, argv);
  if (command == "plot") return tool::PlotCommand(argc, argv);
  if (command == "--help" || command == "-h" || command == "help") {
    std::printf("%s\nOptions of run:\n%s\n%s", tool::usageText,
                tool::MakeRunParser().OptionHelp().c_str(), tool::scriptHelp);
    return tool::exitOk;
  }
  std::fprintf(stderr, "%s", tool::usageText);
  return tool::exitRefused;
}
