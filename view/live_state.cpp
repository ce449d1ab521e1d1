// Snapshot, rates, move in progress, path decimation and fault list for the live view.
#include "live_state.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "status/names.h"

namespace view {
namespace {

std::string Hex(unsigned value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "%0*x", digits, value);
  return text;
}

const char* JobStateName(std::uint32_t state) {
  switch (state) {
    case STEPLINK_JOB_RUNNING:
      return "running";
    case STEPLINK_JOB_PAUSED:
      return "paused";
    case STEPLINK_JOB_ENDED:
      return "ended";
    case STEPLINK_JOB_INTERRUPTED:
      return "stopped";
    case STEPLINK_JOB_FAILED:
      return "failed";
    default:
      return "none";
  }
}

// A z argument that is a command code, not a distance.
bool IsZCode(std::int32_t z) {
  return z == STEPLINK_Z_AUX_PLUS || z == STEPLINK_Z_AUX_MINUS || z == STEPLINK_Z_KEEP_LATCH;
}

}  // namespace

const char* FaultKindName(unsigned kind) {
  return status::FaultKindName(kind);
}

const char* CallName(unsigned entry) {
  return status::CallName(entry);
}

void LiveState::Update(const std::optional<StatusCopy>& copy, bool ownerAlive) {
  ownerAlive_ = ownerAlive;
  if (!copy) return;
  const SteplinkStatusTable& table = copy->table;
  const SteplinkStatusJob& job = copy->job;
  const std::int32_t position[3] = {table.positionX, table.positionY, table.positionZ};

  if (!haveRateBase_ || table.ticks < rateTicks_) {
    haveRateBase_ = true;
    rateTicks_ = table.ticks;
    for (int axis = 0; axis < 3; ++axis) ratePosition_[axis] = position[axis];
  } else {
    const double seconds = static_cast<double>(table.ticks - rateTicks_) * STEPLINK_TICK_SECONDS;
    if (seconds >= rateWindowSeconds) {
      for (int axis = 0; axis < 3; ++axis) {
        rates_[axis] = (position[axis] - ratePosition_[axis]) / seconds;
        ratePosition_[axis] = position[axis];
      }
      rateTicks_ = table.ticks;
    }
  }
  // The table's time moves only with its updates: a block that stays the same for a while
  // belongs to a table that stands.
  if (last_ && last_->table.sequence == table.sequence) {
    if (++idleSamples_ >= 20) {
      for (double& rate : rates_) rate = 0;
      rateTicks_ = table.ticks;
      for (int axis = 0; axis < 3; ++axis) ratePosition_[axis] = position[axis];
    }
  } else {
    idleSamples_ = 0;
  }

  if (job.callIndex != moveCallIndex_) {
    moveCallIndex_ = job.callIndex;
    // Between calls the table stands, so the previous sample's position is where this call began.
    for (int axis = 0; axis < 3; ++axis) {
      moveFrom_[axis] = last_ ? lastPosition_[axis] : position[axis];
    }
  }
  for (int axis = 0; axis < 3; ++axis) lastPosition_[axis] = position[axis];

  if (table.faultCount > faultsSeen_) {
    nlohmann::json fault = {
        {"count", table.faultCount},
        {"new", table.faultCount - faultsSeen_},
        {"kind", FaultKindName(table.lastFaultKind)},
        {"port", Hex(table.lastFaultPort, 3)},
        {"value", Hex(table.lastFaultValue, 2)},
        {"tick", table.lastFaultTick},
        {"time_s", static_cast<double>(table.lastFaultTick) * STEPLINK_TICK_SECONDS},
    };
    faults_.push_back(std::move(fault));
    if (faults_.size() > maxFaults) faults_.pop_front();
    faultsSeen_ = table.faultCount;
  }

  Point sample{static_cast<double>(table.ticks) * STEPLINK_TICK_SECONDS, position[0], position[1],
               position[2], table.auxState};
  sample.hasMm = TableMm(*copy, sample.mm);
  Offer(sample);
  last_ = copy;
}

bool LiveState::TableMm(const StatusCopy& copy, double mm[3]) const {
  const SteplinkStatusJob& job = copy.job;
  // During a reference run the table heads for switches the plan has no position for; machine
  // zero is known again as it ends.
  if (info_.stepsPerMm[0] <= 0 || job.machineZeroKnown == 0 ||
      job.callEntry == STEPLINK_CALL_REFERENCE)
    return false;
  const std::int32_t position[3] = {copy.table.positionX, copy.table.positionY,
                                    copy.table.positionZ};
  for (int axis = 0; axis < 3; ++axis) {
    const double steps = static_cast<double>(position[axis]) - job.machineZeroSteps[axis];
    mm[axis] = (info_.invert[axis] ? -steps : steps) / info_.stepsPerMm[axis];
  }
  return true;
}

