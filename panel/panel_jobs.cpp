// The panel's jobs and MDI: checks on a worker thread whose result is taken under the model's lock,
// pass 2 pulled one call at a time when the model asks its feed (so the calls planned ahead stay
// at jobQueueCalls), dwells timed and program pauses held at call boundaries, MDI lines run from
// the carried state. Calls the model, job_check, mdi and the G-code library's pass 2.
#include "panel_jobs.h"

#include <algorithm>
#include <chrono>
#include <cmath>

namespace panel {
namespace {

constexpr const char* stateNames[] = {"idle",   "checking", "checked", "refused", "running",
                                      "paused", "stopped",  "done",    "failed"};

bool SameStart(const gcode::CarriedState& a, const gcode::CarriedState& b) {
  return a.steps == b.steps && a.workOffsets == b.workOffsets && a.g92 == b.g92 &&
         a.toolLengthMm == b.toolLengthMm && ModalText(a) == ModalText(b);
}

std::string Count(std::size_t count, const char* what) {
  return std::to_string(count) + " " + what + (count == 1 ? "" : "s");
}

}  // namespace

const char* JobStateName(JobState state) {
  return stateNames[static_cast<int>(state)];
}

PanelJobs::PanelJobs(PanelModel& model, std::unique_ptr<JobFolder> folder,
                     const gcode::Profile& profile)
    : model_(model), folder_(std::move(folder)), profile_(profile) {
  carried_.workOffsets = model_.Machine().workOffsets;
  model_.SetFeed(this);
}

PanelJobs::~PanelJobs() {
  cancel_ = 1;
  if (worker_.joinable()) worker_.join();
  model_.SetFeed(nullptr);
}

gcode::CarriedState PanelJobs::Current() const {
  gcode::CarriedState state = carried_;
  state.steps = model_.MachineSteps();
  // The panel's Zero moves the active system's origin.
  state.workOffsets[static_cast<std::size_t>(std::clamp(state.activeWorkOffset, 0, 5))] =
      model_.OffsetsMm();
  state.aux = model_.AuxState();
  return state;
}

std::string PanelJobs::StartRefusal(const std::string& name, bool needsTrust) const {
  if (folder_ == nullptr) return "no jobs folder: start the panel with --jobs DIR";
  if (std::string bad = JobNameRefusal(name); !bad.empty()) return bad;
  if (run_ != nullptr || checkingToRun_) {
    return "a job or MDI line is running (" + Busy() + "); Stop it first";
  }
  if (needsTrust && !model_.Trusted()) {
    return "running a job needs a homed table (" + model_.TrustedReason() + ")";
  }
  if (needsTrust && !model_.StandingStill()) {
    return "the table is busy (" + model_.Busy() + "); wait until it stands still";
  }
  return {};
}

CheckRequest PanelJobs::Request(const std::string& name, int fromLine, bool toRun) {
  CheckRequest request;
  request.name = name;
  request.fromLine = fromLine;
  request.start = Current();
  request.offsetsMm = model_.OffsetsMm();
  request.profile = profile_;
  request.toRun = toRun;
  request.serial = ++serial_;
  return request;
}

void PanelJobs::StartCheck(const CheckRequest& request) {
  // A check still going is not wanted any more: it ends at its next line.
  cancel_ = 1;
  if (worker_.joinable()) worker_.join();
  cancel_ = 0;
  {
    std::lock_guard lock(workMutex_);
    finished_.reset();
  }
  checking_ = true;
  checkingToRun_ = request.toRun;
  name_ = request.name;
  fromLine_ = request.fromLine;
  state_ = JobState::checking;
  message_ = "Checking " + request.name + (request.toRun ? ", then running it" : "");
  checkJson_ =
      nlohmann::json{{"name", request.name}, {"serial", request.serial}, {"state", "checking"}}
          .dump();
  const JobFolder& folder = *folder_;
  const gcode::Machine& machine = model_.Machine();
  worker_ = std::thread([this, &folder, &machine, request] {
    auto result = std::make_unique<CheckResult>(CheckJob(folder, machine, request, cancel_));
    std::lock_guard lock(workMutex_);
    finished_ = std::move(result);
  });
}

void PanelJobs::Collect() {
  std::unique_ptr<CheckResult> result;
  {
    std::lock_guard lock(workMutex_);
    result = std::move(finished_);
  }
  if (result == nullptr) return;
  if (worker_.joinable()) worker_.join();  // it has handed its result over: ending now
  if (result->request.serial == serial_) Apply(*result);
}

void PanelJobs::WaitForCheck() {
  if (worker_.joinable()) worker_.join();
  Collect();
}

void PanelJobs::Apply(CheckResult& result) {
  checking_ = false;
  const bool toRun = checkingToRun_;
  checkingToRun_ = false;
  checkJson_ = std::move(result.json);
  const gcode::Plan& plan = result.plan;
  lines_ = plan.lines;
  plannedSeconds_ = plan.durationSeconds;
  calls_ = plan.callCount;
  line_ = 0;
  doneSeconds_ = 0.0;
  callsDone_ = 0;
  if (!result.ok) {
    lastCheck_.reset();
    state_ = JobState::refused;
    const std::size_t refusals = plan.errorCount + (result.error.empty() ? 0 : 1);
    message_ = result.request.name + ": " + Count(refusals, "refusal") + "; nothing moved";
    return;
  }
  lastCheck_ = result.request;
  if (!toRun) {
    state_ = JobState::checked;
    message_ = result.request.name + " checks: " + Count(plan.callCount, "call") + ", about " +
               std::to_string(std::llround(plan.durationSeconds)) + " s";
    return;
  }
  // The table stood still since the Run (the model was busy with it): pass 2 plans from the
  // state pass 1 checked.
  run_ = std::make_unique<Running>();
  run_->input = std::move(result.input);
  run_->stream = std::make_unique<gcode::CallStream>(*run_->input, model_.Machine(), result.options,
                                                     plan, jobQueueCalls);
  state_ = JobState::running;
  message_ = "Running " + result.request.name +
             (result.request.fromLine > 0 ? " from line " + std::to_string(result.request.fromLine)
                                          : std::string());
}

CommandResult PanelJobs::Check(const std::string& name) {
  Collect();
  if (const std::string why = StartRefusal(name, false); !why.empty()) return Refuse(why);
  StartCheck(Request(name, 0, false));
  return {true, message_};
}

CommandResult PanelJobs::Run(const std::string& name) {
  Collect();
  if (const std::string why = StartRefusal(name, true); !why.empty()) return Refuse(why);
  StartCheck(Request(name, 0, true));
  return {true, message_};
}

CommandResult PanelJobs::RunFromLine(const std::string& name, int line, bool confirmed) {
  Collect();
  if (line < 1) return Refuse("the line must be 1 or more");
  if (const std::string why = StartRefusal(name, true); !why.empty()) {
    return Refuse("run from line: " + why);
  }
  if (!confirmed) {
    StartCheck(Request(name, line, false));
    return {true, "Preview of " + name + " from line " + std::to_string(line)};
  }
  if (!lastCheck_ || lastCheck_->name != name || lastCheck_->fromLine != line ||
      !SameStart(lastCheck_->start, Current()) || lastCheck_->offsetsMm != model_.OffsetsMm()) {
    return Refuse("preview the run from line " + std::to_string(line) +
                  " first (the table, the offsets or the modes changed since the last preview)");
  }
  StartCheck(Request(name, line, true));
  return {true, message_};
}

CommandResult PanelJobs::Pause() {
  Collect();
  if (run_ == nullptr) return Refuse("nothing is running");
  if (run_->paused) return {true, "already paused"};
  run_->paused = true;
  run_->pauseReason = "Paused";
  if (run_->mdi) return {true, "MDI line paused after the call in flight"};
  state_ = JobState::paused;
  message_ = "Paused after the call in flight";
  return {true, message_};
}

CommandResult PanelJobs::Resume() {
  Collect();
  if (run_ == nullptr || !run_->paused) return Refuse("nothing is paused");
  if (!model_.Trusted())
    return Refuse("the position is not trusted (" + model_.TrustedReason() + ")");
  run_->paused = false;
  run_->pauseReason.clear();
  if (run_->mdi) return {true, "MDI line resumed"};
  state_ = JobState::running;
  message_ = "Running " + name_;
  return {true, message_};
}

CommandResult PanelJobs::Mdi(const std::string& line) {
  Collect();
  std::string refusal;
  if (run_ != nullptr || checkingToRun_) {
    refusal = "a job or MDI line is running (" + Busy() + "); wait or Stop";
  } else if (!model_.Trusted()) {
    refusal = "MDI needs a homed table (" + model_.TrustedReason() + ")";
  } else if (!model_.StandingStill()) {
    refusal = "the table is busy (" + model_.Busy() + "); wait until it stands still";
  }
  if (!refusal.empty()) {
    history_.Add(line, false, refusal);
    return Refuse(refusal);
  }
  MdiPlan plan = PlanMdiLine(line, model_.Machine(), profile_, Current());
  if (!plan.ok) {
    history_.Add(line, false, plan.message);
    return Refuse(plan.message);
  }
  // The line's modes, offsets and tool hold from now on, whatever becomes of its motion.
  carried_ = plan.end;
  const auto active = static_cast<std::size_t>(std::clamp(plan.end.activeWorkOffset, 0, 5));
  model_.SetWorkOffsets(
      plan.end.workOffsets[active], static_cast<int>(active),
      {plan.end.g92[0], plan.end.g92[1], plan.end.g92[2] + plan.end.toolLengthMm});
  history_.Add(line, true, plan.message);
  if (!plan.calls.empty()) {
    run_ = std::make_unique<Running>();
    run_->mdi = true;
    run_->calls = std::move(plan.calls);
  }
  return {true, plan.message};
}

std::optional<gcode::PlannedCall> PanelJobs::Take() {
  if (run_->mdi) {
    if (run_->calls.empty()) return std::nullopt;
    gcode::PlannedCall call = std::move(run_->calls.front());
    run_->calls.pop_front();
    return call;
  }
  return run_->stream->Next();
}

void PanelJobs::Progress(const gcode::PlanEntry& entry) {
  doneSeconds_ = std::max(doneSeconds_, entry.startSeconds + entry.seconds);
  ++callsDone_;
}

void PanelJobs::Finish() {
  if (!run_->mdi) {
    // Its producer has ended (Next gave nothing): the count is final.
    plannedAheadPeak_ = std::max(plannedAheadPeak_, run_->stream->PeakQueued());
    std::string failure = run_->stream->Failure();
    if (failure.empty()) failure = run_->stream->Error();
    if (failure.empty()) {
      state_ = JobState::done;
      message_ = name_ + " done";
      doneSeconds_ = plannedSeconds_;
    } else {
      state_ = JobState::failed;
      message_ = name_ + " stopped at line " + std::to_string(line_) + ": " + Utf8Safe(failure);
    }
  }
  run_.reset();
}

std::optional<PanelCall> PanelJobs::NextCall(Clock::time_point now) {
  Collect();
  if (run_ == nullptr || run_->paused) return std::nullopt;
  if (run_->dwellUntil) {
    if (now < *run_->dwellUntil) return std::nullopt;
    run_->dwellUntil.reset();
  }
  // Pass 2 plans on its own thread: this asks again on the session's next round (20 ms) rather
  // than wait under the model's lock, which Stop takes too.
  if (!run_->mdi && !run_->stream->Ready()) return std::nullopt;
  const std::optional<gcode::PlannedCall> entry = Take();
  if (!entry) {
    Finish();
    return std::nullopt;
  }
  if (!run_->mdi) line_ = entry->line;
  switch (entry->kind) {
    case gcode::CallKind::dwell:
      run_->dwellUntil = now + std::chrono::duration_cast<Clock::duration>(
                                   std::chrono::duration<double>(entry->seconds));
      if (!run_->mdi) Progress(*entry);
      return std::nullopt;
    case gcode::CallKind::pause:
      run_->paused = true;
      run_->pauseReason = entry->text;
      if (run_->mdi) return std::nullopt;  // shown as the MDI line's pause_reason
      state_ = JobState::paused;
      message_ = entry->text + " (line " + std::to_string(entry->line) + "); Resume goes on";
      return std::nullopt;
    case gcode::CallKind::vectorOut:
    case gcode::CallKind::reference:
      break;
  }
  PanelCall call;
  call.kind = entry->kind == gcode::CallKind::reference ? PanelCall::Kind::reference
                                                        : PanelCall::Kind::vectorOut;
  call.args = entry->args;
  if (!run_->mdi) {
    const gcode::PlanEntry record = *entry;
    call.done = [this, record](const std::array<std::int32_t, 3>&) { Progress(record); };
  }
  return call;
}

std::string PanelJobs::Busy() const {
  if (checkingToRun_) return "checking " + name_ + " before running it";
  if (run_ == nullptr) return {};
  if (run_->mdi) return run_->paused ? "MDI line paused" : "running an MDI line";
  return (run_->paused ? "paused: " : "running ") + name_;
}

void PanelJobs::Dropped(const std::string& why) {
  if (checkingToRun_) {
    cancel_ = 1;
    ++serial_;  // its result is not wanted
    checking_ = checkingToRun_ = false;
    state_ = JobState::stopped;
    message_ = why + " before " + name_ + " started";
    return;
  }
  if (run_ == nullptr) return;
  if (!run_->mdi) {
    state_ = JobState::stopped;
    message_ = why + ": " + name_ + " stopped at line " + std::to_string(line_);
  }
  run_.reset();
}

nlohmann::json PanelJobs::State() {
  Collect();
  const double percent = plannedSeconds_ > 0.0 ? 100.0 * doneSeconds_ / plannedSeconds_
                         : calls_ > 0
                             ? 100.0 * static_cast<double>(callsDone_) / static_cast<double>(calls_)
                             : 0.0;
  const bool jobPaused = run_ != nullptr && !run_->mdi && run_->paused;
  nlohmann::json job = {{"name", name_.empty() ? nlohmann::json(nullptr) : nlohmann::json(name_)},
                        {"state", JobStateName(state_)},
                        {"message", message_},
                        {"line", line_},
                        {"lines", lines_},
                        {"percent", std::clamp(percent, 0.0, 100.0)},
                        {"seconds_left", std::max(0.0, plannedSeconds_ - doneSeconds_)},
                        {"planned_seconds", plannedSeconds_},
                        {"from_line", fromLine_},
                        {"check_serial", serial_},
                        {"pause_reason", jobPaused ? run_->pauseReason : std::string()}};
  const bool mdiRunning = run_ != nullptr && run_->mdi;
  nlohmann::json mdi = {{"history", history_.Json()},
                        {"modal", ModalText(Current())},
                        {"state", !mdiRunning    ? "idle"
                                  : run_->paused ? "paused"
                                                 : "running"},
                        {"pause_reason", mdiRunning ? run_->pauseReason : std::string()}};
  return {{"jobs_dir", folder_ ? nlohmann::json(folder_->Path()) : nlohmann::json(nullptr)},
          {"job", std::move(job)},
          {"mdi", std::move(mdi)}};
}

std::optional<std::string> PanelJobs::ListJson() const {
  if (folder_ == nullptr) return std::nullopt;
  const JobList list = folder_->List();
  nlohmann::json jobs = nlohmann::json::array();
  for (const auto& entry : list.jobs)
    jobs.push_back({{"name", entry.name}, {"bytes", entry.bytes}});
  return nlohmann::json{
      {"dir", folder_->Path()}, {"jobs", std::move(jobs)}, {"truncated", list.truncated}}
      .dump();
}

std::optional<std::string> PanelJobs::CheckJson() {
  Collect();
  if (checkJson_.empty()) return std::nullopt;
  return checkJson_;
}

}  // namespace panel
