// The bounded channel between the runner and its call process: the job's steps as fixed-size
// records over a socket pair, so the call process holds one step at a time and the runner stays
// at most a socket buffer (some hundreds of steps) ahead; back the other way, each call's result
// with the device seam's counts. Calls only the system (send, recv, shutdown).
#pragma once

#include <array>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>

#include "contract/steplink_contract.h"
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

// What the call process hands back after each call it makes (the job's and the stop
// sequence's): the call, its result, and what the device seam has counted so far in the process.
struct CallReport {
  std::uint64_t index;  // the step's index in the job (the stop sequence's calls: the next one)
  std::uint8_t entry;   // Entry
  std::int32_t result;  // the call's own result (0 for reference, which gives none)
  SteplinkDeviceCounts counts;
};

// What the reports of one call process add up to: what the runner decides a job's faults from.
struct DeviceTally {
  std::uint64_t calls = 0;          // reports received
  std::uint64_t refusedOps = 0;     // port operations the device refused
  std::uint64_t stalledCalls = 0;   // calls in which counter 0 stood still
  std::uint64_t failedResults = 0;  // calls whose result says they failed (openConn's 255)
  std::uint64_t unmetCreeps = 0;    // reference creeps that never met the limit switch
  SteplinkDeviceCounts last{};      // the counts of the last report
  void Take(const CallReport& report);
};

// "a reference run crept 32000 steps ... never engaged ...": what a job that met one is told.
std::string UnmetCreepMessage(const DeviceTally& tally);

// The call process's side: hands a report back (blocks while the runner's queue is full; a
// runner that has gone is no error).
void SendCallReport(int fd, const CallReport& report);

// Send buffer asked for (the kernel caps it at net.core.wmem_max).
inline constexpr int stepChannelBytes = 1 << 20;

// The runner's end: feeds the source into the pipe without ever blocking.
class StepFeeder {
 public:
  StepFeeder(JobSource& source, int writeFd) : source_(source), fd_(writeFd) {}
  ~StepFeeder();
  StepFeeder(const StepFeeder&) = delete;
  StepFeeder& operator=(const StepFeeder&) = delete;
  // Sends what fits now; ends the steps after the last one (the call process then ends).
  void Pump();
  int Fd() const { return ended_ ? -1 : fd_; }  // -1 once the steps have ended
  // What the wait loop polls for room: -1 while the source has no step ready (the channel has
  // room, but waiting on it would spin), so the loop sleeps its round and asks again, and -1
  // once the steps have ended.
  int PollFd() const { return sourceWaiting_ || ended_ ? -1 : fd_; }
  // What the wait loop polls for reports: -1 once the call process's end is closed.
  int ReportFd() const { return reportsOpen_ ? fd_ : -1; }
  std::uint64_t Sent() const { return sent_; }
  // Called for every step as it is sent (the runner keeps what it reports on, e.g. the pauses).
  std::function<void(std::uint64_t index, const JobStep& step)> onSend;
  // No more steps: the call process reads the end once it has made those sent. Its reports
  // still come back until it closes its end.
  void Close();
  // Takes the reports that have come, without waiting.
  void ReadReports(DeviceTally& tally);

 private:
  JobSource& source_;
  int fd_;
  bool ended_ = false;
  bool reportsOpen_ = true;
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
