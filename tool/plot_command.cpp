// The plot command: reads a record file and writes its plot.
#include "plot_command.h"

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "args.h"
#include "exit_codes.h"
#include "plot.h"
#include "usage.h"

namespace tool {

bool WritePlotFile(const Record& record, const std::string& path, const std::string& title) {
  std::ofstream out(path, std::ios::binary);
  if (out) WritePlotSvg(record, title, out);
  out.close();
  if (!out) {
    std::fprintf(stderr, "steplink: cannot write the plot %s\n", path.c_str());
    return false;
  }
  return true;
}

int PlotCommand(int argc, const char* const* argv) {
  ArgParser parser;
  parser.AddFlag("help", "show this help");
  std::string error;
  if (!parser.Parse(argc, argv, 2, error) || parser.Flag("help") ||
      parser.Positional().size() != 2) {
    std::fprintf(parser.Flag("help") ? stdout : stderr, "%s%s",
                 error.empty() ? "" : (error + "\n").c_str(), usageText);
    return parser.Flag("help") ? exitOk : exitRefused;
  }
  const std::string& recordPath = parser.Positional()[0];
  const Record record = ReadRecordFile(recordPath);
  for (const std::string& bad : record.errors) {
    std::fprintf(stderr, "steplink: record %s\n", bad.c_str());
  }
  if (!std::filesystem::exists(recordPath)) return exitRefused;
  return WritePlotFile(record, parser.Positional()[1], recordPath) ? exitOk : exitRunFailed;
}

}  // namespace tool
