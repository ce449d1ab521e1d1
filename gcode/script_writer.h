// The call script of a planned job, runnable by `steplink run`: openConn, initTimer, the calls
// with their source lines as comments, closeConn. Dwells and pauses are comments only (the
// runner has no such lines). Calls the planner's types only.
#pragma once

#include <ostream>
#include <string>

#include "planner.h"

namespace gcode {

void WriteCallScript(const Plan& plan, const std::string& source, std::ostream& out);

}  // namespace gcode
