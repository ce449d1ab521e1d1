// The parameter store: numbered values in fixed arrays, named ones in maps bounded by
// maxNamedParameters, a frame per subroutine call, and the current line's settings held back
// until the line has run. Calls nothing below it.
#include "read/parameters.h"

#include <cctype>

namespace gcode {
namespace {

std::string Shown(const ParameterRef& ref) {
  return ref.number > 0 ? "#" + std::to_string(ref.number) : "#<" + ref.name + ">";
}

bool IsGlobalName(std::string_view name) {
  return !name.empty() && name.front() == '_';
}

}  // namespace

Parameters::Parameters(const SystemParameters* system)
    : system_(system), globals_(firstSystemParameter - 1 - localParameters, 0.0) {
  // What a subroutine's return leaves (0 until one returns a value).
  SetGlobalNow("_value", 0.0);
  SetGlobalNow("_value_returned", 0.0);
}

std::string Parameters::Normalise(std::string_view name) {
  std::string kept;
  kept.reserve(name.size());
  for (const char c : name) {
    if (c == ' ' || c == '\t' || c == '\r') continue;
    kept.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  }
  return kept;
}

const double* Parameters::FindNamed(std::string_view name) const {
  const std::string key(name);
  if (IsGlobalName(name)) {
    const auto found = namedGlobals_.find(key);
    return found == namedGlobals_.end() ? nullptr : &found->second;
  }
  const auto& named = frames_[static_cast<std::size_t>(depth_)].named;
  const auto found = named.find(key);
  return found == named.end() ? nullptr : &found->second;
}

bool Parameters::Read(int number, double& value, EvalError& error) const {
  if (number < 1 || number > lastParameter) {
    error = {"parameter #" + std::to_string(number) + " is out of range (#1-#" +
                 std::to_string(lastParameter) + ")",
             "parameter-range"};
    return false;
  }
  if (number <= localParameters) {
    value = frames_[static_cast<std::size_t>(depth_)].locals[static_cast<std::size_t>(number - 1)];
  } else if (number < firstSystemParameter) {
    value = globals_[static_cast<std::size_t>(number - localParameters - 1)];
  } else {
    value = system_ ? system_->Numbered(number) : 0.0;
  }
  return true;
}

bool Parameters::Read(const ParameterRef& ref, double& value, EvalError& error) const {
  if (ref.number > 0) return Read(ref.number, value, error);
  if (IsGlobalName(ref.name) && system_) {
    if (const std::optional<double> predefined = system_->Named(ref.name)) {
      value = *predefined;
      return true;
    }
  }
  if (const double* found = FindNamed(ref.name)) {
    value = *found;
    return true;
  }
  for (const Pending& p : pending_) {
    if (p.ref.number == 0 && p.ref.name == ref.name) {
      value = 0.0;  // named earlier on this line, not yet set: LinuxCNC reads 0
      return true;
    }
  }
  error = {"the named parameter #<" + ref.name + "> is not set", "parameter-unset"};
  return false;
}

bool Parameters::Exists(std::string_view name) const {
  const std::string key = Normalise(name);
  if (IsGlobalName(key) && system_ && system_->Named(key)) return true;
  return FindNamed(key) != nullptr;
}

bool Parameters::Assign(const ParameterRef& ref, double value, EvalError& error) {
  if (ref.number != 0) {
    if (ref.number < 1 || ref.number > lastParameter) {
      error = {"parameter #" + std::to_string(ref.number) + " is out of range (#1-#" +
                   std::to_string(lastParameter) + ")",
               "parameter-range"};
      return false;
    }
    if (ref.number >= firstSystemParameter) {
      error = {"parameter #" + std::to_string(ref.number) +
                   " is the interpreter's and read-only (programs set #1-#" +
                   std::to_string(firstSystemParameter - 1) + ")",
               "parameter-read-only"};
      return false;
    }
  } else {
    if (ref.name.empty()) {
      error = {"a named parameter needs a name", "expression"};
      return false;
    }
    if (IsGlobalName(ref.name) && system_ && system_->Named(ref.name)) {
      error = {Shown(ref) + " is predefined and read-only", "parameter-read-only"};
      return false;
    }
    if (!FindNamed(ref.name)) {
      std::size_t fresh = 0;  // names this line adds so far
      for (const Pending& p : pending_) {
        if (p.ref.number == 0 && !FindNamed(p.ref.name)) ++fresh;
      }
      if (namedCount_ + fresh >= maxNamedParameters) {
        error = {"more than " + std::to_string(maxNamedParameters) +
                     " named parameters at once: " + Shown(ref) + " is one too many",
                 "parameter-limit"};
        return false;
      }
    }
  }
  pending_.push_back({ref, value});
  return true;
}

bool Parameters::Store(const ParameterRef& ref, double value) {
  if (ref.number > 0) {
    if (ref.number <= localParameters) {
      frames_[static_cast<std::size_t>(depth_)].locals[static_cast<std::size_t>(ref.number - 1)] =
          value;
    } else if (ref.number < firstSystemParameter) {
      globals_[static_cast<std::size_t>(ref.number - localParameters - 1)] = value;
    }
    return true;
  }
  auto& map =
      IsGlobalName(ref.name) ? namedGlobals_ : frames_[static_cast<std::size_t>(depth_)].named;
  const auto [at, added] = map.insert_or_assign(ref.name, value);
  (void)at;
  if (added) ++namedCount_;
  return true;
}

void Parameters::EndLine() {
  for (const Pending& p : pending_) Store(p.ref, p.value);
  pending_.clear();
}

void Parameters::DropLine() {
  pending_.clear();
}

bool Parameters::Call(std::span<const double> arguments, EvalError& error) {
  if (depth_ >= maxCallDepth) {
    error = {"subroutine calls nested deeper than " + std::to_string(maxCallDepth), "call-depth"};
    return false;
  }
  if (arguments.size() > static_cast<std::size_t>(localParameters)) {
    error = {"a call passes at most " + std::to_string(localParameters) + " arguments",
             "expression"};
    return false;
  }
  ++depth_;
  Frame& frame = frames_[static_cast<std::size_t>(depth_)];
  frame.locals.fill(0.0);
  for (std::size_t i = 0; i < arguments.size(); ++i) frame.locals[i] = arguments[i];
  namedCount_ -= frame.named.size();  // a frame left by an earlier call is empty; kept safe
  frame.named.clear();
  return true;
}

void Parameters::Return() {
  if (depth_ == 0) return;
  Frame& frame = frames_[static_cast<std::size_t>(depth_)];
  namedCount_ -= frame.named.size();
  frame.named.clear();
  --depth_;
}

void Parameters::SetGlobalNow(std::string_view name, double value) {
  const auto [at, added] = namedGlobals_.insert_or_assign(Normalise(name), value);
  (void)at;
  if (added) ++namedCount_;
}

}  // namespace gcode
