// The control panel's rules, without I/O: whether the position can be trusted and why not, which
// axes are homed, the work offsets, the soft limits, and the library calls each command turns
// into (homing, step and hold-to-jog moves, going to work zero, the auxiliary output). The
// session feeds it the table's step counters and the calls' completions; time is passed in.
// Calls only gcode/machine.h.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "machine.h"

namespace panel {

using Clock = std::chrono::steady_clock;

// One library call the panel wants made. `done` runs (under the model's lock) once the call has
// completed, with the table's step counters after it.
struct PanelCall {
  enum class Kind { openConn, initTimer, vectorOut, reference, closeConn } kind = Kind::vectorOut;
  std::array<std::int32_t, 3> args{};
  std::function<void(const std::array<std::int32_t, 3>& stepsAfter)> done{};
};

// Hold-to-jog: the page beats at least every 100 ms; no new move is issued once the last beat is
// this old, so a dropped connection or a frozen tab stops the table within one short call more.
inline constexpr std::chrono::milliseconds jogDeadman{250};
// Each hold-to-jog call lasts about this long at the library's start speed, so that a release
// stops the table within one such call.
inline constexpr double jogCallSeconds = 0.05;

// Why the position is not trusted (none: it is).
// noSwitch: a homing's creep never met its limit switch (the table's no-switch fault).
enum class Distrust { none, notHomed, stopped, restarted, fault, noSwitch };

struct CommandResult {
  bool ok = true;
  std::string message;  // what happened, or why it was refused
};

// A source of calls taken one at a time when nothing else is queued and no jog is held (a running
// job, an MDI line: panel_jobs.h). Called under the model's lock.
class CallFeed {
 public:
  virtual ~CallFeed() = default;
  // The next call, or nothing for now (paused, dwelling, nothing running).
  virtual std::optional<PanelCall> NextCall(Clock::time_point now) = 0;
  // What holds the table ("running example.nc"), empty when nothing does: the model's own
  // commands are refused meanwhile.
  virtual std::string Busy() const = 0;
  // The table was stopped, its call process restarted or the library reported a fault: whatever
  // runs is over.
  virtual void Dropped(const std::string& why) = 0;
};

class PanelModel {
 public:
  // startSpeedStepsPerSecond: the library variant's speed of a move's first step (the pace of
  // the short jog calls).
  PanelModel(gcode::Machine machine, double startSpeedStepsPerSecond);

  // ---- Facts from the session ----
  // A new call process holds the table: its step counters start from zero, the first step of a
  // real table may move a motor half a phase. `why` restarted or fault (stopped is set by Stop).
  void ProcessStarted(Distrust why);
  // Stop: the calls in flight are gone, the queue is dropped, the position is no longer trusted.
  void Stopped();
  // The table's latest step counters, fault count and last fault's kind (STEPLINK_FAULT_*), from
  // the status block.
  void TableSample(const std::array<std::int32_t, 3>& steps, std::uint32_t faultCount,
                   unsigned lastFaultKind);
  // Every call handed to the call process has completed.
  bool Idle() const { return !inFlight_; }
  // The next call to make, when nothing is in flight and one is due (queued, or the next short
  // call of a hold-to-jog whose heartbeat is fresh); marks it in flight.
  std::optional<PanelCall> NextCall(Clock::time_point now);
  // The call in flight has completed; the table's counters after it.
  void CallDone(const std::array<std::int32_t, 3>& stepsAfter);

  // The feed consulted once the model's own queue is empty (nullptr: none). Not owned.
  void SetFeed(CallFeed* feed) { feed_ = feed; }
  // Nothing queued, nothing in flight, no jog held, nothing busy: a feed may start.
  bool StandingStill() const {
    return !inFlight_ && queue_.empty() && jogAxis_ < 0 && BusyNow().empty();
  }
  // The table's machine position in motor steps from machine zero (meaningful when trusted).
  std::array<std::int64_t, 3> MachineSteps() const;
  // Work zero is the active coordinate system's origin (G54..G59, machine mm; Zero sets it) plus
  // what G92 and the tool length add (shift, machine mm): work = table - origin - shift.
  const std::array<double, 3>& OffsetsMm() const { return offsetsMm_; }  // the active origin
  void SetWorkOffsets(const std::array<double, 3>& originMm, int coordinateSystem,
                      const std::array<double, 3>& shiftMm);
  std::array<double, 3> WorkZeroMm() const;
  int AuxState() const { return aux_; }  // -1 unknown, 0 off, 1 on
  const gcode::Machine& Machine() const { return machine_; }

