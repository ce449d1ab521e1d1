// The runner's watch over a running job: progress, keys, pauses.
#include "job/job_watch.h"

#include <poll.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>

#include "outputs/record.h"

namespace tool {
namespace {

// Program pauses kept for the end (a program of more is unusual; the rest are counted once).
constexpr std::size_t maxPausesKept = 10000;

std::string Seconds(double seconds) {
  char text[32];
  if (seconds >= 3600) {
    std::snprintf(text, sizeof text, "%dh%02dm", static_cast<int>(seconds / 3600),
                  static_cast<int>(seconds / 60) % 60);
  } else if (seconds >= 60) {
    std::snprintf(text, sizeof text, "%dm%02ds", static_cast<int>(seconds / 60),
                  static_cast<int>(seconds) % 60);
  } else {
    std::snprintf(text, sizeof text, "%.1fs", seconds);
  }
  return text;
}

}  // namespace

JobWatch::JobWatch(CallChild& child, std::string statusName, const JobInfo& info,
                   const DisplayOptions& display, bool keys)
    : child_(child),
      statusName_(std::move(statusName)),
      info_(info),
      quiet_(display.quiet),
      showProgress_(!display.quiet &&
                    (display.progress || isatty(STDERR_FILENO) != 0 || info.gcode)),
      terminal_(isatty(STDERR_FILENO) != 0),
      next_(std::chrono::steady_clock::now() + std::chrono::milliseconds(info.gcode ? 0 : 1000)) {
  if (!keys || tcgetattr(STDIN_FILENO, &saved_) != 0) return;
  termios raw = saved_;
  raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  raw.c_cc[VMIN] = 0;
  raw.c_cc[VTIME] = 0;
  active_ = tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
  if (active_ && !quiet_) {
    std::fprintf(stderr, "steplink %s: any key pauses (feed hold), Enter resumes, q stops\n",
                 info.gcode ? "gcode" : "run");
  }
}

JobWatch::~JobWatch() {
  Erase();
  if (active_) tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
}

void JobWatch::Sent(std::uint64_t index, const JobStep& step) {
  if (step.kind == StepKind::pause && pauses_.size() < maxPausesKept) {
    pauses_.emplace(index, std::make_pair(step.line, step.text));
  }
  if (step.auxAfter >= 0 && firstAuxStep_ == UINT64_MAX) firstAuxStep_ = index;
}

std::string JobWatch::ReadKeys() const {
  std::string keys;
  if (!active_) return keys;
  char buffer[64];
  pollfd fd{STDIN_FILENO, POLLIN, 0};
  while (poll(&fd, 1, 0) > 0 && (fd.revents & POLLIN) != 0) {
    const ssize_t got = read(STDIN_FILENO, buffer, sizeof buffer);
    if (got <= 0) break;
    keys.append(buffer, static_cast<std::size_t>(got));
  }
  return keys;
}

void JobWatch::Keys() {
  // A program pause the call process has begun (it is told of M0/M1/M6 with the steps).
  if (view_.Open(statusName_)) {
    const auto job = view_.ReadJob();
    if (paused_ && job && job->state == STEPLINK_JOB_RUNNING && !child_.PauseRequested()) {
      paused_ = false;  // resumed from the live view
    } else if (!paused_ && job && job->state == STEPLINK_JOB_PAUSED && !child_.PauseRequested()) {
      paused_ = true;
      Erase();
      const auto pause = pauses_.find(job->callIndex > 0 ? job->callIndex - 1 : 0);
      if (pause != pauses_.end()) {
        std::fprintf(stderr, "steplink gcode: line %d: %s (Enter resumes, q stops)\n",
                     pause->second.first, pause->second.second.c_str());
      }
    }
  }
  for (const char key : ReadKeys()) {
    if (paused_ && (key == '\n' || key == '\r')) {
      paused_ = false;
      child_.RequestResume();
      std::fprintf(stderr, "steplink gcode: resumed\n");
    } else if (paused_ && (key == 'q' || key == 'Q')) {
      std::fprintf(stderr, "steplink gcode: stopping: auxiliary state 0, then closeConn\n");
      child_.RequestStop();
    } else if (!paused_) {
      paused_ = true;
      child_.RequestPause();
      Erase();
      std::fprintf(stderr,
                   "steplink gcode: feed hold at the next call boundary: Enter resumes, q stops\n");
    }
  }
}

void JobWatch::Line() {
  const auto now = std::chrono::steady_clock::now();
  if (!showProgress_ || paused_ || now < next_) return;
  next_ = now + std::chrono::milliseconds(info_.gcode ? 500 : 1000);
  if (!view_.Open(statusName_)) return;
  if (info_.gcode) {
    const auto job = view_.ReadJob();
    if (!job || job->gcodeLine == 0 || job->percent < 0) return;
    std::fprintf(stderr, "%sline %" PRIu32 "/%d  %5.1f%%  ETA %s (job time)%s",
                 terminal_ ? "\r" : "", job->gcodeLine, info_.sourceLines, job->percent,
                 Seconds(job->etaSeconds).c_str(), terminal_ ? "\033[K" : "\n");
  } else {
    const auto status = view_.ReadTable();
    if (!status) return;
    std::fprintf(stderr,
                 "%s  x %" PRId32 "  y %" PRId32 "  z %" PRId32 "  steps %" PRIu64
                 "  simulated %.2f s%s",
                 terminal_ ? "\r" : "", status->positionX, status->positionY, status->positionZ,
                 status->totalSteps, status->ticks * secondsPerTick, terminal_ ? "\033[K" : "\n");
  }
  std::fflush(stderr);
  shown_ = terminal_;
}

void JobWatch::Tick() {
  if (active_ || info_.gcode) Keys();
  Line();
}

void JobWatch::Erase() {
  if (!shown_) return;
  std::fprintf(stderr, "\r\033[K");
  std::fflush(stderr);
  shown_ = false;
}

std::uint64_t JobWatch::StepsDone() const {
  if (!view_.Open(statusName_)) return 0;
  const auto job = view_.ReadJob();
  if (!job || job->callIndex == 0) return 0;
  return job->callIndex - (job->callEntry != STEPLINK_CALL_NONE ? 1 : 0);
}

std::vector<std::pair<int, std::string>> JobWatch::PausesBefore(std::uint64_t stepsDone) const {
  std::vector<std::pair<int, std::string>> passed;
  for (const auto& [index, pause] : pauses_) {
    if (index < stepsDone) passed.push_back(pause);
  }
  return passed;
}

bool JobWatch::AuxSelectedBefore(std::uint64_t stepsDone) const {
  return firstAuxStep_ <= stepsDone;
}

}  // namespace tool
