// Line-by-line reading of a whole text, shared by the script and record readers: takes the next
// line off the front of the text, without its newline.
#pragma once

#include <string_view>

namespace tool {

// Removes the first line from text and returns it (the whole text if it has no newline).
inline std::string_view TakeLine(std::string_view& text) {
  const std::size_t newline = text.find('\n');
  const std::string_view line = text.substr(0, newline);
  text = newline == std::string_view::npos ? std::string_view{} : text.substr(newline + 1);
  return line;
}

}  // namespace tool
