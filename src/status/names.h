// The names of the status block's numbers, as records, summaries, the live view and scripts spell
// them: fault kinds (STEPLINK_FAULT_*) and entries (STEPLINK_CALL_*). Header-only and freestanding
// (the kernel-mode driver builds the table model that uses it).
#pragma once

#include "contract/steplink_contract.h"

namespace status {

// Indexed by STEPLINK_FAULT_*; the record's and summary's spelling.
inline constexpr const char* faultKindNames[] = {"none",     "lost-step", "settle",
                                                 "protocol", "pattern",   "no-switch"};
inline constexpr unsigned faultKindNameCount = sizeof(faultKindNames) / sizeof(faultKindNames[0]);
static_assert(faultKindNameCount == STEPLINK_FAULT_NO_SWITCH + 1);

// Indexed by STEPLINK_CALL_*; the exported entries' names ("" for none).
inline constexpr const char* callNames[] = {"",          "openConn",  "closeConn",
                                            "initTimer", "vectorOut", "reference"};
inline constexpr unsigned callNameCount = sizeof(callNames) / sizeof(callNames[0]);
static_assert(callNameCount == STEPLINK_CALL_REFERENCE + 1);

// "lost-step", "settle", "protocol", "pattern", "no-switch"; "unknown" for none or a number not
// known here.
constexpr const char* FaultKindName(unsigned kind) {
  return kind != STEPLINK_FAULT_NONE && kind < faultKindNameCount ? faultKindNames[kind]
                                                                  : "unknown";
}

// "openConn" ... "reference"; "" for none or a number not known here.
constexpr const char* CallName(unsigned entry) {
  return entry < callNameCount ? callNames[entry] : "";
}

}  // namespace status
