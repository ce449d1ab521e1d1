// The control panel's jobs and MDI: G-code programs picked by name from the --jobs folder,
// checked whole (pass 1) with the session's offsets from where the table stands, run through
// pass 2 a call at a time into the model's queue, paused and resumed at call boundaries, run from
// a line after a preview, and single MDI lines with the session's modal state kept between them.
// Calls the model (panel_model.h), the folder (job_folder.h) and the G-code library.
//
// ---- Interface served to the page -----------------------------------------------------------
// Start: steplink panel ... --jobs DIR [FILE.nc]
//   DIR: the folder whose G-code files (.nc .ngc .gcode .gc .tap, any case) the page may pick;
//   FILE.nc, when given, names one of them (a bare name, or DIR/NAME) and is checked at start
//   (one that cannot be opened there is refused before the table is opened).
//   Without --jobs the job commands answer 409 "no --jobs folder".
//   A job name is a bare file name in DIR: no '/', no "..", no NUL, not empty, at most 255 bytes;
//   a symbolic link is refused (it may leave the folder), so is anything but a regular file.
//   Nothing is uploaded; nothing outside DIR is read.
//
// GET /jobs?token=T (the live view's token rules) ->
//   {"dir":"jobs","jobs":[{"name":"example.nc","bytes":1234}, ...],"truncated":false}
//   sorted by name, at most 500 entries.
// GET /jobs/check?token=T -> the latest check (404 before the first one):
//   {"name":"example.nc","serial":3,"state":"checking"|"done","ok":true,
//    "refusals":[{"line":12,"message":"..."}],   // the first 100, line order; line 0: the whole
//    "refusal_count":1,"notes":[{"line":4,"message":"..."}],
//    "lines":120,"calls":431,"planned_seconds":93.5,
//    "start_mm":[x,y,z],                          // machine mm the check started from
//    "offsets":{"x":..,"y":..,"z":..},            // the work offset (G54) it was checked with
//    "extents_mm":{"min":[x,y,z],"max":[x,y,z]},  // machine mm, the start included
//    "limits":{"x":[min,max],"y":[..],"z":[..]},"inside_limits":true,
//    "path":{"kinds":["rapid","cut","aux",...],   // how the table got to each point
//            "points":[[x,y,z,kind,line], ...]},  // machine mm, at most 2000 points
//    "from_line":null | {"line":N,"approach":[{"what":"Z up to the safe height","to_mm":[x,y,z]},
//                        ...],"modal":"G21 G90 G17 G54 ...","aux":0|1|-1}}
//   "serial" grows with every check; /state's job.check_serial says when to fetch again.
//
// POST commands (token header, JSON body at most 1 KiB, as part 1's): 200 done or started,
// 409 refused now (the reason in "message"), 400 a malformed body.
//   /cmd/check {"name"}              check from where the table stands (state "checking", then
//                                    "checked" or "refused"); no motion.
//   /cmd/run {"name"}                checks again with the current offsets and position, then
//                                    runs when it checks (else "refused"); needs a trusted
//                                    (homed) position and a table standing still.
//   /cmd/pause {}                    stops taking calls once the call in flight ends.
//   /cmd/resume {}                   goes on (also after the program's own M0/M1/M6 pause).
//   POST /stop                       part 1's Stop: the table halts, the job is "stopped".
//   /cmd/run-from-line {"name","line"}
//                                    the preview: a check from line N on (GET /jobs/check gives
//                                    "from_line": the modal state rebuilt from the lines before,
//                                    Z up to safe_z_mm (never down to it), X/Y to the line's
//                                    start, Z down to it, then the program); no motion.
//   /cmd/run-from-line {"name","line","confirmed":true}
//                                    runs it; refused unless the latest check is that preview
//                                    and the table has not moved nor the offsets changed since,
//                                    and while the position is not trusted.
//   /cmd/mdi {"line":"G0 X10"}       one line (at most 256 bytes) through the interpreter with
//                                    the session's modal state (units, distance mode, plane,
//                                    offsets, tool), checked whole before it moves: 200 with the
//                                    calls queued, or 409 with the reason and nothing moves.
//                                    Needs a trusted position, no job running or paused; an M0,
//                                    M1 or M6 on the line pauses it until /cmd/resume.
//
// /state gains:
//   "jobs_dir": "jobs" | null,
//   "job": {"name":null|"example.nc","state":"idle"|"checking"|"checked"|"refused"|"running"|
//           "paused"|"stopped"|"done"|"failed","message":"...","line":N,"lines":M,
//           "percent":0..100,"seconds_left":S,"planned_seconds":T,"from_line":0|N,
//           "check_serial":K,"pause_reason":"" | "M0: program pause"},
//   "mdi": {"history":[{"line":"G0 X10","ok":true,"message":"..."}, ...],  // the last 50
//           "modal":"G21 G90 G17 G54 G91.1 G99 M5","state":"idle"|"running"|"paused",
//           "pause_reason":""}
// A job goes on when the page that started it goes away; only Stop or its end ends it.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "job_check.h"
#include "job_folder.h"
#include "mdi.h"
#include "panel_model.h"
#include "plan/two_pass.h"

