// G-code reader: lexes each line into words (comments, line numbers, lowercase, no spaces
// needed), checks every word against the accepted subset and the modal groups, and names each
// refusal with its line. Pure text processing; calls nothing below it.
#include "program.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace gcode {
namespace {

enum class Group {
  none,
  nonModal,  // G4, G28, G92, G92.1
  motion,
  plane,
  distance,
  arcDistance,
  feedMode,
  units,
  cutterComp,
  toolLength,
  coordSystem,
  pathControl,
  stopping,  // M0 M1 M2 M30
  toolChange,
  spindle,
};

const char* GroupName(Group group) {
  switch (group) {
    case Group::nonModal:
      return "non-modal (G4, G28, G92)";
    case Group::motion:
      return "motion";
    case Group::plane:
      return "plane selection";
    case Group::distance:
      return "distance mode";
    case Group::arcDistance:
      return "arc centre mode";
    case Group::feedMode:
      return "feed rate mode";
    case Group::units:
      return "units";
    case Group::cutterComp:
      return "cutter compensation";
    case Group::toolLength:
      return "tool length offset";
    case Group::coordSystem:
      return "coordinate system";
    case Group::pathControl:
      return "path control";
    case Group::stopping:
      return "stopping";
    case Group::toolChange:
      return "tool change";
    case Group::spindle:
      return "spindle (auxiliary output)";
    case Group::none:
      break;
  }
  return "";
}

// The group of an accepted G code, or an empty string in `refusal` naming why it is refused.
Group GGroup(int tenths, std::string& refusal) {
  switch (tenths) {
    case 0:
    case 10:
    case 20:
    case 30:
    case 800:
      return Group::motion;
    case 40:
    case 280:
    case 920:
    case 921:
      return Group::nonModal;
    case 170:
    case 180:
    case 190:
      return Group::plane;
    case 200:
    case 210:
      return Group::units;
    case 400:
      return Group::cutterComp;
    case 490:
      return Group::toolLength;
    case 540:
    case 550:
    case 560:
    case 570:
    case 580:
    case 590:
      return Group::coordSystem;
    case 610:
    case 640:
      return Group::pathControl;
    case 900:
    case 910:
      return Group::distance;
    case 901:
    case 911:
      return Group::arcDistance;
    case 940:
      return Group::feedMode;
    default:
      break;
  }
  const std::string name = CodeName('G', tenths);
  if (tenths == 100) {
    refusal = "G10 (setting offsets and tool tables) is not supported: every work offset is zero";
  } else if (tenths == 530) {
    refusal = "G53 (a move in machine coordinates) is not supported";
  } else if (tenths >= 50 && tenths <= 59) {
    refusal = name + " (splines) is not supported";
  } else if (tenths >= 330 && tenths <= 339) {
    refusal = name + " (spindle-synchronised motion) is not supported";
  } else if (tenths >= 380 && tenths <= 389) {
    refusal = name + " (probing) is not supported";
  } else if (tenths >= 410 && tenths <= 439) {
    refusal = name + " (cutter compensation and tool length offsets) is not supported";
  } else if (tenths >= 730 && tenths <= 899) {
    refusal = name + " (a canned cycle) is not supported";
  } else if (tenths == 930 || tenths == 950) {
    refusal = name + " (inverse-time or per-revolution feed) is not supported";
  } else if (tenths == 281 || tenths == 300 || tenths == 301) {
    refusal = name + " (stored home positions) is not supported";
  } else {
    refusal = name + " is not supported";
  }
  return Group::none;
}

Group MGroup(int tenths, std::string& refusal) {
  switch (tenths) {
    case 0:
    case 10:
    case 20:
    case 300:
      return Group::stopping;
    case 60:
      return Group::toolChange;
    case 30:
    case 40:
    case 50:
      return Group::spindle;
    case 70:
    case 80:
    case 90:
      return Group::none;  // coolant: ignored, may share a line
    default:
      break;
  }
  const std::string name = CodeName('M', tenths);
  if (tenths == 980 || tenths == 990) {
    refusal = name + " (subroutines) is not supported";
  } else {
    refusal = name + " is not supported";
  }
  return Group::none;
}

std::string CharName(char c) {
  const auto byte = static_cast<unsigned char>(c);
  if (std::isprint(byte)) return std::string("'") + c + "'";
  char hex[8];
  std::snprintf(hex, sizeof hex, "0x%02X", byte);
  return hex;
}

class LineLexer {
 public:
  LineLexer(std::string_view text, int line) : text_(text) { block_.line = line; }

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
      if (c == '[') return Fail(error, "expressions [...] are not supported");
      if (c == '#') return Fail(error, "parameters (#) are not supported");
      if (c == ')') return Fail(error, "')' without '('");
      if (c == '%') return Fail(error, "'%' is allowed only on a line of its own");
      if (std::isdigit(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.') {
        return Fail(error, "a number with no word before it");
      }
      if (!std::isalpha(static_cast<unsigned char>(c))) {
        return Fail(error, "unexpected character " + CharName(c));
      }
      const char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      ++pos_;
      if (letter == 'O') return Fail(error, "O-words and subroutines are not supported");
      double value = 0.0;
      std::string numberError;
      if (!Number(value, numberError)) {
        if (pos_ < text_.size() && text_[pos_] == '[')
          return Fail(error, "expressions [...] are not supported");
        if (pos_ < text_.size() && text_[pos_] == '#')
          return Fail(error, "parameters (#) are not supported");
        return Fail(error, numberError.empty()
                               ? std::string("the word '") + letter + "' has no number"
                               : std::string("word '") + letter + "': " + numberError);
      }
      if (!Word(letter, value, error)) return false;
    }
    return true;
  }

