// SVG plots of a record: step rate (steps/s) of each axis that moved over time, with aux changes
// and faults marked, and the X-Y path of the table, both with labelled axes in units.
#pragma once

#include <ostream>
#include <string>

#include "outputs/record.h"

namespace tool {

void WritePlotSvg(const Record& record, const std::string& title, std::ostream& out);

}  // namespace tool
