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
  // A G-code job's planned path as JSON text (GET /plan: mm, axis scales); empty: no plan (404).
  std::string planJson{};
  // The report's count of calls (vectorOut, reference) for the page's "call N of M"; N is the
  // plan's own number of the call in progress, which the block carries.
  std::uint64_t callTotal = 0;
  // A G-code job's axis scales (steps per mm; 0: none): the table's steps less the block's
  // machine zero, in machine mm, are the one place the view turns steps into mm.
  double stepsPerMm[3] = {0, 0, 0};
  bool invert[3] = {false, false, false};
};

class LiveState {
 public:
  // The path is kept as its corners: a sample on the line from the last corner is merged into
  // the segment (within one step). At most maxHistoryPoints corners; every halving doubles the
  // stride at which further corners are kept.
  static constexpr std::size_t maxHistoryPoints = 2000;
  static constexpr std::size_t recentPoints = 512;
  static constexpr std::size_t maxFaults = 200;
  // Step rates are taken over at least this much table time.
  static constexpr double rateWindowSeconds = 0.1;

  explicit LiveState(JobInfo info) : info_(std::move(info)) {}

  // One sample: the copy (nothing while no block is there) and whether the block's writer still
  // lives. Cheap (no JSON): the sampler calls it far more often than it publishes.
  void Update(const std::optional<StatusCopy>& copy, bool ownerAlive);
  // The runner's word that the job is over (outcome "ended", "stopped", "failed", ...): the
  // snapshot says so from now on, whatever the block says.
  void Finish(const std::string& outcome, int exitCode);

  // The snapshot (GET /state, every event), built from the last sample.
  nlohmann::json State() const;
  // Path corners and faults so far, for a page that connects mid-job; "serial" is the serial of
  // the last corner in it.
  nlohmann::json History() const;
  // Corners committed after `serial`, or nothing when they are no longer all at hand (the page
  // then takes a fresh History()).
  std::optional<nlohmann::json> PointsSince(std::uint64_t serial) const;
  std::uint64_t LastSerial() const { return serial_; }

 private:
  struct Point {
    double timeSeconds;
    std::int32_t x, y, z, aux;
    // Machine mm of the position (G-code job, machine zero known, no reference in progress).
    bool hasMm = false;
    double mm[3] = {0, 0, 0};
  };
  // The table's position in machine mm, when the copy says where machine zero is.
  bool TableMm(const StatusCopy& copy, double mm[3]) const;
  void Offer(const Point& point);
  void Commit(const Point& point);
  nlohmann::json PointJson(const Point& point) const;

  JobInfo info_;
  std::optional<StatusCopy> last_;
  bool ownerAlive_ = false;
  std::optional<std::string> finishedOutcome_;
  int exitCode_ = 0;

  // Rates: steps per second of table time over the last window.
  std::uint64_t rateTicks_ = 0;
  std::int32_t ratePosition_[3] = {0, 0, 0};
  double rates_[3] = {0, 0, 0};
  bool haveRateBase_ = false;
  int idleSamples_ = 0;

  // Move in progress: the position where the current call began (as first seen).
  std::uint32_t moveCallIndex_ = 0;
  std::int32_t moveFrom_[3] = {0, 0, 0};
  std::int32_t lastPosition_[3] = {0, 0, 0};

  std::optional<Point> anchor_;  // the last committed corner
  std::optional<Point> tip_;     // the latest sample, not yet known to be a corner
  std::vector<Point> history_;
  std::deque<std::pair<std::uint64_t, Point>> recent_;
  std::uint64_t serial_ = 0;
  std::uint64_t stride_ = 1;
  std::uint64_t candidate_ = 0;

  std::uint32_t faultsSeen_ = 0;
  std::deque<nlohmann::json> faults_;
};

// Names as the record file spells them.
const char* FaultKindName(unsigned kind);
const char* CallName(unsigned entry);

}  // namespace view
