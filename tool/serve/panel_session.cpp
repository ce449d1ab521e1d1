// The control panel's session loop. The model's calls are a JobSource that says Ready only when
// nothing is in flight: a call's end is seen in the status block's job section (its index
// reached, no call in progress), the table's counters are read there too. One call at a time
// keeps a released jog to the one short call already made. Calls call_child, status/ and
// panel/.
#include "serve/panel_session.h"

#include <chrono>
#include <cstdio>
#include <utility>

#include "cli/exit_codes.h"
#include "job/script_source.h"
#include "status/status_view.h"

namespace tool {
namespace {

// A call process writes its job section as its first call begins, milliseconds after the fork.
// One that has not done so by then is stuck between the fork and its first call (a lock another
// thread of the panel held at the fork stays held in the child): it is ended, and the session
// starts a new one, as after a crash.
constexpr std::chrono::seconds callProcessStartTimeout{5};

JobStep StepOf(const panel::PanelCall& call) {
  using Kind = panel::PanelCall::Kind;
  JobStep step;
  step.kind = StepKind::call;
  switch (call.kind) {
    case Kind::openConn:
      step.entry = Entry::openConn;
      break;
    case Kind::initTimer:
      step.entry = Entry::initTimer;
      break;
    case Kind::vectorOut:
      step.entry = Entry::vectorOut;
      break;
    case Kind::reference:
      step.entry = Entry::reference;
      break;
    case Kind::closeConn:
      step.entry = Entry::closeConn;
      break;
  }
  step.args = call.args;
  return step;
}

// After Ctrl-C: openConn, the auxiliary output off, closeConn, in a process of their own (the
// signal that ended the session must not end this one too).
void TurnAuxOffAfterStop(const ChildOptions& options) {
  ScriptJobSource sequence("aux off", {{Entry::openConn, {}, 0},
                                       {Entry::vectorOut, {0, 0, STEPLINK_Z_AUX_MINUS}, 0},
                                       {Entry::closeConn, {}, 0}});
  ClearReceivedJobSignal();
  CallChild calls;
  std::string error;
  ChildOptions child = options;
  child.statusName.clear();  // the block's job section keeps the session's last call
  if (calls.Start(child, error) && calls.Wait(sequence).end == ChildOutcome::End::completed) {
    std::fprintf(stderr, "steplink panel: auxiliary output off, table closed\n");
  } else {
    std::fprintf(stderr,
                 "steplink panel: the device could not be opened again to turn the auxiliary "
                 "output off: it may still be on; switch it off at the machine\n");
  }
}

}  // namespace

// The model's calls as the call process's steps, with the completions read from the block.
class PanelSource final : public JobSource {
 public:
  PanelSource(PanelSession& session, const std::string& statusName)
      : session_(session), statusName_(statusName) {
    info_.name = "panel";
    info_.hasWork = true;
    // A job section left by an earlier call process is not this one's: its sequence is noted,
    // and the section is read only once the new process has written it.
    if (view_.Open(statusName_)) {
      if (const auto job = view_.ReadJob()) staleSequence_ = job->sequence;
    }
  }
  const JobInfo& Info() const override { return info_; }

  bool Ready() override {
    std::lock_guard lock(session_.mutex_);
    Observe();
    if (staleSequence_ && !startGivenUp_ &&
        panel::Clock::now() - created_ > callProcessStartTimeout) {
      startGivenUp_ = true;
      std::fprintf(stderr,
                   "steplink panel: the call process did not begin its first call within %lld s; "
                   "it is ended\n",
                   static_cast<long long>(callProcessStartTimeout.count()));
      std::lock_guard childLock(session_.childMutex_);
      if (session_.running_ != nullptr) session_.running_->EndCallsNow();
    }
    if (!pending_ && !ended_) {
      if (session_.quitRequested_ && session_.model_.Finished()) {
        ended_ = true;
      } else if (auto call = session_.model_.NextCall(panel::Clock::now())) {
        pending_ = StepOf(*call);
        ++sent_;
      }
    }
    return pending_.has_value() || ended_;
  }

  std::optional<JobStep> Next() override {
    std::optional<JobStep> step = std::move(pending_);
    pending_.reset();
    return step;
  }

