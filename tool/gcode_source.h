// The job of a planned G-code program: openConn, initTimer, the plan's entries (calls, dwells,
// pauses) with their line, text, planned times and position in mm, closeConn. The one place that
// turns the planner's result into steps; calls the planner's types only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "job.h"
#include "machine.h"
#include "planner.h"
#include "two_pass.h"

namespace tool {

// The plan and the machine must outlive the source (it reads them as it goes).
std::unique_ptr<JobSource> MakePlanJobSource(const gcode::Plan& plan, const gcode::Machine& machine,
                                             std::string name);

// The job of a checked program streamed from pass 2: the steps are planned while they are taken,
// never more than the stream's queue ahead. `checked` is pass 1's plan. Next() ends early when
// the stream stops (the program changed, a read error): StreamError() then says why, and the
// job must not be reported as complete.
class StreamJobSource final : public JobSource {
 public:
  StreamJobSource(gcode::ProgramInput& input, const gcode::Machine& machine,
                  const gcode::PlanOptions& options, const gcode::Plan& checked, std::string name,
                  std::size_t queueCalls = 4096);
  const JobInfo& Info() const override { return info_; }
  std::optional<JobStep> Next() override;
  const std::string& StreamError() const { return stream_.Error(); }
  std::size_t PeakQueued() const { return stream_.PeakQueued(); }

 private:
  gcode::CallStream stream_;
  const gcode::Machine& machine_;
  JobInfo info_;
  std::size_t next_ = 0;
  bool closed_ = false;
  std::array<std::int64_t, 3> at_{};  // machine steps before the next entry
  double endSeconds_ = 0.0;
  int aux_ = -1;
};

// Planned entries done once `stepsDone` steps of the job have ended (openConn and initTimer come
// first, closeConn last).
std::size_t PlanEntriesDone(const gcode::Plan& plan, std::uint64_t stepsDone);

}  // namespace tool
