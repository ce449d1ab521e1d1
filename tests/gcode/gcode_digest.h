// The equivalence record of a planned job: its counters, errors and notes as text, then one line
// per call with every field named (line, kind, arguments, purpose, end position, auxiliary state,
// estimated times, pause text), and the comparison of two records field by field. Shared by the
// golden generator and the equivalence test.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "file_support.h"
#include "machine.h"
#include "plan/planner.h"

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
      << plan.stepsPerAxis[1] << " " << plan.stepsPerAxis[2];
  lines.push_back(end.str());
  lines.push_back("seconds " + Number(plan.durationSeconds));
  for (const auto& m : plan.errors)
    lines.push_back("error " + std::to_string(m.line) + " " + m.message);
  for (const auto& m : plan.notes)
    lines.push_back("note " + std::to_string(m.line) + " " + m.message);
  lines.push_back("calls " + std::to_string(plan.calls.size()));
  static const char kinds[] = {'v', 'r', 'd', 'p'};
  for (const auto& call : plan.calls) {
    std::ostringstream text;
    text << call.line << " " << kinds[static_cast<int>(call.kind)] << " " << call.args[0] << " "
         << call.args[1] << " " << call.args[2] << " purpose=" << static_cast<int>(call.purpose)
         << " end=" << call.endSteps[0] << "," << call.endSteps[1] << "," << call.endSteps[2]
         << " aux=" << call.aux << " start=" << Number(call.startSeconds)
         << " seconds=" << Number(call.seconds) << " text=" << call.text;
    lines.push_back(text.str());
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
  return gcode::PlanProgram(gcode::ParseProgram(test::ReadFile(root + "/" + c.program)), machine,
                            options);
}

// Estimated times agree within 1 ms or 0.1 %, whichever is larger: a refinement of the duration
// model below that keeps the records; one above it shows as a field difference to look at (and,
// when it is meant, new records from steplink_gcode_golden).
constexpr double timeToleranceSeconds = 1e-3;
constexpr double timeToleranceRelative = 1e-3;
inline bool TimesAgree(const std::string& was, const std::string& now) {
  char* wasEnd = nullptr;
  char* nowEnd = nullptr;
  const double a = std::strtod(was.c_str(), &wasEnd), b = std::strtod(now.c_str(), &nowEnd);
  if (wasEnd == was.c_str() || *wasEnd != '\0' || nowEnd == now.c_str() || *nowEnd != '\0')
    return was == now;
  const double allowed =
      std::max(timeToleranceSeconds, timeToleranceRelative * std::max(std::fabs(a), std::fabs(b)));
  return std::fabs(a - b) <= allowed;
}

// A call line's fields by name: line, kind, x, y, z, then NAME=VALUE up to "text=", which takes
// the rest of the line.
inline std::vector<std::pair<std::string, std::string>> CallFields(const std::string& line) {
  std::vector<std::pair<std::string, std::string>> fields;
  std::istringstream in(line);
  for (const char* name : {"line", "kind", "x", "y", "z"}) {
    std::string value;
    in >> value;
    fields.emplace_back(name, value);
  }
  for (std::string token; in >> token;) {
    const std::size_t equals = token.find('=');
    if (token.starts_with("text=")) {
      std::string rest;
      std::getline(in, rest);
      fields.emplace_back("text", token.substr(5) + rest);
      break;
    }
    fields.emplace_back(token.substr(0, equals),
                        equals == std::string::npos ? "" : token.substr(equals + 1));
  }
  return fields;
}

// The differences between a recorded and a new record, one line each, at most maxShown (then
// how many more): every other line exactly, a time within the tolerance, a call field by field
// ("record line 12 (G-code line 6, call 9): seconds was 0.5 now 0.7").
inline std::vector<std::string> Differences(const std::vector<std::string>& was,
                                            const std::vector<std::string>& now,
                                            std::size_t maxShown = 12) {
  std::vector<std::string> found;
  std::size_t more = 0;
  const auto note = [&](std::string text) {
    if (found.size() < maxShown) {
      found.push_back(std::move(text));
    } else {
      ++more;
    }
  };
  if (was.size() != now.size())
    note("record length was " + std::to_string(was.size()) + " lines, now " +
         std::to_string(now.size()));
  bool inCalls = false;
  std::size_t call = 0;
  for (std::size_t i = 0; i < std::min(was.size(), now.size()); ++i) {
    const std::string where = "record line " + std::to_string(i + 1);
    if (inCalls) {
      ++call;
      const auto before = CallFields(was[i]), after = CallFields(now[i]);
      const std::string at = where + " (G-code line " + before.front().second + ", call " +
                             std::to_string(call) + "): ";
      if (before.size() != after.size()) {
        note(at + "was '" + was[i] + "' now '" + now[i] + "'");
        continue;
      }
      for (std::size_t f = 0; f < before.size(); ++f) {
        const auto& [name, value] = before[f];
        const bool time = name == "start" || name == "seconds";
        const bool same = after[f].first == name &&
                          (time ? TimesAgree(value, after[f].second) : value == after[f].second);
        if (!same) note(at + name + " was '" + value + "' now '" + after[f].second + "'");
      }
      continue;
    }
    if (was[i].starts_with("seconds ") && now[i].starts_with("seconds ")) {
      if (!TimesAgree(was[i].substr(8), now[i].substr(8)))
        note(where + ": planned seconds was " + was[i].substr(8) + " now " + now[i].substr(8));
      continue;
    }
    if (was[i] != now[i]) note(where + ": was '" + was[i] + "' now '" + now[i] + "'");
    inCalls = was[i].starts_with("calls ");
  }
  if (more > 0) found.push_back("and " + std::to_string(more) + " more differences");
  return found;
}

}  // namespace gcode_digest
