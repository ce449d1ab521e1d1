// The bounded channel from the runner to its call process: the job's steps as fixed-size records
// over a socket pair, so the call process holds one step at a time and the runner stays at most
// a socket buffer (some hundreds of steps) ahead. Calls only the system (send, recv).
#pragma once

#include <array>
#include <cstddef>
#include <functional>
#include <optional>

#include "job/job.h"

namespace tool {

// A step as it travels through the channel: plain bytes, one packet each.
struct StepRecord {
  std::uint8_t kind;
  std::uint8_t entry;
  std::int8_t auxAfter;
  std::uint8_t hasMm;
  std::uint8_t hasPlan;
  std::int32_t line;
  std::int32_t args[3];
  std::uint32_t textBytes;
  double seconds;
  double startSeconds;
  double endSeconds;
  double mmFrom[3];
  double mmTo[3];
  gcode::PlanEntry plan;  // as the emitter made it (hasPlan)
  char text[maxStepTextBytes];
};

StepRecord EncodeStep(const JobStep& step);
JobStep DecodeStep(const StepRecord& record);

// Send buffer asked for (the kernel caps it at net.core.wmem_max).
inline constexpr int stepChannelBytes = 1 << 20;

// The runner's end: feeds the source into the pipe without ever blocking.
class StepFeeder {
 public:
  StepFeeder(JobSource& source, int writeFd) : source_(source), fd_(writeFd) {}
  ~StepFeeder();
  StepFeeder(const StepFeeder&) = delete;
  StepFeeder& operator=(const StepFeeder&) = delete;
  // Sends what fits now; closes the channel after the last step (the call process then ends).
  void Pump();
  int Fd() const { return fd_; }  // -1 once closed
  // What the wait loop polls for room: -1 while the source has no step ready (the channel has
  // room, but waiting on it would spin), so the loop sleeps its round and asks again.
  int PollFd() const { return sourceWaiting_ ? -1 : fd_; }
  std::uint64_t Sent() const { return sent_; }
  // Called for every step as it is sent (the runner keeps what it reports on, e.g. the pauses).
  std::function<void(std::uint64_t index, const JobStep& step)> onSend;
  void Close();

 private:
  JobSource& source_;
  int fd_;
  // The next record as the bytes that go out (padding included, all defined), while it waits for
  // room in the channel.
  std::array<unsigned char, sizeof(StepRecord)> pendingBytes_{};
  bool pending_ = false;
  std::uint64_t sent_ = 0;
  bool sourceWaiting_ = false;
};

// The call process's end: the next step, or nothing at the end of the job (or a broken pipe).
std::optional<JobStep> ReadStep(int readFd);

}  // namespace tool
