// LinuxCNC's own interpreter as the referee: runs `rs274 -g` (Debian's linuxcnc-uspace) and the
// planner on each program given and compares every end point and arc centre in LinuxCNC's
// canonical frame (program coordinates, program units; rs274 prints four decimals) within 1e-4.
// Exit 0 all agree, 1 a difference (listed), 77 rs274 cannot run here (the reason printed).
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "plan/planner.h"
#include "plan/two_pass.h"
#include "read/program_input.h"

namespace {

namespace fs = std::filesystem;

constexpr double toleranceUnits = 1e-4;
constexpr int skipExit = 77;

struct Move {
  char kind = 'f';  // 't' traverse, 'f' feed, 'a' arc
  std::array<double, 3> end{};
  std::array<double, 2> centre{};
  bool ccw = false;
  int line = 0;  // steplink's source line (rs274: its output line)
};

std::string Show(const Move& m) {
  char text[200];
  std::snprintf(text, sizeof text, "%c end (%.4f, %.4f, %.4f)", m.kind, m.end[0], m.end[1],
                m.end[2]);
  std::string shown = text;
  if (m.kind == 'a') {
    std::snprintf(text, sizeof text, " centre (%.4f, %.4f) %s", m.centre[0], m.centre[1],
                  m.ccw ? "ccw" : "cw");
    shown += text;
  }
  return shown;
}

void WriteSetup(const fs::path& dir);

std::string FindRs274() {
  if (const char* given = std::getenv("STEPLINK_RS274"); given && *given) return given;
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "";
  dirs += ":/usr/bin:/usr/local/bin";
  std::stringstream split(dirs);
  std::string dir;
  while (std::getline(split, dir, ':')) {
    const fs::path candidate = fs::path(dir) / "rs274";
    if (!dir.empty() && access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return {};
}

// The numbers between the parentheses of a canonical call, or empty.
std::vector<double> Arguments(const std::string& line, const std::string& name) {
  const std::size_t at = line.find(name + "(");
  if (at == std::string::npos) return {};
  const std::size_t close = line.find(')', at);
  std::stringstream list(line.substr(at + name.size() + 1, close - at - name.size() - 1));
  std::vector<double> values;
  std::string item;
  while (std::getline(list, item, ',')) values.push_back(std::strtod(item.c_str(), nullptr));
  return values;
}

// rs274's canonical calls as moves. ARC_FEED(first_end, second_end, first_axis, second_axis,
// rotation, axis_end_point, ...): G17 first X, G18 first Z, G19 first Y.
std::vector<Move> ParseCanon(const std::string& text) {
  std::vector<Move> moves;
  int plane = 17;
  std::stringstream lines(text);
  std::string line;
  int number = 0;
  while (std::getline(lines, line)) {
    ++number;
    if (line.find("SELECT_PLANE(CANON_PLANE_XY)") != std::string::npos) plane = 17;
    if (line.find("SELECT_PLANE(CANON_PLANE_XZ)") != std::string::npos) plane = 18;
    if (line.find("SELECT_PLANE(CANON_PLANE_YZ)") != std::string::npos) plane = 19;
    Move move;
    move.line = number;
    if (auto v = Arguments(line, "STRAIGHT_TRAVERSE"); v.size() >= 3) {
      move.kind = 't';
      move.end = {v[0], v[1], v[2]};
    } else if (v = Arguments(line, "STRAIGHT_FEED"); v.size() >= 3) {
      move.kind = 'f';
      move.end = {v[0], v[1], v[2]};
    } else if (v = Arguments(line, "ARC_FEED"); v.size() >= 6) {
      move.kind = 'a';
      move.centre = {v[2], v[3]};
      move.ccw = v[4] > 0;
      if (plane == 17) move.end = {v[0], v[1], v[5]};
      if (plane == 18) move.end = {v[1], v[5], v[0]};
      if (plane == 19) move.end = {v[5], v[0], v[1]};
    } else {
      continue;
    }
    moves.push_back(move);
  }
  return moves;
}

// Moves that go nowhere (a traverse or feed to where the tool stands) say nothing about the
// interpreter; both sides drop them.
std::vector<Move> Moving(const std::vector<Move>& moves) {
  std::vector<Move> kept;
  std::array<double, 3> at{};
  for (const Move& m : moves) {
    const bool still = std::fabs(m.end[0] - at[0]) < 1e-9 && std::fabs(m.end[1] - at[1]) < 1e-9 &&
                       std::fabs(m.end[2] - at[2]) < 1e-9;
    if (m.kind != 'a' && still) continue;
    kept.push_back(m);
    at = m.end;
  }
  return kept;
}

// The program as rs274 reads it: with a feed rate first, as LinuxCNC refuses feeds without one
// (steplink notes F and ignores it), after a leading '%' line if there is one.
fs::path WithFeed(const fs::path& dir, const fs::path& program) {
  std::ifstream in(program, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  std::string body = text.str();
  std::size_t at = 0;
  const std::size_t first = body.find_first_not_of(" \t\r\n");
  if (first != std::string::npos && body[first] == '%') {
    const std::size_t end = body.find('\n', first);
    at = end == std::string::npos ? body.size() : end + 1;
  }
  body.insert(at, "F1000\n");
  const fs::path copy = dir / program.filename();
  std::ofstream(copy, std::ios::binary) << body;
  return copy;
}

// O-word subroutine files of the programs: a folder "subs" beside them, given to both sides
// (rs274 through an INI file's SUBROUTINE_PATH, steplink through --subroutines).
fs::path SubroutinesOf(const fs::path& program) {
  const fs::path subs = program.parent_path() / "subs";
  return fs::is_directory(subs) ? fs::absolute(subs) : fs::path();
}

bool RunRs274(const std::string& rs274, const fs::path& dir, const fs::path& given,
              std::string& output, std::string& why) {
  const fs::path program = WithFeed(dir, given);
  std::string ini;
  if (const fs::path subs = SubroutinesOf(given); !subs.empty()) {
    std::ofstream(dir / "rs274.ini") << "[RS274NGC]\nSUBROUTINE_PATH = " << subs.string() << "\n";
    ini = " -i '" + (dir / "rs274.ini").string() + "'";
  }
  const fs::path out = dir / "canon.txt";
  const fs::path err = dir / "stderr.txt";
  fs::remove(out);
  const std::string command = "'" + rs274 + "'" + ini + " -g -n 2 -t '" +
                              (dir / "tool.tbl").string() + "' -v '" +
                              (dir / "rs274.var").string() + "' '" + program.string() + "' '" +
                              out.string() + "' </dev/null 2>'" + err.string() + "'";
  const int status = std::system(command.c_str());
  std::ifstream canon(out), errors(err);
  std::stringstream text, errorText;
  text << canon.rdbuf();
  errorText << errors.rdbuf();
  output = text.str();
  if (status != 0 || output.empty()) {
    why = "rs274 exit status " + std::to_string(WEXITSTATUS(status)) + ": " + errorText.str();
    return false;
  }
  return true;
}

// steplink's side runs the program as a job does: read from its file, control flow and all.
std::vector<Move> RunSteplink(const fs::path& program, std::string& why) {
  gcode::Machine machine = gcode::BuiltinMachine();
  for (auto& axis : machine.axes) {
    axis.stepsPerMm = 1000;
    axis.minMm = -1e5;
    axis.maxMm = 1e5;
  }
  machine.toolLengths[2] = 10.0;  // tool.tbl's tool 2 (lengths are not in the compared frame)
  std::vector<Move> moves;
  gcode::PlanOptions options;
  options.onMove = [&](const gcode::CanonMove& c) {
    Move m;
    m.kind = c.kind == gcode::CanonMove::Kind::traverse ? 't'
             : c.kind == gcode::CanonMove::Kind::feed   ? 'f'
                                                        : 'a';
    m.end = c.end;
    m.centre = c.centre;
    m.ccw = c.ccw;
    m.line = c.line;
    moves.push_back(m);
  };
  options.subroutinesDir = SubroutinesOf(program).string();
  std::string error;
  const auto input = gcode::ProgramInput::Open(program.string(), error);
  if (!input) {
    why = error;
    return moves;
  }
  const gcode::Plan plan = gcode::CheckProgram(*input, machine, options, error);
  if (!error.empty()) {
    why = error;
  } else if (!plan.ok()) {
    why = "steplink refuses it: line " + std::to_string(plan.errors[0].line) + ": " +
          plan.errors[0].message;
  }
  return moves;
}

bool Near(double a, double b) {
  return std::fabs(a - b) <= toleranceUnits + 1e-9;
}

// Compares one program; prints each difference.
bool Compare(const std::string& rs274, const fs::path& dir, const fs::path& program) {
  WriteSetup(dir);  // rs274 writes its parameters back: each program starts from zero offsets
  std::string output, why;
  if (program.filename().string().find(".refused.") != std::string::npos) {
    // Both must refuse it (LinuxCNC's limits, just outside).
    const bool theyRun = RunRs274(rs274, dir, program, output, why);
    std::string ourWhy;
    RunSteplink(program, ourWhy);
    if (theyRun || ourWhy.empty()) {
      std::printf("FAIL %s: refused by %s only\n", program.c_str(),
                  theyRun ? (ourWhy.empty() ? "neither" : "steplink") : "rs274");
      return false;
    }
    std::printf("ok   %s: both refuse it\n", program.c_str());
    return true;
  }
  if (!RunRs274(rs274, dir, program, output, why)) {
    std::printf("FAIL %s: %s\n", program.c_str(), why.c_str());
    return false;
  }
  const std::vector<Move> theirs = Moving(ParseCanon(output));
  const std::vector<Move> ours = Moving(RunSteplink(program, why));
  if (!why.empty()) {
    std::printf("FAIL %s: %s\n", program.c_str(), why.c_str());
    return false;
  }
  const std::size_t common = std::min(theirs.size(), ours.size());
  for (std::size_t i = 0; i < common; ++i) {
    const Move &a = theirs[i], &b = ours[i];
    bool same = a.kind == b.kind && Near(a.end[0], b.end[0]) && Near(a.end[1], b.end[1]) &&
                Near(a.end[2], b.end[2]);
    if (a.kind == 'a' && same)
      same = Near(a.centre[0], b.centre[0]) && Near(a.centre[1], b.centre[1]) && a.ccw == b.ccw;
    if (!same) {
      std::printf("FAIL %s: move %zu (steplink line %d)\n  rs274:    %s\n  steplink: %s\n",
                  program.c_str(), i + 1, b.line, Show(a).c_str(), Show(b).c_str());
      return false;
    }
  }
  if (theirs.size() != ours.size()) {
    std::printf("FAIL %s: rs274 makes %zu moves, steplink %zu\n", program.c_str(), theirs.size(),
                ours.size());
    return false;
  }
  std::printf("ok   %s: %zu moves agree\n", program.c_str(), ours.size());
  return true;
}

// The interpreter's parameters (work offsets all zero, G54 in force) and a tool table with tool 2
// (10 mm), so that rs274 reads no file of a LinuxCNC installation.
void WriteSetup(const fs::path& dir) {
  std::ofstream var(dir / "rs274.var");
  for (int parameter = 5161; parameter <= 5390; ++parameter)
    var << parameter << '\t' << (parameter == 5220 ? "1.000000" : "0.000000") << '\n';
  std::ofstream tools(dir / "tool.tbl");
  tools << "T2 P2 Z10.0 D0 ;ten millimetres\n";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s PROGRAM.ngc|DIRECTORY...\n", argv[0]);
    return 2;
  }
  const std::string rs274 = FindRs274();
  if (rs274.empty()) {
    std::printf(
        "SKIPPED: rs274 (LinuxCNC's interpreter, Debian package linuxcnc-uspace) is not "
        "installed: scripts/install-deps.sh installs it\n");
    return skipExit;
  }
  char pattern[] = "/tmp/steplink-rs274-XXXXXX";
  const char* made = mkdtemp(pattern);
  if (!made) {
    std::perror("mkdtemp");
    return 1;
  }
  const fs::path dir = made;
  WriteSetup(dir);
  // rs274 must run at all here (it may be installed without what it loads).
  {
    const fs::path probe = dir / "probe.ngc";
    std::ofstream(probe) << "G21 G0 X1\nM2\n";
    std::string output, why;
    if (!RunRs274(rs274, dir, probe, output, why) || ParseCanon(output).empty()) {
      std::printf("SKIPPED: %s does not run here: %s\n", rs274.c_str(), why.c_str());
      fs::remove_all(dir);
      return skipExit;
    }
  }
  std::vector<fs::path> programs;
  for (int i = 1; i < argc; ++i) {
    const fs::path given = argv[i];
    if (fs::is_directory(given)) {
      for (const auto& entry : fs::directory_iterator(given)) {
        const std::string ext = entry.path().extension().string();
        if (ext == ".ngc" || ext == ".nc") programs.push_back(entry.path());
      }
    } else {
      programs.push_back(given);
    }
  }
  std::sort(programs.begin(), programs.end());
  int failed = 0;
  for (const fs::path& program : programs) failed += Compare(rs274, dir, program) ? 0 : 1;
  fs::remove_all(dir);
  std::printf("%zu program(s), %d differ\n", programs.size(), failed);
  return failed == 0 ? 0 : 1;
}
