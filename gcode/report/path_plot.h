// SVG plot of a G-code job in millimetres: the X-Y path with rapid and cutting moves apart and
// the auxiliary state along it, and Z over the job's time. Calls the planner's types only.
#pragma once

#include <cstddef>
#include <ostream>
#include <string>

#include "machine.h"
#include "plan/planner.h"
#include "report/path_trace.h"

namespace gcode {

// `callsDone`: planned entries that ran; the rest of the path is drawn faint.
void WritePathPlotSvg(const Plan& plan, const Machine& machine, std::size_t callsDone,
                      const std::string& title, std::ostream& out);
// The same from a bounded trace of the planned path (what a streamed job keeps).
void WritePathPlotSvg(const PathTrace& trace, const Machine& machine, std::size_t callsDone,
                      const std::string& title, std::ostream& out);

}  // namespace gcode
