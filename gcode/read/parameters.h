// Parameters of a running program as LinuxCNC keeps them: numbered #1-#5601 (#1-#30 local to a
// subroutine call, #31-#5000 the program's, #5001 up the interpreter's, read-only), named locals
// #<name> and globals #<_name>, and the values set on a line, which take effect after it.
// Memory is fixed (numbered) or bounded by maxNamedParameters. Calls nothing below it.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace gcode {

inline constexpr int lastParameter = 5601;         // #5602 and up are an error
inline constexpr int localParameters = 30;         // #1-#30: a call's arguments
inline constexpr int firstSystemParameter = 5001;  // from here: the interpreter's, read-only
inline constexpr int maxCallDepth = 10;            // subroutine calls nested at most this deep
// Named parameters alive at once (every frame's and the globals): one more is an error, so a
// program that makes up names in a loop cannot grow memory without end.
inline constexpr std::size_t maxNamedParameters = 10000;

// Why reading, setting or evaluating failed: the message (without the line) and a stable code
// (Message::code): "parameter-range", "parameter-unset", "parameter-read-only",
// "parameter-limit", "call-depth", "expression", "division-by-zero", "domain".
struct EvalError {
  std::string message;
  std::string code;
};

// What the interpreter answers for its own parameters: the numbered ones from #5001 and the
// predefined named ones (#<_x>, #<_metric>, ...). Names come lower case without spaces.
class SystemParameters {
 public:
  virtual ~SystemParameters() = default;
  // #5001-#5601; those this machine does not keep read 0.
  virtual double Numbered(int number) const = 0;
  // A predefined read-only name ("_x"), or nothing when the name is not one.
  virtual std::optional<double> Named(std::string_view name) const = 0;
};

// A parameter as a line names it: a number, or a name (lower case, spaces taken out).
struct ParameterRef {
  int number = 0;    // 0: named
  std::string name;  // "depth" (local), "_depth" (global)
};

class Parameters {
 public:
  explicit Parameters(const SystemParameters* system = nullptr);
  void SetSystem(const SystemParameters* system) { system_ = system; }

  // Values as they stand before the current line's settings. An unset numbered parameter reads
  // 0; an unset named one is an error.
  bool Read(const ParameterRef& ref, double& value, EvalError& error) const;
  bool Read(int number, double& value, EvalError& error) const;
  // EXISTS[#<name>]: whether the name is set (or a predefined one).
  bool Exists(std::string_view name) const;

  // A setting made on the current line: checked now (range, read-only, the name limit) and kept
  // until EndLine applies it.
  bool Assign(const ParameterRef& ref, double value, EvalError& error);
  // The line ran: its settings take effect, in the order written.
  void EndLine();
  // The line was refused: its settings are dropped.
  void DropLine();
  bool HasPending() const { return !pending_.empty(); }

  // A subroutine call: a new frame whose #1-#30 are `arguments` then 0, with no named locals.
  // False past maxCallDepth.
  bool Call(std::span<const double> arguments, EvalError& error);
  // Back from a call: the caller's locals again.
  void Return();
  int Depth() const { return depth_; }  // 0: the main program

  // A global set by the interpreter itself, at once (#<_value> after a return with a value).
  void SetGlobalNow(std::string_view name, double value);

  // Lower case with spaces and tabs taken out: how a name is kept and compared.
  static std::string Normalise(std::string_view name);

 private:
  struct Frame {
    std::array<double, localParameters> locals{};
    std::unordered_map<std::string, double> named;
  };
  struct Pending {
    ParameterRef ref;
    double value = 0.0;
  };
  const double* FindNamed(std::string_view name) const;
  bool Store(const ParameterRef& ref, double value);

  const SystemParameters* system_;
  std::vector<double> globals_;                 // #31-#5000 (index 0 is #31)
  std::array<Frame, maxCallDepth + 1> frames_;  // frame 0: the main program's
  int depth_ = 0;
  std::unordered_map<std::string, double> namedGlobals_;
  std::size_t namedCount_ = 0;  // names in every frame and the globals
  std::vector<Pending> pending_;
};

}  // namespace gcode
