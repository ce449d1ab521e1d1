// Scripts of entry calls for the runner: one call per line (openConn, closeConn, initTimer,
// vectorOut X Y Z, reference X Y Z), '#' comments and blank lines. Parsed completely before
// anything runs, so a bad line never leaves a half-run job.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tool {

enum class Entry { openConn, closeConn, initTimer, vectorOut, reference };

struct ScriptCall {
  Entry entry;
  std::array<std::int32_t, 3> args{};  // X Y Z for vectorOut and reference
  int line = 0;
};

struct ScriptError {
  int line;
  std::string message;
};

struct Script {
  std::vector<ScriptCall> calls;
  std::vector<ScriptError> errors;  // every bad line, in order
};

Script ParseScript(std::string_view text);

std::string_view EntryName(Entry entry);
int ArgumentCount(Entry entry);

// "vectorOut 10 -5 0": the call as a script line.
std::string FormatCall(const ScriptCall& call);

}  // namespace tool
