// Values as LinuxCNC's reader reads them after a word's letter, in an assignment or in an O-word:
// a number, a parameter (#12, ##1, #[expr], #<name>), a unary function (ABS[...], ATAN[y]/[x],
// EXISTS[#<name>]), a bracketed expression with LinuxCNC's operators and precedence, or any of
// these after a sign. Angles in degrees. Calls the parameter store only.
#pragma once

#include <cstddef>
#include <string_view>

#include "read/parameters.h"

namespace gcode {

// Reads one value starting at text[pos] (spaces skipped), leaving pos just past it. False with
// `error` on a syntax error, an unset named parameter, division by zero or a domain error.
bool ReadValue(std::string_view text, std::size_t& pos, const Parameters& parameters, double& value,
               EvalError& error);

// Reads a bracketed expression at text[pos] == '['; as ReadValue otherwise.
bool ReadExpression(std::string_view text, std::size_t& pos, const Parameters& parameters,
                    double& value, EvalError& error);

// Reads the parameter named at text[pos] == '#' (#12, ##3, #[1+2], #<name>), without reading its
// value: the target of an assignment. Numbers are checked against #1-#5601 here.
bool ReadParameterRef(std::string_view text, std::size_t& pos, const Parameters& parameters,
                      ParameterRef& ref, EvalError& error);

// Calls visit(c) for each character of a line outside its comments ("(...)" and from ';' on)
// until visit returns true; whether one did.
template <typename Visit>
bool AnyOutsideComments(std::string_view line, Visit visit) {
  bool comment = false;
  for (const char c : line) {
    if (comment) {
      comment = c != ')';
      continue;
    }
    if (c == '(') {
      comment = true;
      continue;
    }
    if (c == ';') break;
    if (visit(c)) return true;
  }
  return false;
}

// Whether a line (comments aside) holds '#' or '[': it needs the parameters to be read.
bool NeedsParameters(std::string_view line);

}  // namespace gcode