  Block& block() { return block_; }

 private:
  bool Fail(std::string& error, std::string message) {
    error = std::move(message);
    return false;
  }

  void SkipSpace() {
    while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t')) ++pos_;
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
          return Fail(error, text);
        }
        const int code = static_cast<int>(rounded);
        std::string refusal;
        const Group group = letter == 'G' ? GGroup(code, refusal) : MGroup(code, refusal);
        if (!refusal.empty()) return Fail(error, refusal);
        auto& codes = letter == 'G' ? block_.gCodes : block_.mCodes;
        for (const int other : codes) {
          std::string ignored;
          const Group otherGroup = letter == 'G' ? GGroup(other, ignored) : MGroup(other, ignored);
          if (other == code) return Fail(error, CodeName(letter, code) + " twice on one line");
          if (group != Group::none && otherGroup == group) {
            return Fail(error, CodeName(letter, other) + " and " + CodeName(letter, code) +
                                   " are in one modal group (" + GroupName(group) +
                                   "): only one of them may be on a line");
          }
        }
        codes.push_back(code);
        return true;
      }
      case 'N':
        return true;  // line numbers carry no meaning here
      case 'T':
        if (value < 0 || value != std::floor(value))
          return Fail(error, "T needs a whole tool number");
        if (block_.t) return Fail(error, "two T words on one line");
        block_.t = static_cast<int>(value);
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
      case 'F':
        slot = &block_.f;
        break;
      case 'S':
        slot = &block_.s;
        break;
      default:
        return Fail(error, std::string("the word '") + letter + "' is not supported");
    }
    if (*slot) return Fail(error, std::string("two '") + letter + "' words on one line");
    *slot = value;
    return true;
  }

  std::string_view text_;
  std::size_t pos_ = 0;
  Block block_;
};

bool IsBlank(std::string_view line) {
  for (const char c : line) {
    if (c != ' ' && c != '\t') return false;
  }
  return true;
}

std::string_view Trim(std::string_view line) {
  while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
  while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
  return line;
}

}  // namespace

std::string CodeName(char letter, int tenths) {
  std::string name(1, letter);
  name += std::to_string(tenths / 10);
  if (tenths % 10 != 0) name += "." + std::to_string(tenths % 10);
  return name;
}

Program ParseProgram(std::string_view text) {
  Program program;
  int line = 0;
  while (!text.empty()) {
    const std::size_t newline = text.find('\n');
    std::string_view current = text.substr(0, newline);
    text = newline == std::string_view::npos ? std::string_view{} : text.substr(newline + 1);
    ++line;
    if (!current.empty() && current.back() == '\r') current.remove_suffix(1);
    if (IsBlank(current) || Trim(current) == "%") continue;
    LineLexer lexer(current, line);
    std::string error;
    if (!lexer.Lex(error)) {
      program.errors.push_back({line, error});
      continue;
    }
    Block& block = lexer.block();
    if (block.gCodes.empty() && block.mCodes.empty() && !block.HasAxisWord() && !block.i &&
        !block.j && !block.k && !block.r && !block.p && !block.f && !block.s && !block.t) {
      continue;  // comments and line numbers only
    }
    program.blocks.push_back(std::move(block));
  }
  program.lineCount = line;
  return program;
}

}  // namespace gcode
