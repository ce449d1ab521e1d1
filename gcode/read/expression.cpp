// The expression reader: recursive descent over LinuxCNC's binary precedence levels (** highest;
// * / MOD; + -; EQ NE GT GE LT LE; AND OR XOR lowest), left to right within a level, with its
// unary functions. Nesting is bounded so a hostile line cannot exhaust the stack. Calls the
// parameter store only.
#include "read/expression.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <numbers>
#include <string>

#include "read/program.h"

namespace gcode {
namespace {

// Brackets, signs and functions nested deeper than this are refused (a line holds 64 KiB).
constexpr int maxNesting = 64;
// EQ and NE compare within this (LinuxCNC's tolerance: 1 EQ 1.00005 holds, 1 EQ 1.0002 not).
constexpr double equalTolerance = 1e-4;

constexpr double degreesPerRadian = 180.0 / std::numbers::pi;

enum class Op {
  none,
  power,
  times,
  divide,
  mod,
  plus,
  minus,
  eq,
  ne,
  gt,
  ge,
  lt,
  le,
  andOp,
  orOp,
  xorOp
};

int Level(Op op) {
  switch (op) {
    case Op::power:
      return 4;
    case Op::times:
    case Op::divide:
    case Op::mod:
      return 3;
    case Op::plus:
    case Op::minus:
      return 2;
    case Op::eq:
    case Op::ne:
    case Op::gt:
    case Op::ge:
    case Op::lt:
    case Op::le:
      return 1;
    case Op::andOp:
    case Op::orOp:
    case Op::xorOp:
      return 0;
    case Op::none:
      break;
  }
  return -1;
}

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r';
}

class Reader {
 public:
  Reader(std::string_view text, std::size_t& pos, const Parameters& parameters, EvalError& error)
      : text_(text), pos_(pos), parameters_(parameters), error_(error) {}

  bool Value(double& value) {
    if (!Enter()) return false;
    const bool ok = ValueInside(value);
    --depth_;
    return ok;
  }

  bool Expression(double& value) {
    if (!Enter()) return false;
    const bool ok = ExpressionInside(value);
    --depth_;
    return ok;
  }

  bool Ref(ParameterRef& ref) {
    SkipSpace();
    if (Peek() != '#') return Fail("a parameter (#) was expected");
    ++pos_;
    SkipSpace();
    if (Peek() == '<') {
      const std::size_t close = text_.find('>', pos_);
      if (close == std::string_view::npos)
        return Fail("a parameter name '#<' is not closed by '>'");
      ref.number = 0;
      ref.name = Parameters::Normalise(text_.substr(pos_ + 1, close - pos_ - 1));
      pos_ = close + 1;
      if (ref.name.empty()) return Fail("a named parameter #<> needs a name");
      return true;
    }
    // #12, ##1 (the parameter whose number #1 holds), #[1+2]: the number is a value itself.
    double number = 0.0;
    if (!Value(number)) return false;
    const double rounded = std::round(number);
    if (std::fabs(number - rounded) > 1e-4) {
      return Fail("a parameter number must be whole (#" + Shown(number) + ")", "parameter-range");
    }
    if (rounded < 1 || rounded > lastParameter) {
      return Fail("parameter #" + Shown(rounded) + " is out of range (#1-#" +
                      std::to_string(lastParameter) + ")",
                  "parameter-range");
    }
    ref.number = static_cast<int>(rounded);
    ref.name.clear();
    return true;
  }

 private:
  static std::string Shown(double value) {
    char text[40];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
  }

  bool Enter() {
    if (++depth_ > maxNesting) {
      --depth_;
      return Fail("an expression is nested more than " + std::to_string(maxNesting) + " deep");
    }
    return true;
  }

  char Peek() const { return pos_ < text_.size() ? text_[pos_] : '\0'; }
  void SkipSpace() {
    while (pos_ < text_.size() && IsSpace(text_[pos_])) ++pos_;
  }
  bool Fail(std::string message, const char* code = "expression") {
    error_ = {std::move(message), code};
    return false;
  }
  // A result that is not a finite number (EXP[1000], 0**-1) is refused, as LinuxCNC does.
  bool Finite(double value, const char* what) {
    if (std::isfinite(value)) return true;
    return Fail(std::string(what) + " does not give a finite number", "domain");
  }

  bool ValueInside(double& value) {
    SkipSpace();
    const char c = Peek();
    if (c == '[') return ExpressionInside(value);
    if (c == '#') {
      ParameterRef ref;
      return Ref(ref) && parameters_.Read(ref, value, error_);
    }
    if (c == '-' || c == '+') {
      ++pos_;
      if (!Value(value)) return false;
      if (c == '-') value = -value;
      return true;
    }
    if (std::isalpha(static_cast<unsigned char>(c))) return Function(value);
    return Number(value);
  }

