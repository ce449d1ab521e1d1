// The control flow's inner state, shared by its three files: the run loop (flow.cpp), the
// structures (flow_structures.cpp) and the calls (flow_calls.cpp). Not for other callers.
#pragma once

#include <initializer_list>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "read/flow.h"
#include "read/oword.h"

namespace gcode {

class Flow {
 public:
  Flow(ProgramInput& main, FlowSink& sink, const FlowOptions& options,
       const std::atomic<int>* stop);
  bool Run(FlowResult& result, std::string& error);

 private:
  // A line's place: its offset in its file and its number there.
  struct Place {
    std::string file;  // "" the program itself, else the subroutine file's path
    std::uint64_t offset = 0;
    int line = 0;
  };
  struct Subroutine {
    Place body;               // the line after "oN sub" (or a Fanuc "ON" line)
    int defined = 0;          // line of the definition
    bool seenInFlow = false;  // the run went through its definition (not found by a call's search)
  };
  // An open if, while, do or repeat.
  struct Open {
    OKeyword kind = OKeyword::ifThen;
    std::string label;
    Place start;         // while: its own line; do, repeat: the body's first line
    int line = 0;        // the opening line
    long long left = 0;  // repeat: passes still to run, this one included
    bool taken = false;  // if: a branch has run
  };
  struct Frame {
    ProgramInput* input = nullptr;
    std::string file;           // as Place::file
    int line = 0;               // last line read in `file`
    std::string sub;            // the subroutine's label ("" the main program)
    bool fanuc = false;         // an M98 subprogram
    long long repeatsLeft = 0;  // M98 L: passes still to run after this one
    Place body;
    int callLine = 0;             // the calling line's report line
    std::size_t controlBase = 0;  // control_ entries below this belong to callers
  };

  // flow.cpp
  bool Stopped() const;
  int ReportLine() const;
  static std::string FrameName(const Frame& frame);
  // Refuses at the current line, or at `line` of the program (an opening line).
  void Fail(const std::string& message, const std::string& code, int line = 0);
  bool FromLineAllowed();
  bool Evaluate(std::string_view text, std::size_t& at, double& value);
  bool Argument(std::string_view rest, const std::string& what, bool required, double& value,
                bool& present);
  static void SkipComments(std::string_view text, std::size_t& at);
  bool Label(const OWordLine& word, std::string& label);

  // flow_structures.cpp
  void OWord(const OWordLine& word, std::uint64_t at);
  void OpenStructure(OKeyword kind, const std::string& label, std::string_view rest,
                     std::uint64_t at);
  void CloseStructure(OKeyword kind, const std::string& label, std::string_view rest);
  bool LabelFree(const std::string& label, std::uint64_t at);
  Open* Top(const std::string& label, std::initializer_list<OKeyword> kinds,
            const std::string& what);
  void SkipBranches(const std::string& label);
  bool SkipTo(const std::string& label, std::initializer_list<OKeyword> kinds, OWordLine& found,
              const std::string& opened);
  void JumpTo(const Place& place);
  Place Here(std::uint64_t at) const;

  // flow_calls.cpp
  void DefineSub(const std::string& label);
  void Call(const std::string& label, std::string_view rest);
  void Return(const std::string& label, std::string_view rest, bool endsub);
  void Fanuc(const FanucLine& fanuc);
  bool FindSub(const std::string& label, bool fanuc, Subroutine& found);
  bool SearchFile(ProgramInput& input, const std::string& file, const std::string& label,
                  bool fanuc, Subroutine& found, bool& wrongKind);
  ProgramInput* ReaderFor(std::size_t level, const std::string& file);
  void Enter(Frame frame, const Subroutine& sub);

  ProgramInput& main_;
  FlowSink& sink_;
  FlowOptions options_;
  const std::atomic<int>* stop_;
  bool failed_ = false;
  std::uint64_t blocks_ = 0;
  std::vector<Frame> frames_;  // [0] the main program; at most maxNestedCalls more
  std::vector<Open> control_;  // every level's open structures, innermost last
  // Readers of the call levels 1..maxNestedCalls, each with the file it reads.
  std::vector<std::pair<std::string, std::unique_ptr<ProgramInput>>> readers_;
  std::map<std::string, Subroutine> subs_;  // "o100" / "<name>" / Fanuc "F100"
  std::map<std::string, Place> labels_;     // scope + label -> the structure it opened
  std::string definingSub_;  // the definition being skipped (--from-line may not fall in it)
};

}  // namespace gcode
