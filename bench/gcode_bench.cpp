// G-code check speed: lines per second of read + validate + plan (soft limits, arcs to chords,
// duration estimate) over generated programs of the kinds users run: many short G1 segments, and
// arcs mixed with lines. Calls the gcode library only.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <string>

#include "plan/planner.h"

namespace {

// An engraving: a spiral of short G1 segments, every line a move.
std::string Segments(int lines) {
  std::string text = "G21 G90 G17\nG0 X300 Y300\nG1 Z-0.5 F600\n";
  char line[64];
  for (int i = 1; i < lines - 3; ++i) {
    const double a = i * 0.002, r = 2 + a * 0.9;
    std::snprintf(line, sizeof line, "X%.3f Y%.3f\n", 300 + r * std::cos(a), 300 + r * std::sin(a));
    text += line;
  }
  return text;
}

// A pocket-like mix: lines, arcs by I/J and by R, comments, modal words.
std::string Mixed(int lines) {
  std::string text = "G21 G90 G17 G94 (pocket)\nG0 X100 Y100\n";
  char line[96];
  for (int i = 0; i < lines / 4; ++i) {
    const double x = 100 + (i % 200) * 0.5;
    std::snprintf(line, sizeof line,
                  "N%d G1 X%.3f Y100 ; cut\nG3 X%.3f Y110 I0 J5\nG1 X%.3f\nG2 X%.3f Y100 R-5\n", i,
                  x, x, x - 1, x - 1);
    text += line;
  }
  return text;
}

void CheckProgram(benchmark::State& state, const std::string& text) {
  gcode::Machine machine = gcode::BuiltinMachine();
  int lines = 0;
  std::size_t calls = 0;
  for (auto _ : state) {
    const gcode::Program program = gcode::ParseProgram(text);
    const gcode::Plan plan = gcode::PlanProgram(program, machine);
    if (!plan.ok()) state.SkipWithError(plan.errors[0].message.c_str());
    lines = plan.lines;
    calls = plan.calls.size();
    benchmark::DoNotOptimize(plan.durationSeconds);
  }
  state.SetItemsProcessed(state.iterations() * lines);
  state.counters["lines"] = lines;
  state.counters["calls"] = static_cast<double>(calls);
}

void BM_CheckShortSegments(benchmark::State& state) {
  CheckProgram(state, Segments(static_cast<int>(state.range(0))));
}
void BM_CheckArcsAndLines(benchmark::State& state) {
  CheckProgram(state, Mixed(static_cast<int>(state.range(0))));
}

BENCHMARK(BM_CheckShortSegments)->Arg(100'000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CheckArcsAndLines)->Arg(100'000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
