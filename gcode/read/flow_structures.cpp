// O-word structures: if/elseif/else, while, do-while, repeat, break and continue. A false
// branch or a finished loop is skipped by reading on to the O-word with the same label (LinuxCNC
// gives each label one structure, so the first such line is the one); nothing in the lines
// skipped is read as G-code.
#include <cmath>

#include "read/flow_detail.h"

namespace gcode {

Flow::Place Flow::Here(std::uint64_t at) const {
  const Frame& frame = frames_.back();
  return Place{frame.file, at, frame.line};
}

void Flow::JumpTo(const Place& place) {
  Frame& frame = frames_.back();
  std::string error;
  if (!frame.input->Seek(place.offset, error)) {
    Fail(error, "read");
    return;
  }
  frame.line = place.line - 1;  // the next line read is place.line
}

void Flow::OWord(const OWordLine& word, std::uint64_t at) {
  std::string label;
  if (!Label(word, label)) return;
  switch (word.keyword) {
    case OKeyword::sub:
      DefineSub(label);
      return;
    case OKeyword::endsub:
    case OKeyword::returnTo:
      Return(label, word.rest, word.keyword == OKeyword::endsub);
      return;
    case OKeyword::call:
      Call(label, word.rest);
      return;
    case OKeyword::whileLoop: {
      // "oN while" closes the do of the same label when one is open at this level.
      const std::size_t base = frames_.back().controlBase;
      if (control_.size() > base && control_.back().kind == OKeyword::doLoop &&
          control_.back().label == label) {
        CloseStructure(OKeyword::whileLoop, label, word.rest);
      } else {
        OpenStructure(OKeyword::whileLoop, label, word.rest, at);
      }
      return;
    }
    case OKeyword::ifThen:
    case OKeyword::doLoop:
    case OKeyword::repeat:
      OpenStructure(word.keyword, label, word.rest, at);
      return;
    default:
      CloseStructure(word.keyword, label, word.rest);
      return;
  }
}

bool Flow::LabelFree(const std::string& label, std::uint64_t at) {
  const Frame& frame = frames_.back();
  const std::string key = frame.file + '\n' + frame.sub + '\n' + label;
  const auto found = labels_.find(key);
  if (found != labels_.end()) {
    if (found->second.offset == at) return true;
    Fail("o" + label + " is used again: it already labels the structure at line " +
             std::to_string(found->second.line) + " (each O-word label names one structure)",
         "oword-duplicate");
    return false;
  }
  if (labels_.size() >= maxKnownLabels) {
    Fail("more than " + std::to_string(maxKnownLabels) + " O-word labels", "oword-limit");
    return false;
  }
  labels_.emplace(key, Here(at));
  return true;
}

void Flow::OpenStructure(OKeyword kind, const std::string& label, std::string_view rest,
                         std::uint64_t at) {
  if (!LabelFree(label, at)) return;
  const std::string what = "o" + label + " " + KeywordName(kind);
  Open open;
  open.kind = kind;
  open.label = label;
  open.line = frames_.back().line;
  double value = 0.0;
  bool present = false;
  if (kind == OKeyword::doLoop) {
    if (!Argument(rest, what, false, value, present)) return;
    open.start = Here(frames_.back().input->Tell());
    open.start.line = open.line + 1;
    control_.push_back(open);
    return;
  }
  if (!Argument(rest, what, true, value, present)) return;
  if (kind == OKeyword::ifThen) {
    open.taken = value != 0.0;
    control_.push_back(open);
    if (!open.taken) SkipBranches(label);
    return;
  }
  OWordLine end;
  if (kind == OKeyword::whileLoop) {
    if (value == 0.0) {
      SkipTo(label, {OKeyword::endWhile}, end, what);
      return;
    }
    open.start = Here(at);
    control_.push_back(open);
    return;
  }
  // repeat: the count is read once and rounded to the nearest pass, as LinuxCNC does.
  if (!std::isfinite(value) || value > 9e18) {
    Fail(what + ": the count is not a number of passes", "oword-syntax");
    return;
  }
  open.left = std::llround(value);
  if (open.left <= 0) {
    SkipTo(label, {OKeyword::endRepeat}, end, what);
    return;
  }
  open.start = Here(frames_.back().input->Tell());
  open.start.line = open.line + 1;
  control_.push_back(open);
}

Flow::Open* Flow::Top(const std::string& label, std::initializer_list<OKeyword> kinds,
                      const std::string& what) {
  const std::size_t base = frames_.back().controlBase;
  if (control_.size() > base) {
    Open& top = control_.back();
    if (top.label == label) {
      for (const OKeyword kind : kinds) {
        if (top.kind == kind) return &top;
      }
    }
    Fail(what + " does not close o" + top.label + " " + KeywordName(top.kind) + " (line " +
             std::to_string(top.line) + ")",
         "oword-unmatched");
    return nullptr;
  }
  Fail(what + " has no open o" + label + " " + KeywordName(*kinds.begin()) + " before it",
       "oword-unmatched");
  return nullptr;
}

void Flow::CloseStructure(OKeyword kind, const std::string& label, std::string_view rest) {
  const std::string what = "o" + label + " " + KeywordName(kind);
  OWordLine end;
  double value = 0.0;
  bool present = false;
  switch (kind) {
    case OKeyword::elseIf:
    case OKeyword::elseThen: {
      // Reached by running: the branch before it ran, so the rest of the if is skipped.
      if (!Top(label, {OKeyword::ifThen}, what)) return;
      if (SkipTo(label, {OKeyword::endIf}, end, what)) control_.pop_back();
      return;
    }
    case OKeyword::endIf:
      if (Top(label, {OKeyword::ifThen}, what)) control_.pop_back();
      return;
    case OKeyword::endWhile: {
      const Open* open = Top(label, {OKeyword::whileLoop}, what);
      if (!open) return;
      const Place start = open->start;
      control_.pop_back();  // the while line runs again and opens it again
      JumpTo(start);
      return;
    }
    case OKeyword::whileLoop: {  // closing a do
      Open* open = Top(label, {OKeyword::doLoop}, what);
      if (!open || !Argument(rest, what, true, value, present)) return;
      if (value != 0.0) {
        JumpTo(open->start);
      } else {
        control_.pop_back();
      }
      return;
    }
    case OKeyword::endRepeat: {
      Open* open = Top(label, {OKeyword::repeat}, what);
      if (!open) return;
      if (--open->left > 0) {
        JumpTo(open->start);
      } else {
        control_.pop_back();
      }
      return;
    }
    case OKeyword::breakLoop:
    case OKeyword::continueLoop: {
      // The loop of that label, with what is open inside it at this level.
      const std::size_t base = frames_.back().controlBase;
      std::size_t index = control_.size();
      while (index > base && !(control_[index - 1].label == label &&
                               control_[index - 1].kind != OKeyword::ifThen)) {
        --index;
      }
      if (index == base) {
        Fail(what + " is not inside the loop o" + label, "oword-unmatched");
        return;
      }
      if (control_[index - 1].kind == OKeyword::repeat) {
        Fail(what + ": o" + label + " is a repeat; break and continue leave only while and do " +
                 "loops (as in LinuxCNC)",
             "oword-unmatched");
        return;
      }
      control_.resize(index);
      const Open loop = control_.back();
      const OKeyword endKind =
          loop.kind == OKeyword::whileLoop ? OKeyword::endWhile : OKeyword::whileLoop;
      if (!SkipTo(label, {endKind}, end, "o" + label + " " + KeywordName(loop.kind))) return;
      if (kind == OKeyword::breakLoop) {
        control_.pop_back();
        return;
      }
      // continue: the loop's end line runs (a do's condition is tested, a repeat counts).
      CloseStructure(endKind, label, end.rest);
      return;
    }
    default:
      Fail(what + " is not a keyword that closes a structure", "oword-syntax");
      return;
  }
}

// An if whose condition was false: on to its first elseif that holds, its else, or its endif.
void Flow::SkipBranches(const std::string& label) {
  const std::string what = "o" + label + " if";
  while (!failed_) {
    OWordLine found;
    if (!SkipTo(label, {OKeyword::elseIf, OKeyword::elseThen, OKeyword::endIf}, found, what))
      return;
    if (found.keyword == OKeyword::endIf) {
      control_.pop_back();
      return;
    }
    if (found.keyword == OKeyword::elseThen) {
      control_.back().taken = true;
      return;
    }
    double value = 0.0;
    bool present = false;
    if (!Argument(found.rest, "o" + label + " elseif", true, value, present)) return;
    if (value != 0.0) {
      control_.back().taken = true;
      return;
    }
  }
}

bool Flow::SkipTo(const std::string& label, std::initializer_list<OKeyword> kinds, OWordLine& found,
                  const std::string& opened) {
  Frame& frame = frames_.back();
  const int openedLine = frame.line;
  std::string_view text;
  bool tooLong = false;
  while (frame.input->NextLine(text, tooLong)) {
    ++frame.line;
    if (frames_.size() == 1 && frame.line == options_.fromLine && !FromLineAllowed()) return false;
    bool ok = true;
    std::string error;
    if (tooLong || !IsOWordLine(text, found, ok, error) || !ok) continue;
    if (found.label.empty()) {
      // o[...]: its number is read as the line is passed.
      std::string label2;
      if (!Label(found, label2)) return false;
      found.label = label2;
    }
    if (found.label != label) continue;
    for (const OKeyword kind : kinds) {
      if (found.keyword == kind) return true;
    }
  }
  if (!frame.input->ReadError().empty()) {
    failed_ = true;  // Run() reports the read error
    return false;
  }
  std::string wanted;
  for (const OKeyword kind : kinds) {
    wanted += (wanted.empty() ? "o" : " or o") + label + " " + KeywordName(kind);
  }
  // The error belongs to the opening line.
  Fail(opened + " (line " + std::to_string(openedLine) + "): no " + wanted + " after it in " +
           frame.input->Name(),
       "oword-unmatched", openedLine);
  return false;
}

}  // namespace gcode
