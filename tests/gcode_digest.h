// The equivalence record of a planned job: its counters, errors and notes as text, then one line
// per call (line, kind, arguments, and a hash of the rest: purpose, end position, auxiliary
// state, estimated times, pause text). Shared by the golden generator and the equivalence test.
#pragma once

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "machine.h"
#include "planner.h"

namespace gcode_digest {

// One program of the equivalence set: its file (relative to the source tree), the machine file
// ("" for the built-in one), --from-line, the library variant's start speed and --home.
struct Case {
  const char* name;
  const char* program;
  const char* machine;
  int fromLine;
  int startSpeed;
  bool home;
};

inline const std::vector<Case>& Cases() {
  static const std::vector<Case> cases = {
      {"example", "jobs/example.nc", "jobs/example.toml", 0, 300, true},
      {"example_from16", "jobs/example.nc", "jobs/example.toml", 16, 300, false},
      {"example_builtin_start200", "jobs/example.nc", "", 0, 200, true},
      {"pocket", "jobs/pocket.nc", "jobs/example.toml", 0, 300, true},
      {"pocket_from20", "jobs/pocket.nc", "jobs/example.toml", 20, 300, false},
      {"engraving", "jobs/engraving.nc", "jobs/example.toml", 0, 300, true},
      {"lines_g91_g92", "tests/gcode_programs/lines_g91_g92.nc", "jobs/example.toml", 0, 300, true},
      {"arcs_planes", "tests/gcode_programs/arcs_planes.nc", "jobs/example.toml", 0, 300, true},
      {"helical_aux", "tests/gcode_programs/helical_aux.nc", "jobs/example.toml", 0, 300, true},
      {"helical_aux_from12", "tests/gcode_programs/helical_aux.nc", "jobs/example.toml", 12, 300,
       false},
      {"inch_dwell_pause", "tests/gcode_programs/inch_dwell_pause.nc", "jobs/example.toml", 0, 300,
       true},
      {"long_moves", "tests/gcode_programs/long_moves.nc", "tests/gcode_programs/fine.toml", 0, 300,
       false},
      {"start_no_home", "tests/gcode_programs/start_no_home.nc", "", 0, 300, false},
      {"limit_breach", "tests/gcode_programs/limit_breach.nc", "jobs/example.toml", 0, 300, true},
      {"cam_pocket", "tests/gcode_programs/cam_pocket.nc", "tests/gcode_programs/cam.toml", 0, 300,
       true},
      {"offsets_tools", "tests/gcode_programs/offsets_tools.nc", "tests/gcode_programs/cam.toml", 0,
       300, true},
  };
  return cases;
}

inline std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

inline std::uint64_t Fnv1a(const std::string& text) {
  std::uint64_t hash = 1469598103934665603ull;
  for (const unsigned char c : text) {
    hash ^= c;
    hash *= 1099511628211ull;
  }
  return hash;
}

inline std::string Number(double value) {
  char text[40];
  std::snprintf(text, sizeof text, "%.12g", value);
  return text;
}

// The record's lines: counters, errors, notes, then a line per call.
// A refused plan keeps only what a refusal reports (its calls are never made).
inline std::vector<std::string> Digest(const gcode::Plan& plan) {
  std::vector<std::string> lines;
  if (!plan.ok()) {
    lines.push_back("refused lines " + std::to_string(plan.lines) + " end " +
                    std::to_string(plan.endLine) + " skipped " + std::to_string(plan.skippedLines) +
                    " limits " + std::to_string(plan.limitsOk));
    for (const auto& m : plan.errors)
      lines.push_back("error " + std::to_string(m.line) + " " + m.message);
    return lines;
  }
  std::ostringstream head;
  head << "lines " << plan.lines << " moves " << plan.moves << " vectorOut " << plan.vectorOutCalls
       << " reference " << plan.referenceCalls << " reapply " << plan.reapplications << " end "
       << plan.endLine << " skipped " << plan.skippedLines << " limits " << plan.limitsOk;
  lines.push_back(head.str());
  std::ostringstream end;
  end << "endSteps " << plan.endSteps[0] << " " << plan.endSteps[1] << " " << plan.endSteps[2]
      << " endMm " << Number(plan.endMm[0]) << " " << Number(plan.endMm[1]) << " "
      << Number(plan.endMm[2]) << " stepsPerAxis " << plan.stepsPerAxis[0] << " "
      << plan.stepsPerAxis[1] << " " << plan.stepsPerAxis[2] << " seconds "
      << Number(plan.durationSeconds);
  lines.push_back(end.str());
  for (const auto& m : plan.errors)
    lines.push_back("error " + std::to_string(m.line) + " " + m.message);
  for (const auto& m : plan.notes)
    lines.push_back("note " + std::to_string(m.line) + " " + m.message);
  lines.push_back("calls " + std::to_string(plan.calls.size()));
  static const char kinds[] = {'v', 'r', 'd', 'p'};
  for (const auto& call : plan.calls) {
    std::ostringstream rest;
    rest << static_cast<int>(call.purpose) << " " << call.endSteps[0] << " " << call.endSteps[1]
         << " " << call.endSteps[2] << " " << call.aux << " " << Number(call.seconds) << " "
         << Number(call.startSeconds) << " " << call.text;
    char text[128];
    std::snprintf(text, sizeof text, "%d %c %d %d %d %016llx", call.line,
                  kinds[static_cast<int>(call.kind)], call.args[0], call.args[1], call.args[2],
                  static_cast<unsigned long long>(Fnv1a(rest.str())));
    lines.push_back(text);
  }
  return lines;
}

// Plans one case from the source tree `root`.
inline gcode::Plan PlanCase(const Case& c, const std::string& root) {
  gcode::Machine machine = gcode::BuiltinMachine();
  if (*c.machine) machine = *gcode::LoadMachineFile(root + "/" + c.machine).machine;
  gcode::PlanOptions options;
  options.fromLine = c.fromLine;
  options.profile.startSpeed = c.startSpeed;
  options.home = c.home;
  return gcode::PlanProgram(gcode::ParseProgram(ReadText(root + "/" + c.program)), machine,
                            options);
}

}  // namespace gcode_digest
