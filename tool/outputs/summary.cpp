// Summary printer: the status block's final state where there is one, the record otherwise.
#include "outputs/summary.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <string>

namespace tool {

void PrintSummary(const Record& record, const std::optional<SteplinkStatusTable>& status,
                  double wallSeconds, const SummaryNotes& notes) {
  const auto finals = record.FinalPositions();
  const std::int32_t x = status ? status->positionX : finals[0];
  const std::int32_t y = status ? status->positionY : finals[1];
  const std::int32_t z = status ? status->positionZ : finals[2];
  const int aux = status ? status->auxState : (record.aux.empty() ? -1 : record.aux.back().state);
  const std::uint64_t ticks =
      status ? std::max(status->ticks, record.LastTick()) : record.LastTick();
  std::printf("summary%s\n", notes.ended.empty() ? "" : (" (" + notes.ended + ")").c_str());
  std::printf("  position   x %" PRId32 "  y %" PRId32 "  z %" PRId32 " (steps)\n", x, y, z);
  std::printf("  aux state  %s\n", aux < 0 ? "none set" : std::to_string(aux).c_str());
  std::printf("  steps      %zu\n", static_cast<std::size_t>(record.StepCount()));
  std::string faults;
  for (const auto& [kind, count] : record.FaultsByKind()) {
    faults += (faults.empty() ? "" : ", ") + kind + " " + std::to_string(count);
  }
  std::printf("  faults     %s\n", faults.empty() ? "none" : faults.c_str());
  // A real table's time is the watcher's clock from openConn, not a simulation's.
  std::printf("  %s  %.3f s (%" PRIu64 " ticks)\n",
              status && status->hardware != 0 ? "device   " : "simulated", ticks * secondsPerTick,
              ticks);
  std::printf("  wall time  %.3f s\n", wallSeconds);
  if (!notes.settings.empty()) std::printf("  settings   %s\n", notes.settings.c_str());
}

}  // namespace tool
