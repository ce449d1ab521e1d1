// O-word lines as LinuxCNC writes them: "o100 sub", "o<peck> call [1] [2]", "o[#1] if [...]",
// and the Fanuc-style "M98 P100 L3" and "M99" lines. Reads the words only; what they do is the
// control flow's (flow.h). Pure text processing; calls nothing below it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace gcode {

enum class OKeyword {
  none,  // a bare program number ("O1001 (pocket)"; a Fanuc subprogram's first line)
  sub,
  endsub,
  returnTo,
  call,
  ifThen,
  elseIf,
  elseThen,
  endIf,
  whileLoop,
  endWhile,
  doLoop,
  repeat,
  endRepeat,
  breakLoop,
  continueLoop,
};

const char* KeywordName(OKeyword keyword);

struct OWordLine {
  // "100" (leading zeros dropped), "<name>" lowered with its spaces removed, or empty when the
  // number is an expression ("o[#1]": `labelExpression` then holds its text, brackets included).
  std::string label;
  std::string labelExpression;
  OKeyword keyword = OKeyword::none;
  // What follows the keyword (a condition, a count, call arguments, a return value), comments
  // left in: the expressions' reader skips them.
  std::string_view rest;
};

// Whether the line is an O-word line (after an optional '/' and N number); when it is, reads it
// into `word`, or false in `ok` with `error`.
bool IsOWordLine(std::string_view line, OWordLine& word, bool& ok, std::string& error);

// A Fanuc-style subprogram line: M98 (call) or M99 (return) with its P and L words as text.
struct FanucLine {
  bool call = false;      // M98; else M99
  std::string_view p, l;  // the words' values as written (empty: not given)
};
// Whether the line holds M98 or M99; false in `ok` with `error` when it holds anything else
// beside them but N, P, L and comments.
bool IsFanucLine(std::string_view line, FanucLine& fanuc, bool& ok, std::string& error);

// A subroutine name that may name a file in the subroutine folder: LinuxCNC's names lowered,
// never a path. Empty `error` when it may.
std::string SubroutineFileError(const std::string& name);

}  // namespace gcode
