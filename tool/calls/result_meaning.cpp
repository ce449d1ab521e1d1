// The table of result meanings and the choice of a row for a call's arguments and result. The
// library's codes: openConn's 255 and closeConn's 0 are its only failures; vectorOut's code
// tells what its z selected (3 is a plain move, also a refused one); initTimer's is the
// counter's mode or a measured count. Calls nothing.
#include "calls/result_meaning.h"

#include <cstdlib>

namespace tool {
namespace {

// Rows by name, in table order.
enum Row {
  openFailed,
  openDone,
  closeNone,
  closeDone,
  timerMode2,
  timerMode3,
  timerMeasuredFine,
  timerMeasuredCoarse,
  moveDone,
  moveNothing,
  moveRefused,
  aux0Set,
  aux1Set,
  zLatchKept,
  moveUnexpected,
  timerUnexpected,
  referenceHomes,
  referenceNothing,
};

// Steps of one call from which a distance is refused (no axis moves).
constexpr std::int64_t refusedSteps = 32000;
constexpr std::int32_t auxCodeMinus = -32000, auxCodePlus = 32000, keepZLatch = 32222;

constexpr ResultMeaning rows[] = {
    // indexed by Row
    {Entry::openConn, "255", "device not opened"},
    {Entry::openConn, "any other value (the device handle)", "device open"},
    {Entry::closeConn, "0", "nothing closed: no device was open"},
    {Entry::closeConn, "any other value", "device closed"},
    {Entry::initTimer, "2", "counter 0 in mode 2"},
    {Entry::initTimer, "3", "counter 0 in mode 3"},
    {Entry::initTimer, "0 to 30000, a multiple of 100",
     "counter 0 in another mode: a measured count, steps paced at 1 count per tick"},
    {Entry::initTimer, "30100 to 65500, a multiple of 100",
     "counter 0 in another mode: a measured count, steps paced at 2 counts per tick"},
    {Entry::vectorOut, "3", "move done"},
    {Entry::vectorOut, "3 with x = y = z = 0", "nothing to move"},
    {Entry::vectorOut, "3 with a distance of 32000 steps or more",
     "move refused: a distance of 32000 steps or more"},
    {Entry::vectorOut, "0 (z = -32000)", "auxiliary state 0 set"},
    {Entry::vectorOut, "1 (z = +32000)", "auxiliary state 1 set"},
    {Entry::vectorOut, "2 (z = 32222)", "Z latch left as it was"},
    {Entry::vectorOut, "anything else", "not a result this call gives"},
    {Entry::initTimer, "anything else", "not a result this call gives"},
    {Entry::reference, "done (no result)", "homed"},
    {Entry::reference, "done with x = y = 0 and no Z back-off", "nothing to home"},
};

// The Z distance of a vectorOut, 0 for the auxiliary codes and 32222, refusedSteps when out
// of range.
std::int64_t ZDistance(std::int32_t z) {
  if (z == auxCodeMinus || z == auxCodePlus || z == keepZLatch) return 0;
  if (z <= -refusedSteps || z >= refusedSteps) return refusedSteps;
  return std::llabs(z);
}

std::string VectorOutMeaning(const std::array<std::int32_t, 3>& args, int result) {
  const std::int64_t x = std::llabs(std::int64_t{args[0]}), y = std::llabs(std::int64_t{args[1]});
  const std::int64_t z = ZDistance(args[2]);
  const bool refused = x >= refusedSteps || y >= refusedSteps || z >= refusedSteps;
  const bool still = x == 0 && y == 0 && z == 0;
  std::string selected;
  if (args[2] == auxCodeMinus && result == 0) {
    selected = rows[aux0Set].meaning;
  } else if (args[2] == auxCodePlus && result == 1) {
    selected = rows[aux1Set].meaning;
  } else if (args[2] == keepZLatch && result == 2) {
    selected = rows[zLatchKept].meaning;
  } else if (result != 3 || args[2] == auxCodeMinus || args[2] == auxCodePlus ||
             args[2] == keepZLatch) {
    return rows[moveUnexpected].meaning;
  }
  if (selected.empty()) return rows[refused ? moveRefused : still ? moveNothing : moveDone].meaning;
  if (refused) return selected + "; " + rows[moveRefused].meaning;
  return still ? selected : selected + "; " + rows[moveDone].meaning;
}

std::string ReferenceMeaning(const std::array<std::int32_t, 3>& args) {
  std::string axes;
  const bool homesZ = args[2] != 0 && args[2] > auxCodeMinus && args[2] < auxCodePlus;
  const bool homes[3] = {args[0] != 0, args[1] != 0, homesZ};
  for (int axis = 0; axis < 3; ++axis) {
    if (!homes[axis]) continue;
    axes += axes.empty() ? "" : ", ";
    axes += static_cast<char>('X' + axis);
  }
  if (axes.empty()) return rows[referenceNothing].meaning;
  return std::string(rows[referenceHomes].meaning) + " " + axes;
}

}  // namespace

std::span<const ResultMeaning> ResultMeanings() {
  return rows;
}

std::string MeaningOf(Entry entry, const std::array<std::int32_t, 3>& args, int result) {
  switch (entry) {
    case Entry::openConn:
      return rows[result == 255 ? openFailed : openDone].meaning;
    case Entry::closeConn:
      return rows[result == 0 ? closeNone : closeDone].meaning;
    case Entry::initTimer:
      if (result == 2) return rows[timerMode2].meaning;
      if (result == 3) return rows[timerMode3].meaning;
      if (result < 0 || result > 65500 || result % 100 != 0) return rows[timerUnexpected].meaning;
      return rows[result > 30000 ? timerMeasuredCoarse : timerMeasuredFine].meaning;
    case Entry::vectorOut:
      return VectorOutMeaning(args, result);
    case Entry::reference:
      return ReferenceMeaning(args);
  }
  return rows[moveUnexpected].meaning;
}

bool ResultIsFailure(Entry entry, int result) {
  return entry == Entry::openConn && result == 255;
}

}  // namespace tool
