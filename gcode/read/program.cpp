// G-code reader: lexes each line into words (comments, line numbers, lowercase, no spaces
// needed), checks every word against the accepted subset and the modal groups, and names each
// refusal with its line. Pure text processing; calls nothing below it.
#include "read/program.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>

#include "read/expression.h"

namespace gcode {
namespace {

// Why a G code the table does not hold is refused.
std::string GRefusal(int tenths) {
  std::string refusal;
  const std::string name = CodeName('G', tenths);
  if (tenths >= 591 && tenths <= 593) {
    refusal = name + " (work offsets 7-9) is not supported: G54-G59 only";
  } else if (tenths >= 50 && tenths <= 59) {
    refusal = name + " (splines) is not supported";
  } else if ((tenths >= 330 && tenths <= 339) || tenths == 760) {
    refusal = name + " (spindle-synchronised motion) is not supported";
  } else if (tenths >= 380 && tenths <= 389) {
    refusal = name + " (probing) is not supported";
  } else if (tenths >= 410 && tenths <= 429) {
    refusal = name + " (cutter compensation) is not supported";
  } else if (tenths >= 430 && tenths <= 439) {
    refusal = name + " is not supported: G43 H, G43.1 Z and G49 only";
  } else if (tenths >= 730 && tenths <= 899) {
    refusal = name + " (a canned cycle) is not supported";
  } else if (tenths == 930 || tenths == 950) {
    refusal = name + " (inverse-time or per-revolution feed) is not supported";
  } else if (tenths == 922 || tenths == 923) {
    refusal = name + " (G92 offsets kept aside) is not supported: G92 and G92.1 only";
  } else {
    refusal = name + " is not supported";
  }
  return refusal;
}

// Why an M code the table does not hold is refused.
std::string MRefusal(int tenths) {
  std::string refusal;
  const std::string name = CodeName('M', tenths);
  if (tenths == 980 || tenths == 990) {
    refusal = name + " (subroutines) is not supported";
  } else {
    refusal = name + " is not supported";
  }
  return refusal;
}

std::string CharName(char c) {
  const auto byte = static_cast<unsigned char>(c);
  if (std::isprint(byte)) return std::string("'") + c + "'";
  char hex[8];
  std::snprintf(hex, sizeof hex, "0x%02X", byte);
  return hex;
}

// A CR that does not end a line is white space (line ends are LF, CR LF and CR CR LF).
bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r';
}

class LineLexer {
 public:
  // `parameters`: the interpreter's, for a line with parameters or expressions; nullptr else.
  LineLexer(std::string_view text, int line, Parameters* parameters)
      : text_(text), parameters_(parameters) {
    block_.line = line;
  }

