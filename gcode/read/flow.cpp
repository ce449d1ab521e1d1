// The control flow: one reader per call level (a call never moves its caller's place in the
// file), a stack of open structures bounded by the nesting the lines can hold, and an index of
// subroutine offsets. A loop goes back by Seek: a body still in the reader's buffer costs no
// reading at all, a longer one is read and checked again chunk by chunk.
#include "read/flow.h"

#include <cmath>

#include "read/expression.h"
#include "read/flow_detail.h"
#include "read/oword.h"

namespace gcode {
namespace {

bool Blank(std::string_view text) {
  for (const char c : text) {
    if (c != ' ' && c != '\t' && c != '\r') return false;
  }
  return true;
}

}  // namespace

Flow::Flow(ProgramInput& main, FlowSink& sink, const FlowOptions& options,
           const std::atomic<int>* stop)
    : main_(main), sink_(sink), options_(options), stop_(stop) {
  frames_.push_back(Frame{});
  frames_.back().input = &main_;
}

bool Flow::Run(FlowResult& result, std::string& error) {
  std::string rewindError;
  if (!main_.Rewind(rewindError)) {
    error = rewindError;
    return false;
  }
  while (!failed_ && !Stopped()) {
    if (sink_.Ended()) break;
    std::string_view text;
    bool tooLong = false;
    Frame& frame = frames_.back();
    const std::uint64_t at = frame.input->Tell();
    if (!frame.input->NextLine(text, tooLong)) {
      if (!frame.input->ReadError().empty()) {
        error = frame.input->ReadError();
        return false;
      }
      if (frames_.size() > 1) {
        Fail(frame.input->Name() + " ended inside " + FrameName(frame) + " (no " +
                 (frame.fanuc ? "M99" : "o" + frame.sub + " endsub") + ")",
             "oword-unmatched");
        break;
      }
      if (!control_.empty()) {
        const Open& open = control_.back();
        Fail("o" + open.label + " " + KeywordName(open.kind) + " (line " +
                 std::to_string(open.line) + ") is not closed before the end of the program",
             "oword-unmatched", open.line);
      }
      break;
    }
    ++frame.line;
    if (frames_.size() == 1 && frame.line == options_.fromLine && !FromLineAllowed()) break;
    if (tooLong || Blank(text)) {
      sink_.Run(text, tooLong, ReportLine());
      continue;
    }
    if (++blocks_ > options_.maxBlocks) {
      Fail("more than " + std::to_string(options_.maxBlocks) +
               " blocks run: a loop that never ends? (--max-blocks N raises the limit)",
           "runaway");
      break;
    }
    OWordLine word;
    FanucLine fanuc;
    bool ok = true;
    std::string lineError;
    if (IsOWordLine(text, word, ok, lineError)) {
      if (!ok) {
        Fail(lineError, "oword-syntax");
      } else if (word.keyword == OKeyword::none) {
        sink_.Run(text, false, ReportLine());  // a program number
      } else {
        OWord(word, at);
      }
    } else if (IsFanucLine(text, fanuc, ok, lineError)) {
      if (!ok) {
        Fail(lineError, "oword-syntax");
      } else {
        Fanuc(fanuc);
      }
    } else {
      sink_.Run(text, false, ReportLine());
    }
  }
  // The rest of the program is counted (and, after its end, handed on to be counted as lines not
  // run); nothing more runs.
  Frame& main = frames_.front();
  std::string_view text;
  bool tooLong = false;
  const bool ended = sink_.Ended();
  while (!Stopped() && main.input->NextLine(text, tooLong)) {
    ++main.line;
    if (ended && !failed_) sink_.Run(text, tooLong, main.line);
  }
  if (!main.input->ReadError().empty()) {
    error = main.input->ReadError();
    return false;
  }
  for (const auto& [file, reader] : readers_) {
    if (reader && !reader->ReadError().empty()) {
      error = reader->ReadError();
      return false;
    }
  }
  result.lineCount = main.line;
  result.blocksExecuted = blocks_;
  return true;
}

bool Flow::Stopped() const {
  return stop_ != nullptr && stop_->load(std::memory_order_relaxed) != 0;
}

int Flow::ReportLine() const {
  return frames_.size() > 1 ? frames_[1].callLine : frames_.front().line;
}

std::string Flow::FrameName(const Frame& frame) {
  return frame.fanuc ? "O" + frame.sub : "o" + frame.sub;
}

void Flow::Fail(const std::string& message, const std::string& code, int line) {
  std::string where;
  if (frames_.size() > 1) {
    const Frame& frame = frames_.back();
    where = "in " + FrameName(frame) + " (" + frame.input->Name() + " line " +
            std::to_string(frame.line) + "): ";
  }
  sink_.Refuse(where + message, code, line > 0 && frames_.size() == 1 ? line : ReportLine());
  failed_ = true;
}

bool Flow::FromLineAllowed() {
  if (!definingSub_.empty()) {
    Fail("--from-line " + std::to_string(options_.fromLine) + " is inside the subroutine o" +
             definingSub_ + ": resume from a line outside subroutines and loops",
         "from-line-inside");
    return false;
  }
  for (const Open& open : control_) {
    if (open.kind == OKeyword::whileLoop || open.kind == OKeyword::doLoop ||
        open.kind == OKeyword::repeat) {
      Fail("--from-line " + std::to_string(options_.fromLine) + " is inside the loop o" +
               open.label + " " + KeywordName(open.kind) + " (line " + std::to_string(open.line) +
               "): resume from a line outside subroutines and loops",
           "from-line-inside");
      return false;
    }
  }
  return true;
}

bool Flow::Evaluate(std::string_view text, std::size_t& at, double& value) {
  EvalError evalError;
  if (!ReadExpression(text, at, sink_.Params(), value, evalError)) {
    Fail(evalError.message, evalError.code.empty() ? "expression" : evalError.code);
    return false;
  }
  return true;
}

// The condition, count or value after a keyword: one bracketed expression, then nothing but
// comments. `required` false: none at all is allowed (`present` says whether one was there).
bool Flow::Argument(std::string_view rest, const std::string& what, bool required, double& value,
                    bool& present) {
  std::size_t at = 0;
  present = false;
  SkipComments(rest, at);
  if (at >= rest.size()) {
    if (!required) return true;
    Fail(what + " needs [a condition or a value]", "oword-syntax");
    return false;
  }
  if (rest[at] != '[') {
    Fail(what + ": a bracketed expression [...] is expected here", "oword-syntax");
    return false;
  }
  if (!Evaluate(rest, at, value)) return false;
  present = true;
  SkipComments(rest, at);
  if (at < rest.size()) {
    Fail(what + ": unexpected text after the expression", "oword-syntax");
    return false;
  }
  return true;
}

void Flow::SkipComments(std::string_view text, std::size_t& at) {
  while (at < text.size()) {
    const char c = text[at];
    if (c == ' ' || c == '\t' || c == '\r') {
      ++at;
    } else if (c == '(') {
      const std::size_t close = text.find(')', at);
      at = close == std::string_view::npos ? text.size() : close + 1;
    } else if (c == ';') {
      at = text.size();
    } else {
      return;
    }
  }
}

bool Flow::Label(const OWordLine& word, std::string& label) {
  if (word.labelExpression.empty()) {
    label = word.label;
    return true;
  }
  double value = 0;
  std::size_t at = 0;
  if (!Evaluate(word.labelExpression, at, value)) return false;
  if (!std::isfinite(value) || value < 0 || value > 1e15 ||
      std::fabs(value - std::round(value)) > 1e-4) {
    Fail("an O-word number o[...] must be a whole number, not " + std::to_string(value),
         "oword-syntax");
    return false;
  }
  label = std::to_string(static_cast<long long>(std::llround(value)));
  return true;
}

bool RunFlow(ProgramInput& main, FlowSink& sink, const FlowOptions& options, FlowResult& result,
             std::string& error, const std::atomic<int>* stop) {
  Flow flow(main, sink, options, stop);
  return flow.Run(result, error);
}

}  // namespace gcode
