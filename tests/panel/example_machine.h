// The machine the panel's tests run on: 20 steps/mm, X 0..300, Y 0..200, Z -20..10 mm, back-off
// 50, 50, 20 steps. Test code only; calls the G-code library's machine type.
#pragma once

#include <array>

#include "machine.h"

namespace test {

inline gcode::Machine ExampleMachine() {
  gcode::Machine machine;
  machine.axes[0] = {20.0, 0.0, 300.0, false};
  machine.axes[1] = {20.0, 0.0, 200.0, false};
  machine.axes[2] = {20.0, -20.0, 10.0, false};
  machine.reference = std::array<int, 3>{50, 50, 20};
  return machine;
}

}  // namespace test
