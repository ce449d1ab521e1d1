// The runner's side while the call process runs: feeds the job's steps into the step channel,
// passes the child's standard output (collapsed), standard error and trace on, takes its call
// reports, ends the child when a job-ending signal arrives, stops it at a call boundary on a
// fault (the source's, an output that cannot be written), and reaps it. Calls step_channel,
// line_collapse, the system.
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>

#include "calls/call_child.h"
#include "calls/line_collapse.h"
#include "calls/step_channel.h"

namespace tool {
namespace {

// Passes data on to a descriptor; after the first error it only counts (errno kept).
void PassOn(int fd, const char* data, std::size_t length, int& error) {
  if (error != 0) return;
  int code = 0;
  while (length > 0) {
    const ssize_t written = ::write(fd, data, length);
    if (written < 0) {
      if (errno == EINTR) continue;
      code = errno;
      break;
    }
    data += written;
    length -= static_cast<std::size_t>(written);
  }
  error = code;
}

void PassOn(int fd, const std::string& text, int& error) {
  PassOn(fd, text.data(), text.size(), error);
}

}  // namespace

void CallChild::PassOnTrace(const char* data, std::size_t length, TraceCopy& copy,
                            ChildOutcome& outcome) const {
  if (outcome.traceCut || length == 0) return;  // still read, so the library never blocks
  if (traceMaxBytes_ == 0 || copy.written + length <= traceMaxBytes_) {
    PassOn(traceFd_, data, length, outcome.traceError);
    copy.written += length;
    copy.atLineStart = data[length - 1] == '\n';
    return;
  }
  // The bound: whole lines up to it, then the note that says why the trace ends there.
  const std::string_view room(data, static_cast<std::size_t>(traceMaxBytes_ - copy.written));
  const std::size_t lineEnd = room.rfind('\n');
  const std::size_t kept = lineEnd == std::string_view::npos ? 0 : lineEnd + 1;
  PassOn(traceFd_, data, kept, outcome.traceError);
  const bool lineOpen = kept == 0 ? !copy.atLineStart : false;
  PassOn(traceFd_,
         std::string(lineOpen ? "\n" : "") + "# trace stopped: --trace-max " +
             std::to_string(traceMaxBytes_) + " bytes reached; the job ran on without it\n",
         outcome.traceError);
  copy.written += kept;
  outcome.traceCut = true;
}

ChildOutcome CallChild::Wait(JobSource& source, const WaitHooks& hooks) {
  ChildOutcome outcome;
  LineCollapser output(collapse_);
  LineCollapser errors(false);  // only scanned: standard error passes as it comes
  StepFeeder feeder(source, stepSocket_);
  stepSocket_ = -1;  // the feeder owns it now
  feeder.onSend = hooks.onSend;
  int forwarded = 0;
  timespec forwardedAt{};
  bool reapedChild = false;
  int status = 0;
  timespec reapedAt{};
  char buffer[1 << 16];
  // A fault ends the job at the next call boundary: the call process is asked to stop before
  // the channel ends, so it drops what is queued instead of running it.
  const auto stopAtBoundary = [&] {
    if (!outcome.faultStop.empty()) return;
    std::string reason = source.StopReason();
    if (reason.empty() && hooks.stopReason) reason = hooks.stopReason();
    // The call process stops by itself after such a call; the reason is the runner's to give.
    if (reason.empty() && stopWhenHomingFails_ && outcome.device.unmetCreeps > 0)
      reason = UnmetCreepMessage(outcome.device);
    if (reason.empty() && outcome.stdoutError != 0)
      reason =
          std::string("cannot write to standard output: ") + std::strerror(outcome.stdoutError);
    if (reason.empty() && outcome.stderrError != 0)
      reason = std::string("cannot write to standard error: ") + std::strerror(outcome.stderrError);
    if (reason.empty()) return;
    outcome.faultStop = reason;
    RequestStopAtBoundary();
    feeder.Close();
  };
  TraceCopy traceCopy;
  for (;;) {
    const int received = ReceivedJobSignal();
    if (received != 0 && forwarded == 0 && !reapedChild) {
      forwarded = received;
      clock_gettime(CLOCK_MONOTONIC, &forwardedAt);
      // SIGINT keeps its meaning (a clean stop while paused); every other signal ends the call
      // process as SIGTERM does (SIGUSR1/2 would only pause it).
      Signal(forwarded == SIGINT ? SIGINT : SIGTERM);
    }
    if (!reapedChild) {
      std::lock_guard lock(mutex_);
      if (pid_ <= 0) break;  // never started
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = 0;
        reapedChild = true;
        clock_gettime(CLOCK_MONOTONIC, &reapedAt);
        feeder.Close();
      }
    }
    if (!reapedChild && forwarded == 0 && outcome.faultStop.empty()) {
      stopAtBoundary();
      feeder.Pump();
      stopAtBoundary();  // a source that ended on a fault holds the channel open until here
    }
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const bool pipesOpen = outPipe_ >= 0 || errPipe_ >= 0 || tracePipe_ >= 0;
    // After the child's end its pipes are drained to their end; a descendant that keeps one open
    // is not waited for longer than a second.
    if (reapedChild && (!pipesOpen || now.tv_sec - reapedAt.tv_sec >= 1)) break;
    if (forwarded != 0 && !reapedChild && now.tv_sec - forwardedAt.tv_sec >= 2) {
      // A child that does not end within 2 s of the signal (stopped, or one that blocks it) is
      // killed: the runner must not hang on its way out.
      Signal(SIGKILL);
    }
    pollfd fds[5] = {{outPipe_, POLLIN, 0},
                     {errPipe_, POLLIN, 0},
                     {tracePipe_, POLLIN, 0},
                     {feeder.PollFd(), POLLOUT, 0},
                     {feeder.ReportFd(), POLLIN, 0}};
    const int ready = poll(fds, 5, reapedChild ? 100 : 20);
    feeder.ReadReports(outcome.device);
    if (ready > 0) {
      int* pipes[3] = {&outPipe_, &errPipe_, &tracePipe_};
      for (int i = 0; i < 3; ++i) {
        if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
        const ssize_t got = read(fds[i].fd, buffer, sizeof(buffer));
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (got <= 0) {
          close(*pipes[i]);
          *pipes[i] = -1;
          continue;
        }
        const auto length = static_cast<std::size_t>(got);
        if (i == 2) {
          PassOnTrace(buffer, length, traceCopy, outcome);
          continue;
        }
        if (hooks.beforeOutput) hooks.beforeOutput();
        if (i == 0) {
          PassOn(STDOUT_FILENO, output.Feed(buffer, length), outcome.stdoutError);
        } else {
          errors.Feed(buffer, length);
          PassOn(STDERR_FILENO, buffer, length, outcome.stderrError);
        }
      }
    }
    if (hooks.tick) hooks.tick();
  }
  const std::string rest = output.Finish();
  if (!rest.empty() && hooks.beforeOutput) hooks.beforeOutput();
  PassOn(STDOUT_FILENO, rest, outcome.stdoutError);
  feeder.ReadReports(outcome.device);  // what came after the last round
  errors.Finish();
  outcome.firstHwLine = errors.firstHwLine;
  outcome.stepsSent = feeder.Sent();
  for (int* fd : {&outPipe_, &errPipe_, &tracePipe_}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
  outcome.stopSignal = ReceivedJobSignal();
  if (!reapedChild) return outcome;
  if (WIFSIGNALED(status)) {
    outcome.end = ChildOutcome::End::signalled;
    outcome.code = WTERMSIG(status);
  } else if (WEXITSTATUS(status) == childOk) {
    outcome.end = ChildOutcome::End::completed;
  } else if (WEXITSTATUS(status) == childOpenFailed) {
    outcome.end = ChildOutcome::End::openFailed;
  } else if (WEXITSTATUS(status) == childCleanStop) {
    outcome.end = ChildOutcome::End::cleanStop;
  } else if (WEXITSTATUS(status) == childLoadFailed) {
    outcome.end = ChildOutcome::End::loadFailed;
  } else {
    outcome.end = ChildOutcome::End::exited;
    outcome.code = WEXITSTATUS(status);
  }
  return outcome;
}

}  // namespace tool
