// What each result of the five library calls means, as the runner prints it after a call's
// "NAME ARGS -> RESULT" and as the README's reference lists it: one table for both. Pure.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "job/script.h"

namespace tool {

struct ResultMeaning {
  Entry entry;
  const char* results;  // which results (and arguments) the row covers, in words
  const char* meaning;  // the words after the result; reference's row is followed by the axes
};

// Every row, in the order of the calls.
std::span<const ResultMeaning> ResultMeanings();

// The meaning of `result` of a call with these arguments ("device open", "counter 0 in mode
// 2", "move refused: a distance of 32000 steps or more"); reference gives no result and its
// meaning names the axes it homes.
std::string MeaningOf(Entry entry, const std::array<std::int32_t, 3>& args, int result);

// Whether the result says the call failed: openConn's 255 (the device did not open). No other
// call has a failure result; what goes wrong inside one shows in the device's counts.
bool ResultIsFailure(Entry entry, int result);

}  // namespace tool
