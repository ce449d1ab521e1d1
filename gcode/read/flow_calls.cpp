// Subroutines: definitions (remembered by offset, their bodies skipped), o-word calls with
// arguments, return values, files from the subroutine folder, and Fanuc-style M98/M99. Each call
// level reads through its own reader, so a return finds its caller where it left it.
#include <cmath>
#include <filesystem>
#include <span>

#include "read/expression.h"
#include "read/flow_detail.h"

namespace gcode {

void Flow::DefineSub(const std::string& label) {
  Frame& frame = frames_.back();
  const int line = frame.line;
  const auto found = subs_.find(label);
  if (found != subs_.end()) {
    const Subroutine& known = found->second;
    const bool here = known.body.file == frame.file && known.body.line == line + 1;
    if (here && !known.seenInFlow) {
      Fail("o" + label + " sub is defined after its first call (line " +
               std::to_string(known.defined) +
               "): a subroutine must be defined before it is called",
           "oword-order");
      return;
    }
    if (!here) {
      Fail("o" + label + " sub is defined again (first at line " + std::to_string(known.defined) +
               (known.body.file.empty() ? "" : " of " + known.body.file) + ")",
           "oword-duplicate");
      return;
    }
  } else if (subs_.size() >= maxKnownSubroutines) {
    Fail("more than " + std::to_string(maxKnownSubroutines) + " subroutines", "oword-limit");
    return;
  }
  Subroutine sub;
  sub.body = Place{frame.file, frame.input->Tell(), line + 1};
  sub.defined = line;
  sub.seenInFlow = true;
  subs_[label] = sub;
  OWordLine end;
  definingSub_ = label;
  SkipTo(label, {OKeyword::endsub}, end, "o" + label + " sub");
  definingSub_.clear();
}

ProgramInput* Flow::ReaderFor(std::size_t level, const std::string& file) {
  if (readers_.size() < level) readers_.resize(level);
  auto& [readerFile, reader] = readers_[level - 1];
  if (reader && readerFile == file) return reader.get();
  std::string error;
  reader = file.empty() ? main_.Again(error) : main_.OpenSubroutineFile(file, error);
  readerFile = file;
  if (!reader) {
    readerFile.clear();
    Fail(error, "subroutine-file");
    return nullptr;
  }
  return reader.get();
}

bool Flow::SearchFile(ProgramInput& input, const std::string& file, const std::string& label,
                      bool fanuc, Subroutine& found, bool& wrongKind) {
  std::string error;
  if (!input.Seek(0, error)) {
    Fail(error, "read");
    return false;
  }
  std::string_view text;
  bool tooLong = false;
  int line = 0;
  while (input.NextLine(text, tooLong)) {
    ++line;
    OWordLine word;
    bool ok = true;
    if (tooLong || !IsOWordLine(text, word, ok, error) || !ok || word.label != label) continue;
    if (word.keyword == OKeyword::sub || (fanuc && word.keyword == OKeyword::none)) {
      wrongKind = (word.keyword == OKeyword::sub) == fanuc;
      found.body = Place{file, input.Tell(), line + 1};
      found.defined = line;
      return true;
    }
  }
  if (!input.ReadError().empty()) failed_ = true;
  return false;
}

bool Flow::FindSub(const std::string& label, bool fanuc, Subroutine& found) {
  const std::string key = fanuc ? "F" + label : label;
  const std::string shown = fanuc ? "O" + label : "o" + label;
  if (const auto known = subs_.find(key); known != subs_.end()) {
    found = known->second;
    return true;
  }
  if (subs_.size() >= maxKnownSubroutines) {
    Fail("more than " + std::to_string(maxKnownSubroutines) + " subroutines", "oword-limit");
    return false;
  }
  // Not defined yet: searched for in the file being run (LinuxCNC looks ahead the same way), with
  // a reader of its own so that this level's place stays.
  const Frame& frame = frames_.back();
  const std::size_t level = frames_.size();
  bool wrongKind = false;
  bool inFile = false;
  if (ProgramInput* search = ReaderFor(level, frame.file)) {
    inFile = SearchFile(*search, frame.file, label, fanuc, found, wrongKind);
  }
  if (failed_) return false;
  if (inFile && wrongKind) {
    Fail(fanuc ? "M98 P" + label + ": o" + label + " is an O-word subroutine ('o" + label +
                     " call' calls it)"
               : "o" + label + " call: O" + label + " is a Fanuc-style subprogram (M98 P" + label +
                     " calls it)",
         "oword-kind");
    return false;
  }
  if (!inFile && !fanuc) {
    std::string bare = label.front() == '<' ? label.substr(1, label.size() - 2) : label;
    if (const std::string refused = SubroutineFileError(label); !refused.empty()) {
      Fail(refused, "subroutine-name");
      return false;
    }
    if (options_.subroutinesDir.empty()) {
      Fail("o" + label + " call: no subroutine o" + label +
               " in the program (and no --subroutines folder to look in)",
           "oword-missing-sub");
      return false;
    }
    const std::string path =
        (std::filesystem::path(options_.subroutinesDir) / (bare + ".ngc")).string();
    std::error_code exists;
    if (!std::filesystem::is_regular_file(path, exists)) {
      Fail("o" + label + " call: no subroutine o" + label + " in the program, nor a file " + path,
           "oword-missing-sub");
      return false;
    }
    ProgramInput* file = ReaderFor(level, path);
    if (!file) return false;
    inFile = SearchFile(*file, path, label, false, found, wrongKind);
    if (failed_) return false;
    if (!inFile || wrongKind) {
      Fail(path + " does not define o" + label + " sub ... o" + label + " endsub",
           "oword-missing-sub");
      return false;
    }
  }
  if (!inFile) {
    Fail("M98 P" + label + ": no O" + label + " subprogram in " + frame.input->Name(),
         "oword-missing-sub");
    return false;
  }
  subs_[key] = found;
  return true;
}

void Flow::Enter(Frame frame, const Subroutine& sub) {
  ProgramInput* input = ReaderFor(frames_.size(), sub.body.file);
  if (!input) return;
  frame.input = input;
  frame.file = sub.body.file;
  frame.body = sub.body;
  frame.callLine = ReportLine();
  frame.controlBase = control_.size();
  frames_.push_back(frame);
  JumpTo(sub.body);
}

void Flow::Call(const std::string& label, std::string_view rest) {
  const std::string what = "o" + label + " call";
  // The arguments, read in the caller's parameters before anything else happens.
  std::vector<double> arguments;
  std::size_t at = 0;
  while (true) {
    SkipComments(rest, at);
    if (at >= rest.size()) break;
    if (rest[at] != '[') {
      Fail(what + ": each argument is a bracketed expression [...]", "oword-syntax");
      return;
    }
    if (arguments.size() == static_cast<std::size_t>(localParameters)) {
      Fail(what + ": more than " + std::to_string(localParameters) + " arguments", "oword-syntax");
      return;
    }
    double value = 0.0;
    if (!Evaluate(rest, at, value)) return;
    arguments.push_back(value);
  }
  if (frames_.size() > maxNestedCalls) {
    Fail(what + ": too many subroutine levels (at most " + std::to_string(maxNestedCalls + 1) +
             ", the main program counted)",
         "call-depth");
    return;
  }
  Subroutine sub;
  if (!FindSub(label, false, sub)) return;
  EvalError error;
  if (!sink_.Params().Call(std::span<const double>(arguments), error)) {
    Fail(what + ": " + error.message, error.code.empty() ? "call-depth" : error.code);
    return;
  }
  Frame frame;
  frame.sub = label;
  Enter(frame, sub);
}

void Flow::Return(const std::string& label, std::string_view rest, bool endsub) {
  const std::string what = "o" + label + (endsub ? " endsub" : " return");
  if (frames_.size() == 1 || frames_.back().fanuc) {
    Fail(what + " outside a subroutine" +
             (frames_.size() > 1 ? " (an M98 subprogram returns with M99)" : ""),
         "oword-return-outside");
    return;
  }
  if (frames_.back().sub != label) {
    Fail(what + " inside o" + frames_.back().sub + ": the labels differ", "oword-unmatched");
    return;
  }
  double value = 0.0;
  bool present = false;
  if (!Argument(rest, what, false, value, present)) return;
  control_.resize(frames_.back().controlBase);
  frames_.pop_back();
  Parameters& params = sink_.Params();
  params.Return();
  params.SetGlobalNow("_value", present ? value : 0.0);
  params.SetGlobalNow("_value_returned", present ? 1.0 : 0.0);
}

void Flow::Fanuc(const FanucLine& fanuc) {
  Parameters& params = sink_.Params();
  if (!fanuc.call) {
    if (frames_.size() == 1) {
      sink_.Run("M2", false, ReportLine());  // M99 in the main program ends it, as M2 does
      return;
    }
    Frame& frame = frames_.back();
    if (!frame.fanuc) {
      Fail("M99 inside o" + frame.sub + " sub: it returns with o" + frame.sub + " endsub",
           "oword-return-outside");
      return;
    }
    if (frame.repeatsLeft > 0) {
      --frame.repeatsLeft;
      control_.resize(frame.controlBase);
      JumpTo(frame.body);
      return;
    }
    control_.resize(frame.controlBase);
    frames_.pop_back();
    return;
  }
  const auto value = [&](std::string_view text, const char* letter, double fallback, double& out) {
    if (text.empty()) {
      out = fallback;
      return true;
    }
    std::size_t at = 0;
    EvalError error;
    if (!ReadValue(text, at, params, out, error)) {
      Fail(std::string("M98 ") + letter + ": " + error.message,
           error.code.empty() ? "expression" : error.code);
      return false;
    }
    return true;
  };
  double p = 0.0, l = 1.0;
  if (fanuc.p.empty()) {
    Fail("M98 needs P, the subprogram's number", "oword-syntax");
    return;
  }
  if (!value(fanuc.p, "P", 0.0, p) || !value(fanuc.l, "L", 1.0, l)) return;
  if (!std::isfinite(p) || p < 0 || p > 1e15 || p != std::floor(p) || !std::isfinite(l) || l < 0 ||
      l > 9e18 || l != std::floor(l)) {
    Fail("M98: P and L must be whole numbers, not negative", "oword-syntax");
    return;
  }
  if (l == 0) return;  // no pass at all
  if (frames_.size() > maxNestedCalls) {
    Fail("M98: too many subroutine levels (at most " + std::to_string(maxNestedCalls + 1) +
             ", the main program counted)",
         "call-depth");
    return;
  }
  const std::string label = std::to_string(static_cast<long long>(p));
  Subroutine sub;
  if (!FindSub(label, true, sub)) return;
  Frame frame;
  frame.sub = label;
  frame.fanuc = true;
  frame.repeatsLeft = static_cast<long long>(l) - 1;
  Enter(frame, sub);
}

}  // namespace gcode
