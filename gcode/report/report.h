// The job report (JSON, nlohmann-json): what was asked, what was planned, how far the run got,
// every refusal and note with its line. Written on success, refusal, fault and interruption.
#pragma once

#include <array>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "machine.h"
#include "plan/planner.h"

namespace gcode {

struct RunOutcome {
  bool checkOnly = false;     // --check: planned, nothing called
  bool refused = false;       // refused before anything moved
  std::size_t callsDone = 0;  // planned entries completed (dwells and pauses included)
  bool interrupted = false;
  bool fault = false;
  std::string faultMessage;
  double durationSeconds = 0.0;  // simulated (virtual clock) or measured seconds of the run
  double wallSeconds = 0.0;
  int exitCode = 0;
  std::vector<Message> notes;  // notes of the run itself (M0 passed without a terminal, ...)
  // What the table reports at the end, in its own steps from where it stood at the start.
  std::optional<std::array<std::int64_t, 3>> tableSteps;
  // A streamed job's completed entries (it keeps no calls): the end of the last, its line, the
  // calls among them. Without it these come from the plan's calls.
  struct Done {
    std::array<std::int64_t, 3> endSteps{};
    int lastLine = 0;
    std::size_t callsMade = 0;
  };
  std::optional<Done> done;
};

// Where the job left the table, machine coordinates: the end of the last completed call (the
// planned end with --check, the start when refused).
std::array<std::int64_t, 3> EndSteps(const Plan& plan, const RunOutcome& outcome);

nlohmann::json MakeReport(const std::string& file, const Machine& machine, const Plan& plan,
                          const RunOutcome& outcome);

}  // namespace gcode
