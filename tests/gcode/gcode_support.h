// Fixtures the planner's tests share: the built-in machine at one scale on every axis with room
// to travel, a program planned from its text, and a plan's errors as text. Test code only; calls
// the G-code library.
#pragma once

#include <string>

#include "machine.h"
#include "plan/planner.h"

namespace test {

// The built-in machine with `stepsPerMm` on every axis and travel from -travelMm to +travelMm,
// so that soft limits never get in the way of what a test checks.
inline gcode::Machine ScaledMachine(double stepsPerMm, double travelMm) {
  gcode::Machine machine = gcode::BuiltinMachine();
  for (auto& axis : machine.axes) {
    axis.stepsPerMm = stepsPerMm;
    axis.minMm = -travelMm;
    axis.maxMm = travelMm;
  }
  return machine;
}

inline gcode::Plan PlanOn(const gcode::Machine& machine, const std::string& text,
                          gcode::PlanOptions options = {}) {
  return gcode::PlanProgram(gcode::ParseProgram(text), machine, options);
}

// Every error of a plan, one "LINE [CODE] message" line each.
inline std::string Errors(const gcode::Plan& plan) {
  std::string text;
  for (const auto& error : plan.errors) {
    text += std::to_string(error.line) + " [" + error.code + "] " + error.message + "\n";
  }
  return text;
}

}  // namespace test
