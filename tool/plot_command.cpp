// The plot command: reads a record file and writes its plot.
#include "plot_command.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "args.h"
#include "exit_codes.h"
#include "plot.h"
#include "usage.h"

namespace tool {

bool WritePlotFile(const Record& record, const std::string& path, const std::string& title) {
  std::ostringstream svg;
  WritePlotSvg(record, title, svg);
  const std::string text = svg.str();
  std::FILE* file = std::fopen(path.c_str(), "wb");
  int error = file == nullptr ? errno : 0;
  if (file != nullptr) {
    if (std::fwrite(text.data(), 1, text.size(), file) != text.size() || std::fflush(file) != 0) {
      error = errno;
    }
    if (std::fclose(file) != 0 && error == 0) error = errno;
    if (error != 0) std::remove(path.c_str());  // no half a picture that looks whole
  }
  if (error != 0) {
    std::fprintf(stderr, "steplink: cannot write the plot %s: %s\n", path.c_str(),
                 std::strerror(error));
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
  if (!record.refused.empty() || !record.headerSeen) {
    std::fprintf(
        stderr, "steplink: %s\n",
        !record.refused.empty()
            ? record.refused.c_str()
            : ("'" + recordPath + "' is empty; expected a record of the simulated table").c_str());
    return exitRefused;
  }
  for (const std::string& bad : record.errors) {
    std::fprintf(stderr, "steplink: record %s\n", bad.c_str());
  }
  if (record.zeroTailBytes > 0) {
    std::fprintf(stderr,
                 "steplink: the record ends in %llu zero bytes: its writer ended without closing "
                 "it (killed?); plotted up to there\n",
                 static_cast<unsigned long long>(record.zeroTailBytes));
  }
  return WritePlotFile(record, parser.Positional()[1], recordPath) ? exitOk : exitRunFailed;
}

}  // namespace tool
