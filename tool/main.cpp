// steplink: runs scripts of entry calls through the library's exported JNI entries on the
// simulated table, and plots the table's record. Dispatches to one command per file (run_command,
// plot_command, view_command), which reach the library only through the call process.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "descriptors.h"
#include "exit_codes.h"
#include "gcode_command.h"
#include "plot_command.h"
#include "probe_command.h"
#include "run_command.h"
#include "usage.h"
#include "view_command.h"

namespace {

int Dispatch(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "run") return tool::RunCommand(argc, argv);
  if (command == "plot") return tool::PlotCommand(argc, argv);
  if (command == "gcode") return tool::GcodeCommand(argc, argv);
  if (command == "view") return tool::ViewCommand(argc, argv);
  if (command == "probe") return ProbeCommand(argc, argv);
  if (command == "--help" || command == "-h" || command == "help") {
    std::printf("%s\nOptions of run:\n%s\n%s", tool::usageText,
                tool::MakeRunParser().OptionHelp().c_str(), tool::scriptHelp);
    return tool::exitOk;
  }
  std::fprintf(stderr, "%s", tool::usageText);
  return tool::exitRefused;
}

}  // namespace

int main(int argc, char** argv) {
  tool::OpenStandardDescriptors();
  int exitCode = Dispatch(argc, argv);
  // Output that could not be written (a full disk, a closed pipe) is a failure, not a success.
  if (std::fflush(stdout) != 0 || std::ferror(stdout) != 0) {
    std::fprintf(stderr, "steplink: cannot write to standard output: %s\n", std::strerror(errno));
    if (exitCode == tool::exitOk) exitCode = tool::exitRunFailed;
  }
  return exitCode;
}