void LiveState::Offer(const Point& point) {
  if (!anchor_) {
    Commit(point);
    return;
  }
  const Point& from = tip_ ? *tip_ : *anchor_;
  if (from.x == point.x && from.y == point.y && from.z == point.z && from.aux == point.aux &&
      from.hasMm == point.hasMm)
    return;
  if (tip_ && tip_->aux == anchor_->aux && point.aux == anchor_->aux &&
      tip_->hasMm == anchor_->hasMm && point.hasMm == anchor_->hasMm) {
    // Does the tip lie within one step of the line from the anchor to the new point, between
    // them? Then the segment just grows.
    const double ax = point.x - anchor_->x, ay = point.y - anchor_->y, az = point.z - anchor_->z;
    const double bx = tip_->x - anchor_->x, by = tip_->y - anchor_->y, bz = tip_->z - anchor_->z;
    const double length2 = ax * ax + ay * ay + az * az;
    const double dot = ax * bx + ay * by + az * bz;
    const double cx = ay * bz - az * by, cy = az * bx - ax * bz, cz = ax * by - ay * bx;
    if (length2 > 0 && dot > 0 && dot <= length2 && (cx * cx + cy * cy + cz * cz) <= length2) {
      tip_ = point;
      return;
    }
  }
  if (tip_) Commit(*tip_);
  tip_ = point;
}

void LiveState::Commit(const Point& point) {
  anchor_ = point;
  tip_.reset();
  ++serial_;
  recent_.emplace_back(serial_, point);
  if (recent_.size() > recentPoints) recent_.pop_front();
  if ((candidate_++ % stride_) != 0) return;
  history_.push_back(point);
  if (history_.size() >= maxHistoryPoints) {
    std::vector<Point> kept;
    kept.reserve(maxHistoryPoints / 2 + 1);
    for (std::size_t index = 0; index < history_.size(); index += 2) {
      kept.push_back(history_[index]);
    }
    if (history_.size() % 2 == 0) kept.push_back(history_.back());
    history_ = std::move(kept);
    stride_ *= 2;
  }
}

nlohmann::json LiveState::PointJson(const Point& point) const {
  nlohmann::json json = {point.timeSeconds, point.x, point.y, point.z, point.aux};
  // A G-code job's corners carry machine mm as well (null while machine zero is unknown).
  if (info_.stepsPerMm[0] > 0) {
    json.push_back(point.hasMm ? nlohmann::json{point.mm[0], point.mm[1], point.mm[2]}
                               : nlohmann::json(nullptr));
  }
  return json;
}

void LiveState::Finish(const std::string& outcome, int exitCode) {
  finishedOutcome_ = outcome;
  exitCode_ = exitCode;
  if (tip_) Commit(*tip_);
}

