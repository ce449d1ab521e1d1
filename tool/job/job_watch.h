// What the runner does while the call process runs a job: the progress line (the table's
// position for a script; line, percent and ETA for G-code, from the status block's job section),
// a terminal's keys (any key pauses at the next step boundary, Enter resumes, q stops), the
// program pauses it is told of, and the steps' facts it keeps for the end (pauses, auxiliary
// state). Reads the status block; signals the call process only through CallChild.
#pragma once

#include <termios.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "calls/call_child.h"
#include "job/job.h"
#include "job/job_options.h"
#include "status/status_view.h"

namespace tool {

class JobWatch {
 public:
  JobWatch(CallChild& child, std::string statusName, const JobInfo& info,
           const DisplayOptions& display, bool keys);
  ~JobWatch();
  JobWatch(const JobWatch&) = delete;
  JobWatch& operator=(const JobWatch&) = delete;

  void Tick();
  void Erase();  // the progress line off the terminal, before other output
  void Sent(std::uint64_t index, const JobStep& step);

  // Steps ended, from the job section (0 when it cannot be read).
  std::uint64_t StepsDone() const;
  // Program pauses among the first `stepsDone` steps: (line, text).
  std::vector<std::pair<int, std::string>> PausesBefore(std::uint64_t stepsDone) const;
  // Whether a step begun before `stepsDone` + 1 selected an auxiliary state.
  bool AuxSelectedBefore(std::uint64_t stepsDone) const;
  bool KeysActive() const { return active_; }

 private:
  void Keys();
  void Line();
  std::string ReadKeys() const;

  CallChild& child_;
  std::string statusName_;
  JobInfo info_;
  bool quiet_;
  bool showProgress_;
  bool terminal_;
  bool shown_ = false;
  bool paused_ = false;
  std::chrono::steady_clock::time_point next_;
  mutable status::StatusView view_;
  termios saved_{};
  bool active_ = false;
  std::map<std::uint64_t, std::pair<int, std::string>> pauses_;  // program pauses sent
  std::uint64_t firstAuxStep_ = UINT64_MAX;                      // first step selecting aux
};

}  // namespace tool