  bool Number(double& value) {
    const std::size_t start = pos_;
    bool point = false;
    while (pos_ < text_.size()) {
      const char c = text_[pos_];
      if (c == '.' && !point) {
        point = true;
      } else if (!std::isdigit(static_cast<unsigned char>(c))) {
        break;
      }
      ++pos_;
    }
    const std::string_view number = text_.substr(start, pos_ - start);
    if (number.empty() || number == ".") {
      pos_ = start;
      if (pos_ >= text_.size()) return Fail("a value is missing at the end of the line");
      return Fail(std::string("a value was expected at '") + text_[pos_] + "'");
    }
    if (number.size() - (point ? 1 : 0) > maxNumberDigits) {
      return Fail("the number " + std::string(number.substr(0, 20)) + "... has too many digits");
    }
    const auto result = std::from_chars(number.data(), number.data() + number.size(), value);
    if (result.ec != std::errc() || !std::isfinite(value)) {
      return Fail("the number " + std::string(number.substr(0, 20)) + " is too large");
    }
    return true;
  }

  bool ExpressionInside(double& value) {
    SkipSpace();
    if (Peek() != '[') return Fail("'[' was expected");
    ++pos_;
    if (!Binary(0, value)) return false;
    SkipSpace();
    if (Peek() != ']') {
      if (pos_ >= text_.size()) return Fail("an expression '[' is not closed by ']'");
      return Fail(std::string("an operator or ']' was expected at '") + text_[pos_] + "'");
    }
    ++pos_;
    return true;
  }

  // Operands joined by operators of `level` and above.
  bool Binary(int level, double& value) {
    if (!(level == 4 ? Value(value) : Binary(level + 1, value))) return false;
    while (true) {
      const std::size_t before = pos_;
      const Op op = ReadOp();
      if (op == Op::none || Level(op) != level) {
        pos_ = before;
        return error_.message.empty();
      }
      double right = 0.0;
      if (!(level == 4 ? Value(right) : Binary(level + 1, right))) return false;
      if (!Apply(op, value, right)) return false;
    }
  }

