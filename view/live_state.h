// What the live page shows, built from successive status-block copies: the state snapshot (the
// JSON of GET /state and of every event), the decimated path history and the faults seen so far.
// Plain data; the server serialises access to it. Depends on status_source.h only.
#pragma once

#include <cstdint>
#include <deque>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "status_source.h"

namespace view {

struct JobInfo {
  std::string name;       // script or G-code file name, shown on the page (as text)
  bool gcode = false;     // a G-code job: mm, line, percent, ETA are shown
  bool canStop = false;   // a job of ours: the page offers Stop
  bool canPause = false;  // and Pause/Resume
};

class LiveState {
 public:
  // At most this many points in the path history; every halving doubles the sampling stride.
  static constexpr std::size_t maxHistoryPoints = 2000;
  static constexpr std::size_t maxFaults = 200;

  explicit LiveState(JobInfo info) : info_(std::move(info)) {}

  // One sample: the copy (nothing while no block is there) and whether the block's writer still
  // lives. True when the snapshot changed.
  bool Update(const std::optional<StatusCopy>& copy, bool ownerAlive);
  // The runner's word that the job is over (outcome "ended", "stopped", "failed", ...): the
  // snapshot says so from now on, whatever the block says.
  void Finish(const std::string& outcome, int exitCode);

  const nlohmann::json& State() const { return state_; }
  // Path history and faults so far, for a page that connects mid-job.
  nlohmann::json History() const;

 private:
  struct Point {
    double timeSeconds;
    std::int32_t x, y, z, aux;
  };
  void AddPoint(const Point& point, bool force);
  void Rebuild();

  JobInfo info_;
  std::optional<StatusCopy> last_;
  bool ownerAlive_ = false;
  std::optional<std::string> finishedOutcome_;
  int exitCode_ = 0;

  // Rates: steps per second of table time between the last two samples whose ticks differ.
  std::uint64_t rateTicks_ = 0;
  std::int32_t ratePosition_[3] = {0, 0, 0};
  double rates_[3] = {0, 0, 0};
  bool haveRateBase_ = false;

  // Move in progress: the position where the current call began (as first seen).
  std::uint32_t moveCallIndex_ = 0;
  std::int32_t moveFrom_[3] = {0, 0, 0};
  std::int32_t lastPosition_[3] = {0, 0, 0};

  std::vector<Point> history_;
  std::uint64_t stride_ = 1;
  std::uint64_t candidate_ = 0;

  std::uint32_t faultsSeen_ = 0;
  std::deque<nlohmann::json> faults_;

  nlohmann::json state_ = nlohmann::json::object();
};

// Names as the record file spells them.
const char* FaultKindName(unsigned kind);
const char* CallName(unsigned entry);

}  // namespace view
