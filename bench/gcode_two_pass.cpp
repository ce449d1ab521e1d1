// Two-pass G-code check and plan of a program file, for the memory and speed rows of
// BENCHMARKS.md: pass 1 (read, check, plan into counters) and, with --run, pass 2 (every call
// taken from the bounded queue). Prints lines, calls and seconds; peak memory is measured from
// outside (/usr/bin/time -v). Usage: steplink_gcode_two_pass FILE [--run]. Calls the gcode library.
#include <chrono>
#include <cstdio>
#include <cstring>

#include "plan/two_pass.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FILE [--run]\n", argv[0]);
    return 2;
  }
  const bool run = argc > 2 && std::strcmp(argv[2], "--run") == 0;
  std::string error;
  auto input = gcode::ProgramInput::Open(argv[1], error);
  if (!input) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 2;
  }
  const gcode::Machine machine = gcode::BuiltinMachine();
  const auto start = std::chrono::steady_clock::now();
  const gcode::Plan plan = gcode::CheckProgram(*input, machine, {}, error);
  const double checkSeconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (!plan.ok()) {
    std::fprintf(stderr, "line %d: %s (%zu errors)\n", plan.errors[0].line,
                 plan.errors[0].message.c_str(), plan.errorCount);
    return 2;
  }
  std::printf("pass 1: %d lines, %llu calls, %.3f s, %.0f lines/s\n", plan.lines,
              static_cast<unsigned long long>(plan.callCount), checkSeconds,
              plan.lines / checkSeconds);
  if (!run) return 0;
  const auto runStart = std::chrono::steady_clock::now();
  gcode::CallStream stream(*input, machine, {}, plan);
  std::uint64_t taken = 0;
  while (stream.Next()) ++taken;
  const double runSeconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - runStart).count();
  std::printf("pass 2: %llu calls taken, %.3f s, peak queue %zu%s%s\n",
              static_cast<unsigned long long>(taken), runSeconds, stream.PeakQueued(),
              stream.Error().empty() ? "" : ", ", stream.Error().c_str());
  return taken == plan.callCount && stream.Error().empty() ? 0 : 1;
}
