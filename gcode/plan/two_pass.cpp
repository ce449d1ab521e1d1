// The two passes. Pass 2 plans on its own thread into a ring of fixed size and blocks while it
// is full, so the calls alive at any time are the ring's plus the one being handed over.
#include "plan/two_pass.h"

#include <algorithm>

#include "read/program.h"

namespace gcode {

namespace {

// The control flow's lines, read and planned.
class PlannerSink final : public FlowSink {
 public:
  explicit PlannerSink(StreamPlanner& planner) : planner_(planner) {
    tooLongLine_.errorCode = "line-too-long";
    tooLongLine_.refusedAxes = 7;  // not read: any axis may have moved
  }
  void Run(std::string_view text, bool tooLong, int line) override {
    if (tooLong) {
      planner_.Line(LineKind::error, tooLongLine_,
                    "the line is longer than " + std::to_string(maxLineBytes) + " bytes", line);
      return;
    }
    lineError_.clear();
    // Read without the parameters: the planner reads a line that needs them again when it runs,
    // with the values the lines before it left.
    const LineKind kind = ReadLine(text, line, block_, lineError_);
    planner_.Line(kind, block_, lineError_, line);
  }
  void Refuse(const std::string& message, const std::string& code, int line) override {
    Block refused;
    refused.line = line;
    refused.errorCode = code;
    planner_.Line(LineKind::error, refused, message, line);
  }
  bool Ended() const override { return planner_.Ended(); }
  Parameters& Params() override { return planner_.Params(); }

 private:
  StreamPlanner& planner_;
  Block block_;
  Block tooLongLine_;
  std::string lineError_;
};

}  // namespace

bool FeedLines(ProgramInput& input, StreamPlanner& planner, int& lineCount, std::string& error,
               const std::atomic<int>* stop) {
  return FeedLines(input, planner, FlowOptions{}, lineCount, nullptr, error, stop);
}

bool FeedLines(ProgramInput& input, StreamPlanner& planner, const FlowOptions& flow, int& lineCount,
               std::uint64_t* blocksExecuted, std::string& error, const std::atomic<int>* stop) {
  PlannerSink sink(planner);
  FlowResult result;
  const bool read = RunFlow(input, sink, flow, result, error, stop);
  lineCount = result.lineCount;
  if (blocksExecuted) *blocksExecuted = result.blocksExecuted;
  return read;
}

FlowOptions FlowOf(const PlanOptions& options) {
  FlowOptions flow;
  flow.subroutinesDir = options.subroutinesDir;
  flow.maxBlocks = options.maxBlocks;
  flow.fromLine = options.fromLine;
  return flow;
}

Plan CheckProgram(ProgramInput& input, const Machine& machine, const PlanOptions& options,
                  std::string& error) {
  return CheckProgram(input, machine, options, CallSink{}, error);
}

Plan CheckProgram(ProgramInput& input, const Machine& machine, const PlanOptions& options,
                  const CallSink& sink, std::string& error) {
  StreamPlanner planner(machine, options, sink);
  int lines = 0;
  std::uint64_t blocks = 0;
  FeedLines(input, planner, FlowOf(options), lines, &blocks, error);
  Plan plan = planner.Finish(lines);
  plan.blocksExecuted = blocks;
  return plan;
}

Plan CheckProgram(ProgramInput& input, const Machine& machine, const PlanOptions& options,
                  const CallSink& sink, const std::atomic<int>& stop, std::string& error) {
  StreamPlanner planner(machine, options, sink);
  int lines = 0;
  std::uint64_t blocks = 0;
  FeedLines(input, planner, FlowOf(options), lines, &blocks, error, &stop);
  if (stop.load() != 0 && error.empty()) error = input.Name() + ": the check was stopped";
  Plan plan = planner.Finish(lines);
  plan.blocksExecuted = blocks;
  return plan;
}

bool ReplanProgram(ProgramInput& input, const Machine& machine, const PlanOptions& options,
                   const Plan& checked, const CallSink& sink, std::string& error) {
  if (!input.Unchanged(error)) return false;
  std::uint64_t made = 0;
  StreamPlanner planner(machine, options, [&](const PlannedCall& call) {
    ++made;
    sink(call);
  });
  int lines = 0;
  if (!FeedLines(input, planner, FlowOf(options), lines, nullptr, error)) return false;
  const Plan plan = planner.Finish(lines);
  if (!input.Unchanged(error)) return false;
  if (!plan.ok() || made != checked.callCount) {
    error = input.Name() + " does not plan as it did when checked";
    return false;
  }
  return true;
}

CallStream::CallStream(ProgramInput& input, const Machine& machine, const PlanOptions& options,
                       const Plan& checked, std::size_t queueCalls)
    : input_(input),
      machine_(machine),
      options_(options),
      expectedCalls_(checked.callCount),
      capacity_(queueCalls == 0 ? 1 : queueCalls),
      ring_(capacity_) {
  if (!input_.Unchanged(error_)) {
    done_ = true;
    return;
  }
  // The producer starts with the first Next(), not here: the runner forks its call process
  // after making the source, and a child forked while the planner thread runs inherits that
  // thread's planner on the heap with no thread to own it.
}

CallStream::~CallStream() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  stopReading_ = 1;
  changed_.notify_all();
  if (producer_.joinable()) producer_.join();
}