  Op ReadOp() {
    SkipSpace();
    const char c = Peek();
    if (c == '*') {
      ++pos_;
      if (Peek() == '*') {
        ++pos_;
        return Op::power;
      }
      return Op::times;
    }
    if (c == '/') return ++pos_, Op::divide;
    if (c == '+') return ++pos_, Op::plus;
    if (c == '-') return ++pos_, Op::minus;
    std::string word;
    std::size_t at = pos_;
    while (at < text_.size() && std::isalpha(static_cast<unsigned char>(text_[at])) &&
           word.size() < 4)
      word.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(text_[at++]))));
    static constexpr struct {
      const char* name;
      Op op;
    } names[] = {{"MOD", Op::mod}, {"EQ", Op::eq},    {"NE", Op::ne}, {"GT", Op::gt},
                 {"GE", Op::ge},   {"LT", Op::lt},    {"LE", Op::le}, {"AND", Op::andOp},
                 {"OR", Op::orOp}, {"XOR", Op::xorOp}};
    for (const auto& n : names) {
      if (word == n.name) {
        pos_ = at;
        return n.op;
      }
    }
    if (c != ']' && c != '\0') {
      Fail(word.empty() ? std::string("an operator or ']' was expected at '") + c + "'"
                        : "unknown operator " + word);
    }
    return Op::none;
  }

  bool Apply(Op op, double& left, double right) {
    switch (op) {
      case Op::power:
        if (left < 0 && right != std::floor(right))
          return Fail("a negative number raised to a fractional power", "domain");
        left = std::pow(left, right);
        return Finite(left, "the power");
      case Op::times:
        left *= right;
        return Finite(left, "the product");
      case Op::divide:
        if (right == 0.0) return Fail("division by zero", "division-by-zero");
        left /= right;
        return Finite(left, "the quotient");
      case Op::mod: {
        if (right == 0.0) return Fail("MOD by zero", "division-by-zero");
        double rest = std::fmod(left, right);
        if (rest < 0) rest += std::fabs(right);  // LinuxCNC: -7 MOD 3 is 2
        left = rest;
        return true;
      }
      case Op::plus:
        left += right;
        return Finite(left, "the sum");
      case Op::minus:
        left -= right;
        return Finite(left, "the difference");
      case Op::eq:
        left = std::fabs(left - right) < equalTolerance ? 1.0 : 0.0;
        return true;
      case Op::ne:
        left = std::fabs(left - right) < equalTolerance ? 0.0 : 1.0;
        return true;
      case Op::gt:
        left = left > right ? 1.0 : 0.0;
        return true;
      case Op::ge:
        left = left >= right ? 1.0 : 0.0;
        return true;
      case Op::lt:
        left = left < right ? 1.0 : 0.0;
        return true;
      case Op::le:
        left = left <= right ? 1.0 : 0.0;
        return true;
      case Op::andOp:
        left = (left != 0.0 && right != 0.0) ? 1.0 : 0.0;
        return true;
      case Op::orOp:
        left = (left != 0.0 || right != 0.0) ? 1.0 : 0.0;
        return true;
      case Op::xorOp:
        left = ((left != 0.0) != (right != 0.0)) ? 1.0 : 0.0;
        return true;
      case Op::none:
        break;
    }
    return Fail("unknown operator");
  }

  bool Function(double& value) {
    std::string name;
    while (pos_ < text_.size() && std::isalpha(static_cast<unsigned char>(text_[pos_])) &&
           name.size() < 8)
      name.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(text_[pos_++]))));
    SkipSpace();
    if (name == "EXISTS") {
      if (Peek() != '[') return Fail("EXISTS needs [#<name>]");
      ++pos_;
      ParameterRef ref;
      if (!Ref(ref)) return false;
      SkipSpace();
      if (Peek() != ']') return Fail("EXISTS takes one parameter: ']' was expected");
      ++pos_;
      value = ref.number > 0 || parameters_.Exists(ref.name) ? 1.0 : 0.0;
      return true;
    }
    if (Peek() != '[') return Fail("the function " + name + " needs its argument in [ ]");
    double x = 0.0;
    if (!Expression(x)) return false;
    if (name == "ATAN") {
      // ATAN[y]/[x]: the angle of (x, y) in degrees, all four quadrants.
      SkipSpace();
      if (Peek() != '/') return Fail("ATAN needs two arguments: ATAN[y]/[x]");
      ++pos_;
      SkipSpace();
      double across = 0.0;
      if (Peek() != '[') return Fail("ATAN needs two arguments: ATAN[y]/[x]");
      if (!Expression(across)) return false;
      value = std::atan2(x, across) * degreesPerRadian;
      return true;
    }
    if (name == "ABS") {
      value = std::fabs(x);
    } else if (name == "ACOS" || name == "ASIN") {
      if (x < -1.0 || x > 1.0)
        return Fail("the argument of " + name + " is outside -1..1", "domain");
      value = (name == "ACOS" ? std::acos(x) : std::asin(x)) * degreesPerRadian;
    } else if (name == "COS") {
      value = std::cos(x / degreesPerRadian);
    } else if (name == "SIN") {
      value = std::sin(x / degreesPerRadian);
    } else if (name == "TAN") {
      value = std::tan(x / degreesPerRadian);
    } else if (name == "EXP") {
      value = std::exp(x);
    } else if (name == "LN") {
      if (x <= 0.0) return Fail("LN of zero or a negative number", "domain");
      value = std::log(x);
    } else if (name == "SQRT") {
      if (x < 0.0) return Fail("SQRT of a negative number", "domain");
      value = std::sqrt(x);
    } else if (name == "FIX") {
      value = std::floor(x);
    } else if (name == "FUP") {
      value = std::ceil(x);
    } else if (name == "ROUND") {
      value = std::round(x);  // halves away from zero: ROUND[-2.5] is -3
    } else {
      return Fail("unknown function " + name);
    }
    return Finite(value, name.c_str());
  }

  std::string_view text_;
  std::size_t& pos_;
  const Parameters& parameters_;
  EvalError& error_;
  int depth_ = 0;
};

}  // namespace

bool ReadValue(std::string_view text, std::size_t& pos, const Parameters& parameters, double& value,
               EvalError& error) {
  error = {};
  return Reader(text, pos, parameters, error).Value(value);
}

bool ReadExpression(std::string_view text, std::size_t& pos, const Parameters& parameters,
                    double& value, EvalError& error) {
  error = {};
  return Reader(text, pos, parameters, error).Expression(value);
}

bool ReadParameterRef(std::string_view text, std::size_t& pos, const Parameters& parameters,
                      ParameterRef& ref, EvalError& error) {
  error = {};
  return Reader(text, pos, parameters, error).Ref(ref);
}

bool NeedsParameters(std::string_view line) {
  return AnyOutsideComments(line, [](char c) { return c == '#' || c == '['; });
}

}  // namespace gcode
