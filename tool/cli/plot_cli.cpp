// The plot command's line: its name, help and operands. Calls PlotCommand
// (outputs/plot_command.cpp).
#include <memory>

#include "cli/cli.h"
#include "cli/command_line.h"

namespace tool {
namespace {

std::function<int()> Setup(CLI::App& app) {
  auto args = std::make_shared<PlotArgs>();
  app.description("Plots a record file of the table: step rates over time and the X-Y path.");
  app.add_option("RECORD", args->record, "the record file")->required();
  app.add_option("OUT", args->out, "the SVG to write")->required();
  return [args] { return PlotCommand(*args); };
}

}  // namespace

const CommandLine plotCommandLine{"plot", "RECORD OUT", "plot a record file of the table", false,
                                  Setup};

}  // namespace tool