 private:
  // The table's counters and faults, and whether the call in flight has ended.
  void Observe() {
    if (!view_.IsOpen() && !view_.Open(statusName_)) return;
    const auto copy = view_.Read();
    if (!copy) return;
    const std::array<std::int32_t, 3> steps{copy->table.positionX, copy->table.positionY,
                                            copy->table.positionZ};
    if (staleSequence_ && copy->job.sequence == *staleSequence_) return;
    staleSequence_.reset();
    session_.model_.TableSample(steps, copy->table.faultCount, copy->table.lastFaultKind);
    // Calls ended: the index of the last one begun, less one while it is still in progress.
    const std::uint64_t begun = copy->job.callIndex;
    const std::uint64_t done =
        copy->job.callEntry == STEPLINK_CALL_NONE || begun == 0 ? begun : begun - 1;
    if (!session_.model_.Idle() && sent_ > 0 && done >= sent_) session_.model_.CallDone(steps);
  }

  PanelSession& session_;
  std::string statusName_;
  JobInfo info_;
  status::StatusView view_;
  std::optional<std::uint64_t> staleSequence_;  // set until this process writes its section
  panel::Clock::time_point created_ = panel::Clock::now();
  bool startGivenUp_ = false;
  std::optional<JobStep> pending_;
  std::uint64_t sent_ = 0;
  bool ended_ = false;
};

PanelSession::PanelSession(panel::PanelModel& model, std::mutex& modelMutex, ChildOptions child)
    : model_(model), mutex_(modelMutex), child_(std::move(child)) {}

void PanelSession::Stop() {
  {
    std::lock_guard lock(mutex_);
    model_.Stopped();
  }
  stopRequested_ = true;
  std::lock_guard lock(childMutex_);
  if (running_ != nullptr) running_->EndCallsNow();
}

void PanelSession::Quit() {
  std::lock_guard lock(mutex_);
  model_.Quit();
  quitRequested_ = true;
}

int PanelSession::Run() {
  panel::Distrust why = panel::Distrust::notHomed;
  int quickFailures = 0;
  for (;;) {
    if (ReceivedJobSignal() != 0) break;
    {
      std::lock_guard lock(mutex_);
      model_.ProcessStarted(why);
    }
    stopRequested_ = false;
    CallChild calls;
    std::string error;
    if (!calls.Start(child_, error)) {
      std::fprintf(stderr, "steplink panel: %s\n", error.c_str());
      return exitRunFailed;
    }
    const auto started = panel::Clock::now();
    {
      std::lock_guard lock(childMutex_);
      running_ = &calls;
    }
    PanelSource source(*this, child_.statusName);
    const ChildOutcome outcome = calls.Wait(source);
    {
      std::lock_guard lock(childMutex_);
      running_ = nullptr;
    }
    using End = ChildOutcome::End;
    if (outcome.end == End::openFailed || outcome.end == End::loadFailed ||
        outcome.end == End::startFailed) {
      std::fprintf(stderr, "steplink panel: %s\n", Explain(outcome).c_str());
      return exitRunFailed;
    }
    if (quitRequested_ && outcome.end == End::completed) return exitOk;
    if (ReceivedJobSignal() != 0 || quitRequested_) break;
    if (stopRequested_) {
      why = panel::Distrust::stopped;
      quickFailures = 0;
      std::fprintf(stderr, "steplink panel: stopped; the table is opened again (not homed)\n");
      continue;
    }
    // The call process ended by itself: a fault inside the library. A new one takes over, but a
    // process that keeps failing at once is not restarted for ever.
    std::fprintf(stderr, "steplink panel: %s; a new call process takes the table (not homed)\n",
                 Explain(outcome).c_str());
    why = panel::Distrust::restarted;
    quickFailures = panel::Clock::now() - started < std::chrono::seconds(2) ? quickFailures + 1 : 0;
    if (quickFailures >= 3) {
      std::fprintf(stderr, "steplink panel: the call process failed three times in a row\n");
      return exitRunFailed;
    }
  }
  // Ctrl-C (or a Quit cut short by Stop): the auxiliary output off and closeConn in a process
  // of their own, as after a stopped G-code job.
  const bool interrupted = ReceivedJobSignal() != 0 || !quitRequested_;
  TurnAuxOffAfterStop(child_);
  return interrupted ? exitInterrupted : exitOk;
}

}  // namespace tool
