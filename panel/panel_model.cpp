// The control panel's rules: trust, homing, soft limits, jog calls and their deadman, work zero
// and the moves to it, as queued library calls. No I/O; the session supplies the table's
// counters, the completions and the time. Calls only gcode/machine.h.
#include "panel_model.h"

#include <algorithm>
#include <cmath>

#include "contract/steplink_contract.h"

namespace panel {
namespace {

constexpr const char* axisNames[3] = {"x", "y", "z"};
constexpr const char* axisLabels[3] = {"X", "Y", "Z"};
// A step jog longer than this is taken for a typing mistake.
constexpr double maxStepJogMm = 1000.0;

}  // namespace

std::optional<int> AxisNamed(const std::string& name) {
  if (name == "all") return -1;
  for (int axis = 0; axis < 3; ++axis) {
    if (name == axisNames[axis]) return axis;
  }
  return std::nullopt;
}

PanelModel::PanelModel(gcode::Machine machine, double startSpeedStepsPerSecond)
    : machine_(std::move(machine)),
      jogCallSteps_(std::max<std::int32_t>(
          1, static_cast<std::int32_t>(std::lround(startSpeedStepsPerSecond * jogCallSeconds)))),
      offsetsMm_(machine_.workOffsets[0]) {}

void PanelModel::SetWorkOffsets(const std::array<double, 3>& originMm, int coordinateSystem,
                                const std::array<double, 3>& shiftMm) {
  offsetsMm_ = originMm;
  coordinateSystem_ = std::clamp(coordinateSystem, 0, 5);
  shiftMm_ = shiftMm;
}

std::array<double, 3> PanelModel::WorkZeroMm() const {
  return {offsetsMm_[0] + shiftMm_[0], offsetsMm_[1] + shiftMm_[1], offsetsMm_[2] + shiftMm_[2]};
}

std::int32_t PanelModel::StepsOf(int axis, double mm) const {
  const auto& spec = machine_.axes[static_cast<std::size_t>(axis)];
  const auto steps = static_cast<std::int32_t>(std::llround(mm * spec.stepsPerMm));
  return spec.invert ? -steps : steps;
}

double PanelModel::MmOf(int axis, std::int64_t steps) const {
  const auto& spec = machine_.axes[static_cast<std::size_t>(axis)];
  const double mm = static_cast<double>(steps) / spec.stepsPerMm;
  return spec.invert ? -mm : mm;
}

bool PanelModel::InsideLimits(int axis, double machineMm) const {
  const auto& spec = machine_.axes[static_cast<std::size_t>(axis)];
  // Half a step of slack: a position reached by whole steps may round just past a limit.
  const double slack = 0.5 / spec.stepsPerMm;
  return machineMm >= spec.minMm - slack && machineMm <= spec.maxMm + slack;
}

CommandResult PanelModel::Refuse(const std::string& why) {
  return {false, why};
}

CommandResult PanelModel::Accept(const std::string& message) {
  Note(message);
  return {true, message};
}

void PanelModel::Note(const std::string& message) {
  message_ = message;
  ++messageSerial_;
}

void PanelModel::ProcessStarted(Distrust why) {
  for (std::size_t axis = 0; axis < 3; ++axis) {
    // The table's last known place carries over, in machine steps when the axis was homed.
    carriedSteps_[axis] =
        homed_[axis] ? steps_[axis] - zeroSteps_[axis] : carriedSteps_[axis] + steps_[axis];
    homed_[axis] = false;
  }
  steps_ = {};
  zeroSteps_ = {};
  faults_ = 0;
  if (distrust_ == Distrust::none || distrust_ == Distrust::notHomed) distrust_ = why;
  queue_.clear();
  inFlight_ = false;
  current_.reset();
  jogAxis_ = -1;
  if (quitting_) return;  // a Quit cut short by Stop: the session ends instead
  queue_.push_back({PanelCall::Kind::openConn, {}, {}});
  queue_.push_back({PanelCall::Kind::initTimer, {}, {}});
  if (distrust_ == Distrust::stopped) {
    // After a Stop the auxiliary output goes off before anything else.
    queue_.push_back({PanelCall::Kind::vectorOut,
                      {0, 0, STEPLINK_Z_AUX_MINUS},
                      [this](const std::array<std::int32_t, 3>&) { aux_ = 0; }});
  }
  busy_ = "opening the table";
  DropFeed(why == Distrust::fault
               ? "the library reported a fault; a new call process holds the table"
               : "the call process restarted");
}

void PanelModel::Stopped() {
  queue_.clear();
  inFlight_ = false;
  current_.reset();
  jogAxis_ = -1;
  busy_.clear();
  distrust_ = Distrust::stopped;
  DropFeed("Stopped");
  Note("Stopped: the table was halted where it stood; home it before trusting the position");
}

void PanelModel::TableSample(const std::array<std::int32_t, 3>& steps, std::uint32_t faultCount,
                             unsigned lastFaultKind) {
  steps_ = steps;
  if (faultCount > faults_) {
    faults_ = faultCount;
    homed_ = {};
    jogAxis_ = -1;
    if (lastFaultKind == STEPLINK_FAULT_NO_SWITCH) {
      distrust_ = Distrust::noSwitch;
      DropFeed("homing did not find a limit switch");
      Note("Homing did not find the limit switch: the creep made " +
           std::to_string(STEPLINK_REFERENCE_CREEP_LIMIT) +
           " steps and the limit input never engaged; check the switch and its wiring");
      return;
    }
    distrust_ = Distrust::fault;
    DropFeed("the library reported a fault");
    Note("The library reported a fault: the position may be wrong; home the table");
  }
}

std::optional<PanelCall> PanelModel::NextCall(Clock::time_point now) {
  // The deadman holds even while a call is in flight: the hold is over, that call is the last.
  if (jogAxis_ >= 0 && now - lastBeat_ > jogDeadman) {
    JogStop("Jog stopped: the page's heartbeat stopped (connection lost or tab asleep)");
  }
  if (inFlight_) return std::nullopt;
  callFaults_ = faults_;
  if (!queue_.empty()) {
    current_ = std::move(queue_.front());
    queue_.pop_front();
    inFlight_ = true;
    return current_;
  }
  busy_.clear();
  if (jogAxis_ < 0) {
    if (feed_ == nullptr || quitting_) return std::nullopt;
    current_ = feed_->NextCall(now);
    inFlight_ = current_.has_value();
    return current_;
  }
  const int axis = jogAxis_;
  const auto& spec = machine_.axes[static_cast<std::size_t>(axis)];
  const double here = TableMm()[static_cast<std::size_t>(axis)];
  double target = here + jogDirection_ * jogCallSteps_ / spec.stepsPerMm;
  target = std::clamp(target, spec.minMm, spec.maxMm);
  const std::int32_t targetSteps =
      zeroSteps_[static_cast<std::size_t>(axis)] + StepsOf(axis, target);
  const std::int32_t delta = targetSteps - steps_[static_cast<std::size_t>(axis)];
  if (delta == 0 || (delta > 0) != (StepsOf(axis, jogDirection_) > 0)) {
    JogStop(std::string(axisLabels[axis]) + " stopped at its limit (" +
            (jogDirection_ > 0 ? "max " : "min ") +
            nlohmann::json(jogDirection_ > 0 ? spec.maxMm : spec.minMm).dump() + " mm)");
    return std::nullopt;
  }
  PanelCall call;
  call.args[static_cast<std::size_t>(axis)] = delta;
  current_ = call;
  inFlight_ = true;
  return current_;
}

void PanelModel::CallDone(const std::array<std::int32_t, 3>& stepsAfter) {
  steps_ = stepsAfter;
  if (current_ && current_->kind == PanelCall::Kind::vectorOut) {
    // The library's auxiliary codes, whoever queued them (a job's M3/M5 too).
    if (current_->args[2] == STEPLINK_Z_AUX_PLUS) aux_ = 1;
    if (current_->args[2] == STEPLINK_Z_AUX_MINUS) aux_ = 0;
  }
  if (current_ && current_->done) current_->done(stepsAfter);
  current_.reset();
  inFlight_ = false;
  if (queue_.empty()) busy_.clear();
}

CommandResult PanelModel::Home(int axis) {
  if (!machine_.reference) {
    return Refuse("cannot home: the machine file has no [job] reference (back-off steps)");
  }
  if (!BusyNow().empty() || inFlight_)
    return Refuse("the table is busy (" + Busy() + "); wait or Stop");
  jogAxis_ = -1;
  const auto backOff = *machine_.reference;
  // The axes a reference call homes, as a mask: machine zero is where it leaves each of them.
  auto homedAxes = [this](unsigned mask) {
    return [this, mask](const std::array<std::int32_t, 3>& after) {
      // A fault during the call (a creep that never met its switch, above all) homes nothing.
      if (faults_ != callFaults_) return;
      for (std::size_t each = 0; each < 3; ++each) {
        if ((mask & (1u << each)) == 0) continue;
        homed_[each] = true;
        zeroSteps_[each] = after[each];
      }
      if (homed_[0] && homed_[1] && homed_[2]) {
        distrust_ = Distrust::none;
        Note("Homed: the position is trusted, soft limits hold");
      }
    };
  };
  if (axis < 0 || axis == 2) {
    // Z alone first, so that the tool is not dragged across the work.
    queue_.push_back({PanelCall::Kind::reference, {0, 0, backOff[2]}, homedAxes(4u)});
  }
  if (axis < 0) {
    queue_.push_back({PanelCall::Kind::reference, {backOff[0], backOff[1], 0}, homedAxes(3u)});
  } else if (axis < 2) {
    std::array<std::int32_t, 3> args{};
    args[static_cast<std::size_t>(axis)] = backOff[static_cast<std::size_t>(axis)];
    queue_.push_back(
        {PanelCall::Kind::reference, args, homedAxes(1u << static_cast<unsigned>(axis))});
  }
  busy_ = "homing";
  return Accept(axis < 0 ? "Homing Z, then X and Y" : std::string("Homing ") + axisLabels[axis]);
}

void PanelModel::QueueMove(const std::array<std::int64_t, 3>& steps) {
  std::array<std::int64_t, 3> left = steps;
  constexpr std::int64_t most = STEPLINK_MOVE_STEP_LIMIT - 1;
  while (left[0] != 0 || left[1] != 0 || left[2] != 0) {
    PanelCall call;
    for (std::size_t axis = 0; axis < 3; ++axis) {
      const std::int64_t part = std::clamp(left[axis], -most, most);
      call.args[axis] = static_cast<std::int32_t>(part);
      left[axis] -= part;
    }
    queue_.push_back(std::move(call));
  }
}

CommandResult PanelModel::StepJog(int axis, double mm) {
  if (axis < 0 || axis > 2) return Refuse("jog: axis must be x, y or z");
  if (!std::isfinite(mm) || mm == 0.0 || std::abs(mm) > maxStepJogMm) {
    return Refuse("jog: distance must be a number of mm, not zero, at most 1000 either way");
  }
  if (!BusyNow().empty() || inFlight_ || jogAxis_ >= 0) {
    return Refuse("the table is moving (" + (BusyNow().empty() ? std::string("jog") : BusyNow()) +
                  ")");
  }
  const auto index = static_cast<std::size_t>(axis);
  const auto& spec = machine_.axes[index];
  std::string message;
  std::int64_t delta = StepsOf(axis, mm);
  if (Trusted()) {
    const double target = TableMm()[index] + mm;
    const double clamped = std::clamp(target, spec.minMm, spec.maxMm);
    delta = static_cast<std::int64_t>(zeroSteps_[index]) + StepsOf(axis, clamped) - steps_[index];
    if (clamped != target) {
      message = std::string(axisLabels[axis]) + " stops at its limit (" +
                nlohmann::json(clamped).dump() + " mm)";
    }
    if (delta == 0) return Refuse(std::string(axisLabels[axis]) + " is at its limit");
  } else {
    message = "Not homed: soft limits are not enforced";
  }
  std::array<std::int64_t, 3> steps{};
  steps[index] = delta;
  QueueMove(steps);
  busy_ = "jogging";
  return Accept(message.empty() ? std::string("Jog ") + axisLabels[axis] + " " +
                                      nlohmann::json(mm).dump() + " mm"
                                : message);
}

CommandResult PanelModel::JogStart(int axis, int direction, Clock::time_point now) {
  if (axis < 0 || axis > 2 || (direction != 1 && direction != -1)) {
    return Refuse("jog: axis must be x, y or z and direction 1 or -1");
  }
  if (!Trusted()) {
    return Refuse("hold-to-jog needs a homed table; before homing only step jog is allowed");
  }
  if (!BusyNow().empty()) return Refuse("the table is busy (" + Busy() + "); wait or Stop");
  if (jogAxis_ >= 0 && (jogAxis_ != axis || jogDirection_ != direction)) {
    return Refuse("another jog is held; release it first");
  }
  jogAxis_ = axis;
  jogDirection_ = direction;
  lastBeat_ = now;
  return Accept(std::string("Jogging ") + axisLabels[axis] + (direction > 0 ? "+" : "-"));
}

CommandResult PanelModel::JogBeat(Clock::time_point now) {
  if (jogAxis_ < 0) return Refuse("no jog is held");
  lastBeat_ = now;
  return {true, {}};
}

CommandResult PanelModel::JogStop(const std::string& why) {
  const bool was = jogAxis_ >= 0;
  jogAxis_ = -1;
  if (was && !why.empty()) Note(why);
  return {true, was ? why : std::string("no jog was held")};
}

CommandResult PanelModel::Zero(int axis) {
  if (!Trusted()) {
    return Refuse("home first: work zero is kept in machine coordinates (" + TrustedReason() + ")");
  }
  if (inFlight_ || !BusyNow().empty() || jogAxis_ >= 0) {
    return Refuse("wait until the table stands still");
  }
  // The active system's origin moves, so that work (less G92 and the tool length) is 0 here.
  const auto here = TableMm();
  for (std::size_t each = 0; each < 3; ++each) {
    if (axis < 0 || static_cast<std::size_t>(axis) == each)
      offsetsMm_[each] = here[each] - shiftMm_[each];
  }
  return Accept(axis < 0 ? "Work zero set here (X, Y and Z)"
                         : std::string("Work zero of ") + axisLabels[axis] + " set here");
}

CommandResult PanelModel::GoToWorkZero() {
  if (!Trusted()) return Refuse("going to work zero needs a homed table (" + TrustedReason() + ")");
  if (inFlight_ || !BusyNow().empty() || jogAxis_ >= 0) {
    return Refuse("the table is moving; wait until it stands still");
  }
  const double safeZ = gcode::SafeZMm(machine_);
  const auto workZero = WorkZeroMm();
  for (int axis = 0; axis < 3; ++axis) {
    if (!InsideLimits(axis, workZero[static_cast<std::size_t>(axis)])) {
      return Refuse(std::string("work zero of ") + axisLabels[axis] + " is outside its limits");
    }
  }
  // Absolute targets in this process's steps; each move is the difference to the last.
  std::array<std::int64_t, 3> at{steps_[0], steps_[1], steps_[2]};
  auto target = [this](int axis, double mm) {
    return static_cast<std::int64_t>(zeroSteps_[static_cast<std::size_t>(axis)]) +
           StepsOf(axis, mm);
  };
  // Z up to the safe height (never down to it), then X and Y, then Z down to work zero.
  if (TableMm()[2] < safeZ) {
    const std::int64_t up = target(2, safeZ);
    QueueMove({0, 0, up - at[2]});
    at[2] = up;
  }
  const std::int64_t x = target(0, workZero[0]);
  const std::int64_t y = target(1, workZero[1]);
  QueueMove({x - at[0], y - at[1], 0});
  QueueMove({0, 0, target(2, workZero[2]) - at[2]});
  if (queue_.empty()) return Accept("Already at work zero");
  busy_ = "going to work zero";
  return Accept("Going to work zero: Z to the safe height, then X and Y, then Z down");
}

CommandResult PanelModel::Aux(bool on) {
  if (inFlight_ || !BusyNow().empty() || jogAxis_ >= 0)
    return Refuse("wait until the table stands still");
  queue_.push_back({PanelCall::Kind::vectorOut,
                    {0, 0, on ? STEPLINK_Z_AUX_PLUS : STEPLINK_Z_AUX_MINUS},
                    [this, on](const std::array<std::int32_t, 3>&) { aux_ = on ? 1 : 0; }});
  busy_ = on ? "auxiliary output on" : "auxiliary output off";
  return Accept(on ? "Auxiliary output on" : "Auxiliary output off");
}

CommandResult PanelModel::Quit() {
  if (quitting_) return {true, "already quitting"};
  quitting_ = true;
  jogAxis_ = -1;
  DropFeed("Quitting");
  queue_.clear();
  queue_.push_back({PanelCall::Kind::vectorOut,
                    {0, 0, STEPLINK_Z_AUX_MINUS},
                    [this](const std::array<std::int32_t, 3>&) { aux_ = 0; }});
  queue_.push_back({PanelCall::Kind::closeConn, {}, {}});
  busy_ = "quitting";
  return Accept("Quitting: auxiliary output off, then the table is closed");
}

std::string PanelModel::TrustedReason() const {
  switch (distrust_) {
    case Distrust::none:
      return {};
    case Distrust::notHomed:
      return "not homed since the panel started";
    case Distrust::stopped:
      return "stopped mid-move: home again";
    case Distrust::restarted:
      return "the call process restarted (its table starts from its own zero): home again";
    case Distrust::fault:
      return "the library reported a fault: home again";
    case Distrust::noSwitch:
      return "homing did not find a limit switch (the creep made " +
             std::to_string(STEPLINK_REFERENCE_CREEP_LIMIT) +
             " steps without it): check the switch, then home again";
  }
  return {};
}

std::array<std::int64_t, 3> PanelModel::MachineSteps() const {
  std::array<std::int64_t, 3> steps{};
  for (std::size_t axis = 0; axis < 3; ++axis) {
    steps[axis] = homed_[axis] ? static_cast<std::int64_t>(steps_[axis]) - zeroSteps_[axis]
                               : carriedSteps_[axis] + steps_[axis];
  }
  return steps;
}

std::array<double, 3> PanelModel::TableMm() const {
  std::array<double, 3> mm{};
  for (int axis = 0; axis < 3; ++axis) {
    const auto index = static_cast<std::size_t>(axis);
    mm[index] = homed_[index]
                    ? MmOf(axis, static_cast<std::int64_t>(steps_[index]) - zeroSteps_[index])
                    : MmOf(axis, carriedSteps_[index] + steps_[index]);
  }
  return mm;
}

nlohmann::json PanelModel::State() const {
  const auto table = TableMm();
  const auto workZero = WorkZeroMm();
  nlohmann::json homed = nlohmann::json::object();
  nlohmann::json offsets = nlohmann::json::object();
  nlohmann::json limits = nlohmann::json::object();
  nlohmann::json work = nlohmann::json::array();
  for (std::size_t axis = 0; axis < 3; ++axis) {
    homed[axisNames[axis]] = homed_[axis];
    offsets[axisNames[axis]] = workZero[axis];
    limits[axisNames[axis]] = {machine_.axes[axis].minMm, machine_.axes[axis].maxMm};
    work.push_back(table[axis] - workZero[axis]);
  }
  return {{"panel", true},
          {"trusted", Trusted()},
          {"trusted_reason", TrustedReason()},
          {"homed", homed},
          {"offsets", offsets},
          {"coordinate_system", "G5" + std::to_string(4 + coordinateSystem_)},
          {"jogging", jogAxis_ >= 0},
          {"jog_axis", jogAxis_ >= 0 ? axisNames[jogAxis_] : ""},
          {"table_mm", {{"x", table[0]}, {"y", table[1]}, {"z", table[2]}}},
          {"work_mm", work},
          {"limits", limits},
          {"limits_enforced", Trusted()},
          {"safe_z_mm", gcode::SafeZMm(machine_)},
          {"aux", aux_},
          {"busy", BusyNow()},
          {"moving", inFlight_},
          {"message", message_},
          {"message_serial", messageSerial_}};
}

}  // namespace panel
