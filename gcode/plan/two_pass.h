// Checking and running a program in constant memory: pass 1 reads every line and plans it into
// counters only (the report, the refusals); pass 2 reads it again and hands the calls over one
// at a time through a bounded queue, planning only bytes proved to be those pass 1 read and
// stopping at the first sign that the program is not the one checked. Calls the program input, the
// reader and the streaming planner.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "machine.h"
#include "plan/planner.h"
#include "read/flow.h"
#include "read/program_input.h"

namespace gcode {

// Feeds every line of `input` from its start to `planner`; false with `error` on a read error.
// `stop`, when given and set, ends the reading early (the caller stopped the job).
bool FeedLines(ProgramInput& input, StreamPlanner& planner, int& lineCount, std::string& error,
               const std::atomic<int>* stop = nullptr);
// The same through the control flow's options (subroutine folder, block limit, --from-line);
// `blocksExecuted`, when given, gets the lines run.
bool FeedLines(ProgramInput& input, StreamPlanner& planner, const FlowOptions& flow, int& lineCount,
               std::uint64_t* blocksExecuted, std::string& error,
               const std::atomic<int>* stop = nullptr);
// The control flow's options of a plan's.
FlowOptions FlowOf(const PlanOptions& options);

// Pass 1: the plan's counters, errors and notes (no calls kept); `error` on a read error.
Plan CheckProgram(ProgramInput& input, const Machine& machine, const PlanOptions& options,
                  std::string& error);
// Pass 1 with every planned entry handed to `sink` as it is made (the path trace): with a sink,
// a move of very many calls is split call by call, never counted in closed form.
Plan CheckProgram(ProgramInput& input, const Machine& machine, const PlanOptions& options,
                  const CallSink& sink, std::string& error);
// Pass 1 that ends early once `stop` is set (a signal asked the command to stop): `error` then
// says so and the plan is not the program's.
Plan CheckProgram(ProgramInput& input, const Machine& machine, const PlanOptions& options,
                  const CallSink& sink, const std::atomic<int>& stop, std::string& error);

// One more pass over a checked program, every entry handed to `sink` (the emitted script): false
// with `error` when the program changed or does not plan as `checked` did.
bool ReplanProgram(ProgramInput& input, const Machine& machine, const PlanOptions& options,
                   const Plan& checked, const CallSink& sink, std::string& error);

// Pass 2: the calls of a checked plan, made by planning the program again while they are taken.
class CallStream {
 public:
  // `checked` is pass 1's plan; `queueCalls` the most calls planned ahead of the taker.
  CallStream(ProgramInput& input, const Machine& machine, const PlanOptions& options,
             const Plan& checked, std::size_t queueCalls = 4096);
  ~CallStream();
  CallStream(const CallStream&) = delete;
  CallStream& operator=(const CallStream&) = delete;

  // Whether Next() answers at once: a call is planned, or the stream has ended or failed. Starts
  // the planner on the first ask. For a taker that must not wait under its own lock (the panel).
  bool Ready();
  // The next call; nothing at the end or once something is wrong (Error() then says what:
  // the file changed, a read error, a plan that is not the checked one).
  std::optional<PlannedCall> Next();
  const std::string& Error() const { return error_; }
  // Why the stream must stop, as soon as it is known (the taker's thread, between Next()s): the
  // file's size or time moved, or the planner found bytes other than those checked; empty while
  // all is well. The queued calls are then dropped: Next() gives none of them.
  std::string Failure();
  std::size_t PeakQueued() const { return peak_; }  // most calls held at once

 private:
  void Produce();

  ProgramInput& input_;
  Machine machine_;  // a copy: the stream may outlive the caller's
  PlanOptions options_;
  std::uint64_t expectedCalls_;
  std::size_t capacity_;
  std::vector<PlannedCall> ring_;
  std::size_t head_ = 0, count_ = 0, peak_ = 0;
  bool started_ = false;  // the producer runs (from the first Next() on)
  bool done_ = false, stop_ = false;
  bool producerWaiting_ = false, takerWaiting_ = false;
  std::atomic<int> stopReading_{0};
  std::string error_, producerError_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::thread producer_;
};

}  // namespace gcode
