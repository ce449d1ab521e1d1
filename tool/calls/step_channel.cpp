// The step channel: encoding of steps into fixed records, the runner's non-blocking feeder and
// the call process's blocking reader, over a sequenced-packet socket pair (one record per
// packet, no SIGPIPE on either side); the call reports the other way, and their tally.
#include "calls/step_channel.h"

#include <limits.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <type_traits>

#include "calls/result_meaning.h"

namespace tool {

static_assert(sizeof(StepRecord) <= PIPE_BUF, "a step record must be written atomically");
static_assert(std::is_trivially_copyable_v<gcode::PlanEntry>, "a plan entry crosses as bytes");

StepRecord EncodeStep(const JobStep& step) {
  // Every byte defined, padding included: the record goes out whole through send().
  StepRecord record;
  std::memset(static_cast<void*>(&record), 0, sizeof record);
  record.kind = static_cast<std::uint8_t>(step.kind);
  record.entry = static_cast<std::uint8_t>(step.entry);
  record.auxAfter = step.auxAfter;
  record.hasMm = step.hasMm ? 1 : 0;
  record.hasPlan = step.plan ? 1 : 0;
  if (step.plan) record.plan = *step.plan;
  record.line = step.line;
  for (int axis = 0; axis < 3; ++axis) {
    record.args[axis] = step.args[axis];
    record.mmFrom[axis] = step.mmFrom[axis];
    record.mmTo[axis] = step.mmTo[axis];
  }
  record.seconds = step.seconds;
  record.startSeconds = step.startSeconds;
  record.endSeconds = step.endSeconds;
  record.textBytes = static_cast<std::uint32_t>(std::min(step.text.size(), maxStepTextBytes));
  std::memcpy(record.text, step.text.data(), record.textBytes);
  return record;
}

JobStep DecodeStep(const StepRecord& record) {
  JobStep step;
  step.kind = static_cast<StepKind>(record.kind);
  step.entry = static_cast<Entry>(record.entry);
  step.auxAfter = record.auxAfter;
  step.hasMm = record.hasMm != 0;
  if (record.hasPlan != 0) step.plan = record.plan;
  step.line = record.line;
  for (int axis = 0; axis < 3; ++axis) {
    step.args[axis] = record.args[axis];
    step.mmFrom[axis] = record.mmFrom[axis];
    step.mmTo[axis] = record.mmTo[axis];
  }
  step.seconds = record.seconds;
  step.startSeconds = record.startSeconds;
  step.endSeconds = record.endSeconds;
  step.text.assign(record.text, std::min<std::size_t>(record.textBytes, maxStepTextBytes));
  return step;
}

void DeviceTally::Take(const CallReport& report) {
  ++calls;
  // The counts only grow within a process: a call that raised the stall count met a dead
  // counter (the library says so once per call).
  if (report.counts.counterStalls > last.counterStalls) ++stalledCalls;
  refusedOps = report.counts.refusedOps;
  unmetCreeps = report.counts.unmetCreeps;
  if (ResultIsFailure(static_cast<Entry>(report.entry), report.result)) ++failedResults;
  last = report.counts;
}

std::string UnmetCreepMessage(const DeviceTally& tally) {
  return std::to_string(tally.unmetCreeps) + " reference creep(s) made " +
         std::to_string(STEPLINK_REFERENCE_CREEP_LIMIT) +
         " steps and the limit input never engaged: the axis is not homed (check the switch and "
         "its wiring, or the simulated table's limit-x/-y/-z)";
}

void SendCallReport(int fd, const CallReport& report) {
  // Every byte defined, padding included: the report goes out whole through send().
  std::array<unsigned char, sizeof(CallReport)> bytes{};
  std::memcpy(bytes.data(), &report, sizeof report);
  while (send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) < 0 && errno == EINTR) {
  }
}

void StepFeeder::ReadReports(DeviceTally& tally) {
  while (reportsOpen_ && fd_ >= 0) {
    CallReport report{};
    const ssize_t got = recv(fd_, &report, sizeof report, MSG_DONTWAIT);
    // A call process that ended with steps unread (a stop drops them) resets the channel: the
    // error comes once, and its reports queued before it still follow.
    if (got < 0 && (errno == EINTR || errno == ECONNRESET)) continue;
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (got != static_cast<ssize_t>(sizeof report)) {
      reportsOpen_ = false;  // the call process has closed its end (or broke the channel)
      return;
    }
    tally.Take(report);
  }
}

StepFeeder::~StepFeeder() {
  if (fd_ >= 0) close(fd_);
}

void StepFeeder::Close() {
  if (ended_ || fd_ < 0) return;
  shutdown(fd_, SHUT_WR);
  ended_ = true;
}

void StepFeeder::Pump() {
  while (fd_ >= 0 && !ended_) {
    if (!pending_) {
      sourceWaiting_ = !source_.Ready();
      if (sourceWaiting_) return;
      const std::optional<JobStep> step = source_.Next();
      if (!step) {
        // Ended on a fault: the channel stays open until the runner has asked the call process
        // to stop, or it would take the end for the job's and finish as if complete.
        if (!source_.StopReason().empty()) return;
        Close();  // end of the job: the call process reads the end and finishes
        return;
      }
      if (onSend) onSend(sent_, *step);
      const StepRecord record = EncodeStep(*step);
      std::memcpy(pendingBytes_.data(), &record, sizeof record);
      pending_ = true;
    }
    // No SIGPIPE when the call process has gone: the runner ends jobs on SIGPIPE.
    const ssize_t written =
        send(fd_, pendingBytes_.data(), pendingBytes_.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (written < 0 && errno == EINTR) continue;
    if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
      return;  // full: the call process is behind
    if (written != static_cast<ssize_t>(sizeof(StepRecord))) {
      Close();  // the call process has ended (EPIPE); nothing more to send
      return;
    }
    pending_ = false;
    ++sent_;
  }
}

std::optional<JobStep> ReadStep(int readFd) {
  StepRecord record{};
  for (;;) {
    const ssize_t got = recv(readFd, &record, sizeof record, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got != static_cast<ssize_t>(sizeof record)) return std::nullopt;  // end, or broken
    return DecodeStep(record);
  }
}

}  // namespace tool
