// The 64-bit Windows seam's two sides: the substitute's calls (winapi_substitute.cpp, under
// namespace winapi::substitute there) and the once-per-process choice between them and the
// system's (winapi_win64.cpp). The calls' list is the seam's own (port/winapi_calls.inc).
#pragma once

#include "port/winapi.h"

namespace winapi::substitute {

#include "port/winapi_calls.inc"

}  // namespace winapi::substitute

namespace sim {
// Whether this process runs the simulated table in-process: STEPLINK_SIM is set (to anything,
// even empty: the defaults). Decided on first use and kept, so one session never mixes the two.
bool SimulatedTableChosen();
}  // namespace sim