  // Fills the block; false with `error` set on the line's first refusal.
  bool Lex(std::string& error) {
    SkipSpace();
    if (pos_ < text_.size() && text_[pos_] == '/') {
      block_.blockDelete = true;
      ++pos_;
    }
    while (true) {
      SkipSpace();
      if (pos_ >= text_.size()) break;
      const char c = text_[pos_];
      if (c == '(') {
        const std::size_t close = text_.find(')', pos_);
        if (close == std::string_view::npos) return Fail(error, "a comment '(' is not closed");
        const std::size_t nested = text_.find('(', pos_ + 1);
        if (nested < close) return Fail(error, "nested comments are not supported");
        pos_ = close + 1;
        continue;
      }
      if (c == ';') break;
      if (c == '#' && parameters_) {
        if (!Assignment(error)) return false;
        continue;
      }
      if (c == '[' && parameters_) return Fail(error, "an expression [...] needs a word before it");
      if (c == '[') return Fail(error, "expressions [...] are not supported", "unsupported-syntax");
      if (c == '#') return Fail(error, "parameters (#) are not supported", "unsupported-syntax");
      if (c == ')') return Fail(error, "')' without '('");
      if (c == '%') return Fail(error, "'%' is allowed only on a line of its own");
      if (std::isdigit(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.') {
        return Fail(error, "a number with no word before it");
      }
      if (!std::isalpha(static_cast<unsigned char>(c)) && c != '@' && c != '^') {
        return Fail(error, "unexpected character " + CharName(c));
      }
      const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      ++pos_;
      if (letter == 'O') {
        return Fail(error,
                    "O-words are accepted only as the program number on a line of its own "
                    "(O1001): subroutines, calls and control flow are not supported",
                    "unsupported-syntax");
      }
      double value = 0.0;
      std::string numberError;
      if (parameters_) {
        if (!Evaluated(letter, value, error)) return false;
      } else if (!Number(value, numberError)) {
        if (pos_ < text_.size() && text_[pos_] == '[')
          return Fail(error, "expressions [...] are not supported", "unsupported-syntax");
        if (pos_ < text_.size() && text_[pos_] == '#')
          return Fail(error, "parameters (#) are not supported", "unsupported-syntax");
        return Fail(error, numberError.empty()
                               ? std::string("the word '") + letter + "' has no number"
                               : std::string("word '") + letter + "': " + numberError);
      }
      if (!Word(letter, value, error)) return false;
    }
    return true;
  }

  Block& CurrentBlock() { return block_; }

 private:
  bool Fail(std::string& error, std::string message, std::string code = "syntax") {
    error = std::move(message);
    block_.errorCode = std::move(code);
    return false;
  }

  void SkipSpace() {
    while (pos_ < text_.size() && IsSpace(text_[pos_])) ++pos_;
  }

  // "#n = value", "#<name> = value": checked now, in effect after the line (Parameters).
  bool Assignment(std::string& error) {
    ParameterRef ref;
    EvalError failed;
    if (!ReadParameterRef(text_, pos_, *parameters_, ref, failed))
      return Fail(error, failed.message, failed.code);
    SkipSpace();
    if (pos_ >= text_.size() || text_[pos_] != '=') {
      return Fail(error, "a parameter on its own: '=' and a value were expected after it");
    }
    ++pos_;
    double value = 0.0;
    if (!ReadValue(text_, pos_, *parameters_, value, failed) ||
        !parameters_->Assign(ref, value, failed))
      return Fail(error, failed.message, failed.code);
    return true;
  }

  // A word's value read with the parameters: a number, a parameter, an expression, a function.
  bool Evaluated(char letter, double& value, std::string& error) {
    EvalError failed;
    SkipSpace();
    if (pos_ >= text_.size())
      return Fail(error, std::string("the word '") + letter + "' has no number");
    if (!ReadValue(text_, pos_, *parameters_, value, failed))
      return Fail(error, std::string("word '") + letter + "': " + failed.message, failed.code);
    if (std::fabs(value) > maxNumber) {
      char text[80];
      std::snprintf(text, sizeof text, "word '%c': the value %g is too large", letter, value);
      return Fail(error, text, "word-value");
    }
    return true;
  }

  // [+-]digits[.digits], spaces allowed after the letter and the sign.
  bool Number(double& value, std::string& error) {
    SkipSpace();
    bool negative = false;
    if (pos_ < text_.size() && (text_[pos_] == '+' || text_[pos_] == '-')) {
      negative = text_[pos_] == '-';
      ++pos_;
      SkipSpace();
    }
    const std::size_t start = pos_;
    bool digits = false;
    bool point = false;
    while (pos_ < text_.size()) {
      const char c = text_[pos_];
      if (std::isdigit(static_cast<unsigned char>(c))) {
        digits = true;
      } else if (c == '.' && !point) {
        point = true;
      } else {
        break;
      }
      ++pos_;
    }
    if (!digits) return false;
    const std::string_view number = text_.substr(start, pos_ - start);
    // Beyond this many digits a number is refused rather than rounded to 0 or called too large.
    if (number.size() - (point ? 1 : 0) > maxNumberDigits) {
      error = "the number " + std::string(number.substr(0, 20)) + "... has too many digits (" +
              std::to_string(number.size() - (point ? 1 : 0)) + "; at most " +
              std::to_string(maxNumberDigits) + ")";
      return false;
    }
    double parsed = 0.0;
    const auto result = std::from_chars(number.data(), number.data() + number.size(), parsed);
    if (result.ec != std::errc() || !std::isfinite(parsed) || parsed > maxNumber) {
      error = "the number " + std::string(number.substr(0, 20)) + " is too large";
      return false;
    }
    value = negative ? -parsed : parsed;
    return true;
  }

  bool Word(char letter, double value, std::string& error) {
    switch (letter) {
      case 'G':
      case 'M': {
        const double tenths = value * 10.0;
        const double rounded = std::round(tenths);
        if (value < 0 || value > 9999 || std::fabs(tenths - rounded) > 1e-6 ||
            (letter == 'M' && value != std::floor(value))) {
          char text[48];
          std::snprintf(text, sizeof text, "%c%g is not supported", letter, value);
          return Fail(error, text, "unsupported-code");
        }
        const int tenthsValue = static_cast<int>(rounded);
        const CodeInfo* info = FindCode(letter, tenthsValue);
        if (!info)
          return Fail(error, letter == 'G' ? GRefusal(tenthsValue) : MRefusal(tenthsValue),
                      "unsupported-code");
        auto& codes = letter == 'G' ? block_.gCodes : block_.mCodes;
        for (const int other : codes) {
          if (other == tenthsValue)
            return Fail(error, CodeName(letter, other) + " twice on one line", "modal-group");
        }
        if (std::optional<Code>* slot = Slot(block_.modal, info->group)) {
          // G80 beside another motion code is ignored there (LinuxCNC's reader does the same):
          // posts write "G80 G0 X.. Y.." as a safety line at every tool change.
          if (*slot && info->group == Group::motion &&
              (**slot == Code::G80 || info->code == Code::G80)) {
            if (info->code != Code::G80) *slot = info->code;
          } else if (*slot) {
            const CodeInfo& otherInfo = Info(**slot);
            return Fail(error,
                        CodeName(letter, otherInfo.tenths) + " and " +
                            CodeName(letter, tenthsValue) + " are in one modal group (" +
                            GroupName(info->group) + "): only one of them may be on a line",
                        "modal-group");
          } else {
            *slot = info->code;
          }
        } else {
          block_.modal.coolant |= static_cast<std::uint8_t>(1u << (tenthsValue / 10 - 7));
        }
        codes.push_back(tenthsValue);
        return true;
      }
      case 'N':
        return true;  // line numbers carry no meaning here
      case 'T':
        if (value < 0 || value != std::floor(value))
          return Fail(error, "T needs a whole tool number", "word-value");
        if (block_.t) return Fail(error, "two T words on one line", "word-twice");
        block_.t = static_cast<int>(value);
        return true;
      case 'L':
        if (value < 0 || value != std::floor(value) || value > 1e6)
          return Fail(error, "L needs a whole number of repeats (at most 1000000)", "word-value");
        if (block_.l) return Fail(error, "two L words on one line", "word-twice");
        block_.l = static_cast<int>(value);
        return true;
      default:
        break;
    }
    std::optional<double>* slot = nullptr;
    switch (letter) {
      case 'X':
        slot = &block_.x;
        break;
      case 'Y':
        slot = &block_.y;
        break;
      case 'Z':
        slot = &block_.z;
        break;
      case 'I':
        slot = &block_.i;
        break;
      case 'J':
        slot = &block_.j;
        break;
      case 'K':
        slot = &block_.k;
        break;
      case 'R':
        slot = &block_.r;
        break;
      case 'P':
        slot = &block_.p;
        break;
      case 'H':
        slot = &block_.h;
        break;
      case 'Q':
        slot = &block_.q;
        break;
      case 'F':
        slot = &block_.f;
        break;
      case 'S':
        slot = &block_.s;
        break;
      case '@':
        slot = &block_.polarRadius;
        break;
      case '^':
        slot = &block_.polarAngleDeg;
        break;
      default:
        return Fail(error, std::string("the word '") + letter + "' is not supported",
                    "unsupported-word");
    }
    if (*slot)
      return Fail(error, std::string("two '") + letter + "' words on one line", "word-twice");
    *slot = value;
    return true;
  }

  std::string_view text_;
  Parameters* parameters_;
  std::size_t pos_ = 0;
  Block block_;
};

bool IsBlank(std::string_view line) {
  for (const char c : line) {
    if (!IsSpace(c)) return false;
  }
  return true;
}

std::string_view Trim(std::string_view line) {
  while (!line.empty() && IsSpace(line.front())) line.remove_prefix(1);
  while (!line.empty() && IsSpace(line.back())) line.remove_suffix(1);
  return line;
}

// A line beginning with O: a program number ("O1001", "O1001 (pocket)") names the program;
// anything else after the number (sub, call, if, while, ...) is refused.
LineKind ProgramNumber(std::string_view line, Block& block, std::string& error) {
  std::size_t at = 1;
  const auto refuse = [&](std::string message) {
    error = std::move(message);
    return LineKind::error;
  };
  if (at < line.size() && line[at] == '<') {
    return refuse(
        "O-words for subroutines, calls and control flow (o<name> ...) are not supported");
  }
  while (at < line.size() && std::isdigit(static_cast<unsigned char>(line[at]))) ++at;
  if (at == 1) return refuse("an O-word needs a program number (O1001)");
  if (at - 1 > maxNumberDigits) return refuse("the program number has too many digits");
  std::string name = "O" + std::string(line.substr(1, at - 1));
  std::string comment;
  while (at < line.size()) {
    const char c = line[at];
    if (IsSpace(c)) {
      ++at;
    } else if (c == '(') {
      const std::size_t close = line.find(')', at);
      if (close == std::string_view::npos) return refuse("a comment '(' is not closed");
      if (comment.empty()) comment = std::string(Trim(line.substr(at + 1, close - at - 1)));
      at = close + 1;
    } else if (c == ';') {
      break;
    } else {
      std::size_t end = at;
      while (end < line.size() && std::isalpha(static_cast<unsigned char>(line[end]))) ++end;
      const std::string word(line.substr(at, std::max<std::size_t>(end - at, 1)));
      std::string message = name;
      message += ' ';
      message += word;
      message +=
          ": O-words for subroutines, calls and control flow are not supported (only a program "
          "number on a line of its own)";
      return refuse(message);
    }
  }
  if (!comment.empty()) name += " (" + comment + ")";
  block.programName = std::move(name);
  return LineKind::block;
}

// The axes a refused line names outside its comments (bit 0 X, 1 Y, 2 Z; a polar word names X and
// Y): where the line would have left them is not known.
std::uint8_t AxesNamed(std::string_view line) {
  std::uint8_t axes = 0;
  AnyOutsideComments(line, [&axes](char c) {
    const char upper = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (upper == 'X') axes |= 1;
    if (upper == 'Y') axes |= 2;
    if (upper == 'Z') axes |= 4;
    if (upper == '@' || upper == '^') axes |= 3;
    return false;
  });
  return axes;
}

}  // namespace

std::string CodeName(char letter, int tenths) {
  std::string name(1, letter);
  name += std::to_string(tenths / 10);
  if (tenths % 10 != 0) name += "." + std::to_string(tenths % 10);
  return name;
}

LineKind ReadLine(std::string_view current, int line, Block& block, std::string& error) {
  return ReadLine(current, line, block, error, nullptr);
}

LineKind ReadLine(std::string_view current, int line, Block& block, std::string& error,
                  Parameters* parameters) {
  if (current.size() > maxLineBytes) {
    error = "the line is longer than " + std::to_string(maxLineBytes) + " bytes";
    block = Block{};
    block.line = line;
    block.errorCode = "line-too-long";
    block.refusedAxes = 7;  // not read: any axis may have moved
    return LineKind::error;
  }
  if (IsBlank(current) || Trim(current) == "%") return LineKind::empty;
  if (const std::string_view trimmed = Trim(current);
      trimmed.front() == 'O' || trimmed.front() == 'o') {
    Block numbered;
    numbered.line = line;
    const LineKind kind = ProgramNumber(trimmed, numbered, error);
    if (kind == LineKind::error) numbered.errorCode = "unsupported-syntax";
    block = std::move(numbered);
    return kind;
  }
  if (!parameters && NeedsParameters(current)) {
    // Read when it runs, with the parameters as the lines before it leave them.
    block = Block{};
    block.line = line;
    block.unevaluated.assign(current);
    return LineKind::block;
  }
  LineLexer lexer(current, line, parameters);
  if (!lexer.Lex(error)) {
    block = Block{};
    block.line = line;
    block.errorCode = lexer.CurrentBlock().errorCode;
    block.refusedAxes = AxesNamed(current);
    return LineKind::error;
  }
  Block& read = lexer.CurrentBlock();
  if (read.gCodes.empty() && read.mCodes.empty() && !read.HasAxisWord() && !read.i && !read.j &&
      !read.k && !read.r && !read.p && !read.q && !read.l && !read.f && !read.s && !read.t &&
      !read.h && !read.HasPolar()) {
    return LineKind::empty;  // comments and line numbers only
  }
  block = std::move(read);
  return LineKind::block;
}

Program ParseProgram(std::string_view text) {
  Program program;
  int line = 0;
  while (!text.empty()) {
    const std::size_t newline = text.find('\n');
    const std::string_view current = text.substr(0, newline);
    text = newline == std::string_view::npos ? std::string_view{} : text.substr(newline + 1);
    ++line;
    Block block;
    std::string error;
    const LineKind kind = ReadLine(current, line, block, error);
    if (kind == LineKind::error) {
      program.errors.push_back({line, error, block.errorCode});
      program.errorAxes.push_back(block.refusedAxes);
    }
    if (kind == LineKind::block) program.blocks.push_back(std::move(block));
  }
  program.lineCount = line;
  return program;
}

}  // namespace gcode
