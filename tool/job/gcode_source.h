// The job of a planned G-code program: openConn, initTimer, the plan's entries (calls, dwells,
// pauses) each carried as the planner made it, with the commanded position in mm, closeConn. The
// one place that turns the planner's entries into steps; calls the planner's types only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "job/job.h"
#include "machine.h"
#include "plan/planner.h"
#include "plan/two_pass.h"

namespace tool {

// What the runner knows of a checked program's job before its first step.
JobInfo GcodeJobInfo(const gcode::Plan& checked, std::string name);

// How far a streamed job got once `entriesDone` of its planned entries had ended, from the
// entries it handed out (the last ones are kept: the call process is never further ahead).
struct GcodeProgress {
  bool known = false;  // false: entriesDone is older than the entries kept
  std::uint64_t entriesDone = 0;
  std::uint64_t callsMade = 0;             // vectorOut and reference among them
  double dwellSeconds = 0.0;               // planned dwell time among them
  std::array<std::int64_t, 3> endSteps{};  // machine steps after them
  int lastLine = 0;                        // line of the last of them, 0 none
  // Line of the first entry not completed (the resume line) and its kind; 0 when it had not
  // been handed out yet.
  int nextLine = 0;
  gcode::CallKind nextKind = gcode::CallKind::vectorOut;
  // Machine steps before that entry began (--from-line's first entry starts at its approach).
  std::array<std::int64_t, 3> nextFromSteps{};
};

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
  std::string StopReason() override { return stream_.Failure(); }
  std::size_t PeakQueued() const { return stream_.PeakQueued(); }
  GcodeProgress Progress(std::uint64_t entriesDone) const;
  // Entries kept for Progress: more than the channel and the call process hold at once.
  static constexpr std::size_t keptEntries = std::size_t{1} << 15;

 private:
  struct Mark {
    int line = 0;
    gcode::CallKind kind = gcode::CallKind::vectorOut;
    std::uint64_t callsMade = 0;  // after this entry, from the start
    double dwellSeconds = 0.0;    // likewise
    std::array<std::int64_t, 3> endSteps{};
  };
  gcode::CallStream stream_;
  std::vector<Mark> marks_;     // entry i at i % keptEntries
  std::uint64_t produced_ = 0;  // entries handed out
  const gcode::Machine& machine_;
  JobInfo info_;
  std::size_t next_ = 0;
  bool closed_ = false;
  double endSeconds_ = 0.0;
  int aux_ = -1;
};

// Planned entries done once `stepsDone` steps of the job have ended (openConn and initTimer come
// first, closeConn last): pass 1's count of entries, never more.
std::size_t PlanEntriesDone(const gcode::Plan& plan, std::uint64_t stepsDone);

}  // namespace tool