  // ---- Commands (from the page) ----
  CommandResult Home(int axis);  // 0..2, or -1 for all (Z first, then X and Y)
  CommandResult StepJog(int axis, double mm);
  CommandResult JogStart(int axis, int direction, Clock::time_point now);
  CommandResult JogBeat(Clock::time_point now);
  CommandResult JogStop(const std::string& why);
  CommandResult Zero(int axis);  // -1: all three
  CommandResult GoToWorkZero();
  CommandResult Aux(bool on);
  // The end of the session: the queue and any jog dropped, then the auxiliary output off and
  // closeConn after the call in flight.
  CommandResult Quit();
  // Quit's calls are all made.
  bool Finished() const { return quitting_ && queue_.empty() && !inFlight_; }

  // ---- What the page shows ----
  bool Trusted() const { return distrust_ == Distrust::none; }
  std::string TrustedReason() const;
  // The table in machine mm per axis: from the axis's machine zero once homed; before that from
  // where the session's first process started (carried over restarts), which may be wrong.
  std::array<double, 3> TableMm() const;
  nlohmann::json State() const;
  std::string Busy() const { return BusyNow(); }

 private:
  std::int32_t StepsOf(int axis, double mm) const;  // mm distance in the axis's step direction
  double MmOf(int axis, std::int64_t steps) const;
  bool InsideLimits(int axis, double machineMm) const;
  CommandResult Refuse(const std::string& why);
  CommandResult Accept(const std::string& message);
  // Queues a move of `steps` split into calls below the library's limit.
  void QueueMove(const std::array<std::int64_t, 3>& steps);
  void QueueTo(int axis, double machineMm);  // one axis to a machine position
  void Note(const std::string& message);
  // The model's own errand, or else the feed's.
  std::string BusyNow() const { return !busy_.empty() || feed_ == nullptr ? busy_ : feed_->Busy(); }
  void DropFeed(const std::string& why) {
    if (feed_ != nullptr) feed_->Dropped(why);
  }

  gcode::Machine machine_;
  std::int32_t jogCallSteps_;
  Distrust distrust_ = Distrust::notHomed;
  std::array<bool, 3> homed_{};
  std::array<std::int32_t, 3> zeroSteps_{};     // machine zero in the current process's steps
  std::array<std::int64_t, 3> carriedSteps_{};  // where earlier processes left the table
  std::array<std::int32_t, 3> steps_{};         // the current process's counters
  std::array<double, 3> offsetsMm_{};           // the active coordinate system's origin, machine mm
  int coordinateSystem_ = 0;                    // 0: G54 ... 5: G59
  std::array<double, 3> shiftMm_{};             // G92 and the tool length (Z), machine mm
  std::uint32_t faults_ = 0;
  std::uint32_t callFaults_ = 0;  // faults_ as the call in flight was issued
  int aux_ = -1;                  // -1 unknown, 0 off, 1 on

  CallFeed* feed_ = nullptr;
  std::deque<PanelCall> queue_;
  bool inFlight_ = false;
  std::optional<PanelCall> current_;
  // "homing", "going to work zero", ... while queued calls remain; until the first call process
  // has the table open, that.
  std::string busy_ = "opening the table";

  // Hold-to-jog.
  int jogAxis_ = -1;
  int jogDirection_ = 0;
  Clock::time_point lastBeat_{};

  bool quitting_ = false;
  std::string message_;
  std::uint64_t messageSerial_ = 0;
};

// The axis of "x", "y", "z" (0..2), -1 for "all", nullopt otherwise.
std::optional<int> AxisNamed(const std::string& name);

}  // namespace panel
