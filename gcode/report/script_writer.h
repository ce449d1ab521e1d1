// The call script of a planned job, runnable by `steplink run`: openConn, initTimer, the calls
// with their source lines as comments, closeConn. Dwells and pauses are comments only (the
// runner has no such lines). Written as the entries come (a streamed job keeps none), or from a
// whole plan. Calls the planner's types only.
#pragma once

#include <ostream>
#include <string>

#include "plan/planner.h"

namespace gcode {

// The head: a comment naming the source and its `calls` (vectorOut and reference), openConn,
// initTimer.
void WriteCallScriptHead(std::uint64_t calls, const std::string& source, std::ostream& out);
// One planned entry's line.
void WriteCallScriptEntry(const PlannedCall& call, std::ostream& out);
void WriteCallScriptTail(std::ostream& out);  // closeConn

void WriteCallScript(const Plan& plan, const std::string& source, std::ostream& out);

}  // namespace gcode