nlohmann::json LiveState::State() const {
  nlohmann::json state;
  state["job"] = info_.name;
  state["gcode"] = info_.gcode;
  state["controls"] = {{"stop", info_.canStop}, {"pause", info_.canPause}};
  state["block"] = last_.has_value();
  if (last_) {
    const SteplinkStatusTable& table = last_->table;
    const SteplinkStatusJob& job = last_->job;
    state["steps"] = {{"x", table.positionX}, {"y", table.positionY}, {"z", table.positionZ}};
    state["aux"] = table.auxState;
    state["limit"] = table.limitEngaged != 0;
    state["ticks"] = table.ticks;
    state["time_s"] = static_cast<double>(table.ticks) * STEPLINK_TICK_SECONDS;
    state["total_steps"] = table.totalSteps;
    state["hardware"] = table.hardware != 0;
    state["rates"] = {{"x", rates_[0]}, {"y", rates_[1]}, {"z", rates_[2]}};
    nlohmann::json faults = {{"count", table.faultCount}};
    if (table.faultCount > 0) {
      faults["last"] = {
          {"kind", FaultKindName(table.lastFaultKind)},
          {"port", Hex(table.lastFaultPort, 3)},
          {"value", Hex(table.lastFaultValue, 2)},
          {"tick", table.lastFaultTick},
          {"time_s", static_cast<double>(table.lastFaultTick) * STEPLINK_TICK_SECONDS}};
    }
    state["faults"] = faults;
    if (job.callEntry != STEPLINK_CALL_NONE) {
      state["call"] = {{"method", CallName(job.callEntry)},
                       {"args", {job.callArgs[0], job.callArgs[1], job.callArgs[2]}},
                       {"index", job.callIndex},
                       {"count", job.callCount}};
      if (job.planCount > 0) {
        // The plan's own numbering, as the report counts: library calls of the plan only (null
        // for openConn, initTimer, closeConn, dwells and pauses), and the plan's entry.
        state["call"]["number"] =
            job.planCall > 0 ? nlohmann::json(job.planCall) : nlohmann::json(nullptr);
        state["call"]["total"] = info_.callTotal;
        state["call"]["entry"] =
            job.planEntry > 0 ? nlohmann::json(job.planEntry) : nlohmann::json(nullptr);
        state["call"]["entries"] = job.planCount;
      }
    } else {
      state["call"] = nullptr;
    }
    if (job.callEntry == STEPLINK_CALL_VECTOR_OUT) {
      // A G-code move starts where its plan entry has the table (in the table's steps, through
      // machine zero), whenever the view sampled; another job's where the last sample saw it.
      std::int32_t from[3] = {moveFrom_[0], moveFrom_[1], moveFrom_[2]};
      if (job.planEntry > 0 && job.machineZeroKnown != 0) {
        for (int axis = 0; axis < 3; ++axis)
          from[axis] = job.planFromSteps[axis] + job.machineZeroSteps[axis];
      }
      const std::int32_t toZ = IsZCode(job.callArgs[2]) ? from[2] : from[2] + job.callArgs[2];
      state["move"] = {
          {"from", {{"x", from[0]}, {"y", from[1]}, {"z", from[2]}}},
          {"to", {{"x", from[0] + job.callArgs[0]}, {"y", from[1] + job.callArgs[1]}, {"z", toZ}}}};
    } else {
      state["move"] = nullptr;
    }
    const bool gcode = info_.gcode || job.gcodeLine != 0;
    state["gcode"] = gcode;
    if (gcode) {
      state["mm"] = {{"x", job.mm[0]}, {"y", job.mm[1]}, {"z", job.mm[2]}};
      double mm[3];
      state["table_mm"] = TableMm(*last_, mm)
                              ? nlohmann::json{{"x", mm[0]}, {"y", mm[1]}, {"z", mm[2]}}
                              : nlohmann::json(nullptr);
      state["line"] = job.gcodeLine;
      state["percent"] = job.percent >= 0 ? nlohmann::json(job.percent) : nlohmann::json(nullptr);
      state["eta_s"] =
          job.etaSeconds >= 0 ? nlohmann::json(job.etaSeconds) : nlohmann::json(nullptr);
    }
    std::string status = JobStateName(job.state);
    bool running = job.state == STEPLINK_JOB_RUNNING || job.state == STEPLINK_JOB_PAUSED;
    if (job.state == STEPLINK_JOB_NONE) {
      // No job section writer (a Java program, or a runner before its first call): the table's
      // writer living is all we know.
      running = ownerAlive_;
      status = ownerAlive_ ? "running" : "ended";
    } else if (running && !ownerAlive_) {
      // The writer ended (killed) without closing the block: the section still says running.
      running = false;
      status = "gone";
    }
    state["state"] = status;
    state["running"] = running;
  } else {
    state["steps"] = {{"x", 0}, {"y", 0}, {"z", 0}};
    state["aux"] = -1;
    state["limit"] = false;
    state["call"] = nullptr;
    state["move"] = nullptr;
    state["faults"] = {{"count", 0}};
    state["rates"] = {{"x", 0}, {"y", 0}, {"z", 0}};
    state["state"] = "waiting";
    state["running"] = false;
  }
  if (finishedOutcome_) {
    state["state"] = *finishedOutcome_;
    state["running"] = false;
    state["exit_code"] = exitCode_;
    state["call"] = nullptr;
    state["move"] = nullptr;
    for (auto& rate : state["rates"]) rate = 0;
  }
  return state;
}

nlohmann::json LiveState::History() const {
  nlohmann::json points = nlohmann::json::array();
  for (const Point& point : history_) points.push_back(PointJson(point));
  // The newest corner always ends the history, even when the stride skipped it.
  if (!recent_.empty() &&
      (history_.empty() || history_.back().timeSeconds != recent_.back().second.timeSeconds)) {
    points.push_back(PointJson(recent_.back().second));
  }
  nlohmann::json faults = nlohmann::json::array();
  for (const auto& fault : faults_) faults.push_back(fault);
  return {{"points", points}, {"faults", faults}, {"serial", serial_}};
}

std::optional<nlohmann::json> LiveState::PointsSince(std::uint64_t serial) const {
  nlohmann::json points = nlohmann::json::array();
  if (serial >= serial_) return points;
  if (recent_.empty() || recent_.front().first > serial + 1) return std::nullopt;
  for (const auto& [number, point] : recent_) {
    if (number > serial) points.push_back(PointJson(point));
  }
  return points;
}

}  // namespace view
