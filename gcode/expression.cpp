// The expression reader: recursive descent over LinuxCNC's four binary precedence levels (**;
// * / MOD; + -; comparisons; AND OR XOR), left to right within a level, and its unary functions.
// Calls the parameter store only.
#include "expression.h"

namespace gcode {

bool ReadValue(std::string_view, std::size_t&, const Parameters&, double& value, EvalError& error) {
  value = 0.0;
  error = {"expressions are not read yet", "expression"};
  return false;
}
bool ReadExpression(std::string_view text, std::size_t& pos, const Parameters& parameters,
                    double& value, EvalError& error) {
  return ReadValue(text, pos, parameters, value, error);
}
bool ReadParameterRef(std::string_view, std::size_t&, const Parameters&, ParameterRef&,
                      EvalError& error) {
  error = {"parameters are not read yet", "expression"};
  return false;
}
bool NeedsParameters(std::string_view) {
  return false;
}

}  // namespace gcode
