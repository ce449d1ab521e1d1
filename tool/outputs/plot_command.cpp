// `steplink plot RECORD OUT.svg`: reads a record file and writes its plot by replace (a plot that
// cannot be written leaves nothing half-written, and a device named as OUT is never removed).
#include <cstdio>
#include <sstream>

#include "cli/cli.h"
#include "cli/exit_codes.h"
#include "job/job_inputs.h"
#include "outputs/job_outputs.h"
#include "outputs/plot.h"
#include "outputs/record.h"

namespace tool {

int PlotCommand(const PlotArgs& args) {
  std::string error;
  if (!CheckJobFiles({{"record", args.record}}, {{"plot", args.out}}, error)) {
    std::fprintf(stderr, "steplink: %s\n", error.c_str());
    return exitRefused;
  }
  const Record record = ReadRecordFile(args.record);
  if (!record.refused.empty() || !record.headerSeen) {
    std::fprintf(
        stderr, "steplink: %s\n",
        !record.refused.empty()
            ? record.refused.c_str()
            : ("'" + args.record + "' is empty; expected a record of the simulated table").c_str());
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
  std::ostringstream svg;
  WritePlotSvg(record, "record " + DisplayName(args.record), svg);
  return WriteOutputText(args.out, "plot", svg.str()) ? exitOk : exitRunFailed;
}

}  // namespace tool