void CallStream::Produce() {
  std::uint64_t made = 0;
  const auto sink = [&](const PlannedCall& call) {
    std::unique_lock lock(mutex_);
    if (count_ == capacity_) {
      // Full: wait until the taker has emptied half of it, not for every call (hysteresis keeps
      // the two threads from waking each other once a call).
      producerWaiting_ = true;
      changed_.wait(lock, [&] { return stop_ || count_ <= capacity_ / 2; });
      producerWaiting_ = false;
    }
    if (stop_) return;
    ring_[(head_ + count_) % capacity_] = call;
    ++count_;
    peak_ = std::max(peak_, count_);
    ++made;
    const bool wake = takerWaiting_ && count_ >= capacity_ / 4;
    lock.unlock();
    if (wake) changed_.notify_all();
  };
  StreamPlanner planner(machine_, options_, sink);
  int lines = 0;
  std::string error;
  const bool read =
      FeedLines(input_, planner, FlowOf(options_), lines, nullptr, error, &stopReading_);
  const Plan plan = planner.Finish(lines);
  std::lock_guard lock(mutex_);
  if (!read) {
    producerError_ = error;
  } else if (!plan.ok() || made != expectedCalls_) {
    producerError_ =
        input_.Name() + " does not plan as it did when checked (" +
        (plan.ok() ? std::to_string(made) + " calls, not " + std::to_string(expectedCalls_)
                   : "line " + std::to_string(plan.errors.front().line) + ": " +
                         plan.errors.front().message) +
        "); the job stops";
  }
  done_ = true;
  changed_.notify_all();
}

std::string CallStream::Failure() {
  if (!error_.empty()) return error_;
  std::string changed;
  if (!input_.Unchanged(changed)) return changed;
  std::lock_guard lock(mutex_);
  return producerError_;
}

bool CallStream::Ready() {
  if (!error_.empty()) return true;
  if (!started_ && !done_) {
    started_ = true;
    producer_ = std::thread([this] { Produce(); });
  }
  std::lock_guard lock(mutex_);
  return count_ > 0 || done_ || !producerError_.empty();
}

std::optional<PlannedCall> CallStream::Next() {
  if (!error_.empty()) return std::nullopt;
  if (!started_ && !done_) {
    started_ = true;
    producer_ = std::thread([this] { Produce(); });
  }
  // What runs must be what was checked: a change stops the job before its next call.
  if (!input_.Unchanged(error_)) {
    std::lock_guard lock(mutex_);
    stop_ = true;
    stopReading_ = 1;
    changed_.notify_all();
    return std::nullopt;
  }
  std::unique_lock lock(mutex_);
  if (count_ == 0 && !done_) {
    takerWaiting_ = true;
    changed_.wait(lock, [&] { return count_ >= capacity_ / 4 || done_; });
    takerWaiting_ = false;
  }
  if (!producerError_.empty()) {
    error_ = producerError_;
    return std::nullopt;
  }
  if (count_ == 0) return std::nullopt;
  PlannedCall call = std::move(ring_[head_]);
  head_ = (head_ + 1) % capacity_;
  --count_;
  const bool wake = producerWaiting_ && count_ <= capacity_ / 2;
  lock.unlock();
  if (wake) changed_.notify_all();
  return call;
}

}  // namespace gcode
