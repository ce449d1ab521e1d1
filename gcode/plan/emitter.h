// The call emitter, after LinuxCNC's canonical machining functions: traverse, feed, arc, dwell,
// pause, auxiliary state and home, all in machine millimetres. It alone turns motion into the
// library's calls: whole steps rounded from the absolute position, calls below 32000 steps,
// z = 32222 while an auxiliary state is selected and the state applied again after Z motion,
// soft limits on every end, the duration estimate and the counters. Calls the duration model.
#pragma once

#include <array>
#include <cstdint>
#include <functional>

#include "machine.h"
#include "plan/planner.h"
#include "plan/profile.h"

namespace gcode {

// An arc as chords: axes a, b of its plane and l along it, centre, start angle and sweep
// (radians, positive counter-clockwise), radius at the start and the end, chord count.
struct ArcPath {
  int a = 0, b = 1, l = 2;
  double ca = 0, cb = 0;
  double startAngle = 0, sweep = 0;
  double r1 = 0, r2 = 0;
  std::int64_t chords = 1;
  std::array<double, 3> from{}, to{};  // machine mm
};

class Emitter {
 public:
  // `plan` receives the counters and the soft-limit errors; `sink` each call (may be empty).
  Emitter(const Machine& machine, const Profile& profile, Plan& plan, const CallSink& sink,
          std::size_t maxCalls);

  void Traverse(const std::array<double, 3>& mm, int line);        // G0, then the aux state again
  void TraverseStored(const std::array<double, 3>& mm, int line);  // to a G28/G30 position
  void Feed(const std::array<double, 3>& mm, int line);            // G1, likewise
  void ArcFeed(const ArcPath& arc, int line);                      // G2/G3, likewise after the arc
  void Reposition(const std::array<double, 3>& mm, int line);      // --from-line's approach
  void Dwell(double seconds, int line);
  void Pause(std::string text, int line, Purpose purpose = Purpose::pause);  // or toolChange
  void SelectAux(int state, int line);  // 1 (M3/M4) or 0 (M5), applied at once
  void ForgetAux() { aux_ = -1; }       // the selection only, no call
  int Aux() const { return aux_; }
  void Home(int line, const std::array<int, 3>& backOff);  // Z, then X and Y; aux again

  void SetEmitting(bool emitting) { emitting_ = emitting; }
  // The table stands at `steps` (machine motor steps) with auxiliary state `aux` selected: a
  // program that runs on from an earlier one's state (the panel). No call.
  void StartAt(const std::array<std::int64_t, 3>& steps, int aux) {
    steps_ = entryFrom_ = steps;
    aux_ = aux;
  }
  // Axes whose position is known; an unknown one (after a refused line) is not checked against
  // its soft limits, so one fault is not reported again at every later move.
  void SetKnownAxes(const std::array<bool, 3>& known) { known_ = known; }
  // Sees every traverse, feed and arc as asked for, machine mm, before it becomes steps.
  using Observer = std::function<void(CanonMove::Kind, const std::array<double, 3>& mm,
                                      const ArcPath* arc, int line)>;
  void SetObserver(Observer observer) { observer_ = std::move(observer); }
  bool Emitting() const { return emitting_; }
  std::uint64_t CallsEmitted() const { return callsEmitted_; }
  const std::array<std::int64_t, 3>& Steps() const { return steps_; }

 private:
  bool Refused() const { return plan_.errorCount > 0; }
  void Emit(PlannedCall call);
  void ApplyAux(int line, Purpose purpose);
  bool MoveToMm(const std::array<double, 3>& mm, Purpose purpose, int line);
  bool WithinLimits(const std::array<std::int64_t, 3>& target, int line);
  void StepTo(const std::array<std::int64_t, 3>& target, Purpose purpose, int line);
  void AfterMotion(int line);
  void CountParts(const std::array<std::int64_t, 3>& start,
                  const std::array<std::int64_t, 3>& target, std::int64_t longest,
                  std::int64_t parts, Purpose purpose);
  std::int64_t CreepEstimate(int axis, const std::array<int, 3>& backOff) const;

  const Machine& machine_;
  Plan& plan_;
  const CallSink& sink_;
  std::size_t maxCalls_;
  DurationModel model_;
  std::array<std::int64_t, 3> steps_{};  // machine position in whole motor steps
  // End of the last entry emitted: the job starts at machine zero (a --from-line job's first
  // entry is its reference run, whose start no position of the plan describes).
  std::array<std::int64_t, 3> entryFrom_{};
  int aux_ = -1;  // -1 none, 0 (M5), 1 (M3/M4)
  bool emitting_ = true;
  bool zMoved_ = false;  // in the block being emitted
  int limitLine_ = -1;   // one soft-limit error a line
  std::array<bool, 3> known_{true, true, true};
  Observer observer_;
  std::uint64_t callsEmitted_ = 0;
};

}  // namespace gcode
