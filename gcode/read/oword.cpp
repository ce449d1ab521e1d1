// O-word and M98/M99 lines: the label, the keyword and the text after it. LinuxCNC ignores
// spaces and case outside comments, so "O 100 EndSub" is "o100 endsub".
#include "read/oword.h"

#include <array>
#include <cctype>
#include <utility>

namespace gcode {
namespace {

bool IsSpaceByte(char c) {
  return c == ' ' || c == '\t' || c == '\r';
}

char Lower(char c) {
  return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

bool IsDigit(char c) {
  return std::isdigit(static_cast<unsigned char>(c)) != 0;
}

void SkipSpace(std::string_view text, std::size_t& at) {
  while (at < text.size() && IsSpaceByte(text[at])) ++at;
}

// Skips '/', an N number and spaces at the start of a line.
std::size_t LineStart(std::string_view line) {
  std::size_t at = 0;
  SkipSpace(line, at);
  if (at < line.size() && line[at] == '/') {
    ++at;
    SkipSpace(line, at);
  }
  if (at < line.size() && Lower(line[at]) == 'n') {
    std::size_t digits = at + 1;
    SkipSpace(line, digits);
    const std::size_t first = digits;
    while (digits < line.size() && (IsDigit(line[digits]) || IsSpaceByte(line[digits]))) ++digits;
    if (digits > first) at = digits;
  }
  return at;
}

// The end of a bracketed expression starting at `at` ('['), nested brackets and comments
// inside skipped; npos when it does not close.
std::size_t BracketEnd(std::string_view text, std::size_t at) {
  int depth = 0;
  for (; at < text.size(); ++at) {
    const char c = text[at];
    if (c == '(') {
      const std::size_t close = text.find(')', at);
      if (close == std::string_view::npos) return std::string_view::npos;
      at = close;
    } else if (c == '[') {
      ++depth;
    } else if (c == ']' && --depth == 0) {
      return at + 1;
    }
  }
  return std::string_view::npos;
}

constexpr std::array<std::pair<const char*, OKeyword>, 15> keywords{{
    {"sub", OKeyword::sub},
    {"endsub", OKeyword::endsub},
    {"return", OKeyword::returnTo},
    {"call", OKeyword::call},
    {"if", OKeyword::ifThen},
    {"elseif", OKeyword::elseIf},
    {"else", OKeyword::elseThen},
    {"endif", OKeyword::endIf},
    {"while", OKeyword::whileLoop},
    {"endwhile", OKeyword::endWhile},
    {"do", OKeyword::doLoop},
    {"repeat", OKeyword::repeat},
    {"endrepeat", OKeyword::endRepeat},
    {"break", OKeyword::breakLoop},
    {"continue", OKeyword::continueLoop},
}};

}  // namespace

const char* KeywordName(OKeyword keyword) {
  for (const auto& [name, value] : keywords) {
    if (value == keyword) return name;
  }
  return "";
}

bool IsOWordLine(std::string_view line, OWordLine& word, bool& ok, std::string& error) {
  std::size_t at = LineStart(line);
  if (at >= line.size() || Lower(line[at]) != 'o') return false;
  word = OWordLine{};
  ok = false;
  ++at;
  SkipSpace(line, at);
  if (at < line.size() && line[at] == '<') {
    const std::size_t close = line.find('>', at);
    if (close == std::string_view::npos) {
      error = "an O-word name '<' is not closed with '>'";
      return true;
    }
    std::string name = "<";
    for (std::size_t i = at + 1; i < close; ++i) {
      if (!IsSpaceByte(line[i])) name += Lower(line[i]);
    }
    if (name.size() == 1) {
      error = "an O-word name o<> is empty";
      return true;
    }
    word.label = name + ">";
    at = close + 1;
  } else if (at < line.size() && line[at] == '[') {
    const std::size_t end = BracketEnd(line, at);
    if (end == std::string_view::npos) {
      error = "the O-word number's expression '[' is not closed";
      return true;
    }
    word.labelExpression = std::string(line.substr(at, end - at));
    at = end;
  } else {
    std::string digits;
    while (at < line.size() && (IsDigit(line[at]) || IsSpaceByte(line[at]))) {
      if (IsDigit(line[at]) && !(digits.empty() && line[at] == '0')) digits += line[at];
      ++at;
    }
    bool any = false;
    for (std::size_t i = LineStart(line) + 1; i < at; ++i) any = any || IsDigit(line[i]);
    if (!any) {
      error = "an O-word needs a number, a name (o<name>) or an expression (o[...])";
      return true;
    }
    if (digits.size() > 18) {
      error = "the O-word number has too many digits";
      return true;
    }
    word.label = digits.empty() ? "0" : digits;
  }
  SkipSpace(line, at);
  std::string name;
  std::size_t after = at;
  while (after < line.size() &&
         (std::isalpha(static_cast<unsigned char>(line[after])) || IsSpaceByte(line[after]))) {
    if (!IsSpaceByte(line[after])) name += Lower(line[after]);
    ++after;
  }
  // "o100 endsub" reads "endsub", never "end" then "sub": the keyword is the whole run of
  // letters (spaces inside ignored, as LinuxCNC does).
  if (name.empty()) {
    word.keyword = OKeyword::none;
    word.rest = line.substr(at);
    ok = true;
    return true;
  }
  for (const auto& [text, value] : keywords) {
    if (name == text) {
      word.keyword = value;
      word.rest = line.substr(after);
      ok = true;
      return true;
    }
  }
  error = "unknown O-word keyword '" + name +
          "' (sub, endsub, return, call, if, elseif, else, endif, while, endwhile, do, repeat, "
          "endrepeat, break, continue)";
  return true;
}

bool IsFanucLine(std::string_view line, FanucLine& fanuc, bool& ok, std::string& error) {
  // Cheap first look: most lines hold no "M98"/"M99" at all.
  bool maybe = false;
  for (std::size_t i = 0; i + 1 < line.size() && !maybe; ++i) {
    maybe = line[i] == '9' && (line[i + 1] == '8' || line[i + 1] == '9');
  }
  if (!maybe) return false;
  fanuc = FanucLine{};
  bool found = false;
  bool other = false;
  std::size_t at = LineStart(line);
  while (at < line.size()) {
    const char c = line[at];
    if (IsSpaceByte(c)) {
      ++at;
      continue;
    }
    if (c == '(') {
      const std::size_t close = line.find(')', at);
      if (close == std::string_view::npos) return found;  // the reader says what is wrong
      at = close + 1;
      continue;
    }
    if (c == ';') break;
    const char letter = Lower(c);
    ++at;
    SkipSpace(line, at);
    // The word's value: an expression, a parameter, or a number.
    const std::size_t start = at;
    if (at < line.size() && line[at] == '[') {
      at = BracketEnd(line, at);
      if (at == std::string_view::npos) return found;
    } else {
      // A number or a parameter (#2, #<name>, #[1 + 1]) up to the next word's letter.
      while (at < line.size() && !std::isalpha(static_cast<unsigned char>(line[at])) &&
             line[at] != '(' && line[at] != ';') {
        if (line[at] == '<') {
          at = line.find('>', at);
        } else if (line[at] == '[') {
          at = BracketEnd(line, at);
          if (at != std::string_view::npos) --at;
        }
        if (at == std::string_view::npos) return found;
        ++at;
      }
    }
    std::string_view value = line.substr(start, at - start);
    while (!value.empty() && IsSpaceByte(value.back())) value.remove_suffix(1);
    if (letter == 'm') {
      std::string digits;
      for (const char d : value) {
        if (!IsSpaceByte(d)) digits += d;
      }
      while (digits.size() > 1 && digits[0] == '0') digits.erase(0, 1);
      if (digits == "98" || digits == "99") {
        if (found) {
          error = "M98 and M99 on one line";
          ok = false;
          return true;
        }
        found = true;
        fanuc.call = digits == "98";
        continue;
      }
      other = true;
    } else if (letter == 'p') {
      fanuc.p = value;
    } else if (letter == 'l') {
      fanuc.l = value;
    } else if (letter != 'n') {
      other = true;
    }
  }
  if (!found) return false;
  ok = !other;
  if (other) {
    error = std::string(fanuc.call ? "M98" : "M99") +
            " must be on a line of its own (with P and L words only)";
  }
  return true;
}

std::string SubroutineFileError(const std::string& name) {
  // `name` is "<...>" or a number; the file is name.ngc in the subroutine folder.
  const std::string bare = name.front() == '<' ? name.substr(1, name.size() - 2) : name;
  for (const char c : bare) {
    if (c == '/' || c == '\\')
      return "the subroutine name o" + name + " holds a '" + std::string(1, c) +
             "': a subroutine file is named, never given as a path";
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
      return "the subroutine name o" + name + " holds a control character";
  }
  if (bare == "." || bare == "..") return "the subroutine name o" + name + " is not a file name";
  return {};
}

}  // namespace gcode