namespace panel {

enum class JobState { idle, checking, checked, refused, running, paused, stopped, done, failed };
const char* JobStateName(JobState state);

// Calls of a job's pass 2 planned ahead at most: a job's length never shows in memory.
inline constexpr std::size_t jobQueueCalls = 256;

class PanelJobs final : public CallFeed {
 public:
  // `folder`: the --jobs folder, nullptr without one. Becomes the model's feed; the model must
  // outlive it. Everything but the constructor runs under the model's lock.
  PanelJobs(PanelModel& model, std::unique_ptr<JobFolder> folder, const gcode::Profile& profile);
  ~PanelJobs() override;
  PanelJobs(const PanelJobs&) = delete;
  PanelJobs& operator=(const PanelJobs&) = delete;

  // ---- Commands (answers as the model's) ----
  CommandResult Check(const std::string& name);
  CommandResult Run(const std::string& name);
  CommandResult RunFromLine(const std::string& name, int line, bool confirmed);
  CommandResult Pause();
  CommandResult Resume();
  CommandResult Mdi(const std::string& line);

  // ---- The model's feed ----
  std::optional<PanelCall> NextCall(Clock::time_point now) override;
  std::string Busy() const override;
  void Dropped(const std::string& why) override;

  // ---- What the page reads ----
  nlohmann::json State();                       // /state's "jobs_dir", "job", "mdi"
  std::optional<std::string> ListJson() const;  // GET /jobs; nullopt without a folder
  std::optional<std::string> CheckJson();       // GET /jobs/check; nullopt before any check
  JobState Job() const { return state_; }
  // Most calls of a job planned ahead of the table at once, over the jobs run to their end.
  std::size_t PlannedAheadPeak() const { return plannedAheadPeak_; }
  // Waits for the check in progress and takes its result (tests, and a Quit).
  void WaitForCheck();

 private:
  // What runs: a job's pass 2, or an MDI line's calls.
  struct Running {
    bool mdi = false;
    std::unique_ptr<gcode::ProgramInput> input;
    std::unique_ptr<gcode::CallStream> stream;
    std::deque<gcode::PlannedCall> calls;
    bool paused = false;
    std::string pauseReason;
    std::optional<Clock::time_point> dwellUntil;
  };

  CommandResult Refuse(const std::string& why) const { return {false, why}; }
  // Why a job may not start now (empty: it may).
  std::string StartRefusal(const std::string& name, bool needsTrust) const;
  gcode::CarriedState Current() const;
  CheckRequest Request(const std::string& name, int fromLine, bool toRun);
  void StartCheck(const CheckRequest& request);
  void Collect();  // a finished check's result, if any
  void Apply(CheckResult& result);
  std::optional<gcode::PlannedCall> Take();
  void Finish();
  void Progress(const gcode::PlanEntry& entry);

  PanelModel& model_;
  std::unique_ptr<JobFolder> folder_;
  gcode::Profile profile_;
  gcode::CarriedState carried_;  // the MDI session's state (position and G54: the model's)
  MdiHistory history_;

  // The job.
  JobState state_ = JobState::idle;
  std::string name_;
  std::string message_;
  int fromLine_ = 0;
  int line_ = 0;
  int lines_ = 0;
  double plannedSeconds_ = 0.0;
  double doneSeconds_ = 0.0;
  std::uint64_t calls_ = 0, callsDone_ = 0;
  std::unique_ptr<Running> run_;
  std::size_t plannedAheadPeak_ = 0;

  // Checks: one worker at a time; its result is taken under the model's lock.
  std::thread worker_;
  std::atomic<int> cancel_{0};
  std::mutex workMutex_;
  std::unique_ptr<CheckResult> finished_;  // guarded by workMutex_
  std::uint64_t serial_ = 0;               // the latest check asked for
  bool checking_ = false;
  bool checkingToRun_ = false;
  std::string checkJson_;
  std::optional<CheckRequest> lastCheck_;  // the latest finished check, when it checked
};

// The job commands' posts: check, run, pause, resume, run-from-line, mdi; nullopt for another
// name (the model's). Bodies as documented above.
std::optional<std::pair<int, std::string>> DispatchJobs(PanelJobs& jobs, const std::string& name,
                                                        const std::string& body);

}  // namespace panel
