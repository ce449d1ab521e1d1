// Drilling cycles after LinuxCNC's interpreter: the preliminary motion (Z up to R if below it,
// over to the hole at the current Z (G99) or the cycle's starting Z (G98), down to R), the body
// of each cycle, the retract to R (G99) or to the higher of R and the starting Z (G98), repeated
// L times. Plain computation; calls nothing.
#include "plan/cycles.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numbers>

namespace gcode {
namespace {

// Depths closer than this to the bottom are the bottom (no extra peck from rounding).
constexpr double sameDepthMm = 1e-9;

std::string Mm(double mm) {
  char text[48];
  std::snprintf(text, sizeof text, "%.4g mm", mm);
  return text;
}

bool NeedsDwell(Code code) {
  return code == Code::G82 || code == Code::G89;
}
bool Pecks(Code code) {
  return code == Code::G73 || code == Code::G83;
}

// The R level and the hole bottom of a line, absolute program Z in mm.
struct Levels {
  double r = 0, bottom = 0;
};

Levels LevelsOf(const CycleLine& line, const CycleSticky& sticky, double fromZ) {
  const double r = *sticky.r, z = *sticky.z;
  if (!line.relative) return {r, z};
  return {fromZ + r, fromZ + r + z};  // R from the current Z, Z from the R level
}

}  // namespace

bool IsCycle(Code code) {
  return code == Code::G73 || code == Code::G81 || code == Code::G82 || code == Code::G83 ||
         code == Code::G85 || code == Code::G89;
}

std::string CycleWordsRefusal(const Block& block, std::optional<Code> motion) {
  const ModalBlock& m = block.modal;
  const bool dwell = m.nonModal == Code::G4;
  const bool pathWords = m.pathMode == Code::G64;
  const bool cycle = motion && IsCycle(*motion);
  const bool cycleWords =
      block.r || block.l || (block.p && !dwell && !pathWords) || (block.q && !pathWords);
  std::string refusal;
  if (block.p && !dwell && !pathWords && !(cycle && NeedsDwell(*motion))) {
    refusal = "P is used only with G4 (dwell), G82/G89 (dwell at the bottom) and G64";
  } else if (block.q && !pathWords && !(cycle && Pecks(*motion))) {
    refusal = "Q is used only with G73/G83 (the peck depth) and G64";
  } else if (block.l && !cycle) {
    refusal = "L is used only with G10 (L2, L20) and the drilling cycles (repeats)";
  } else if (pathWords && ((block.p && *block.p < 0) || (block.q && *block.q < 0))) {
    refusal = "G64 P and Q must not be negative";
  } else if (cycle && m.nonModal && block.HasAxisWord()) {
    refusal = "a drilling cycle and " + CodeName('G', Info(*m.nonModal).tenths) + " on one line";
  } else if (cycle && cycleWords && !block.HasAxisWord()) {
    refusal = "R, P, Q or L of a drilling cycle need X, Y or Z on their line to run it";
  }
  return refusal;
}

std::array<int, 3> CycleAxes(Code plane) {
  if (plane == Code::G18) return {2, 0, 1};
  if (plane == Code::G19) return {1, 2, 0};
  return {0, 1, 2};
}

std::array<double, 3> ToCycle(const std::array<double, 3>& program,
                              const std::array<int, 3>& axes) {
  return {program[axes[0]], program[axes[1]], program[axes[2]]};
}

std::array<double, 3> FromCycle(const std::array<double, 3>& cycle,
                                const std::array<int, 3>& axes) {
  std::array<double, 3> program{};
  for (int i = 0; i < 3; ++i) program[axes[i]] = cycle[i];
  return program;
}

CycleLine MakeCycleLine(const Block& block, const CycleModes& modes) {
  const double unit = modes.inches ? 25.4 : 1.0;
  const auto length = [&](const std::optional<double>& word) {
    return word ? std::optional<double>(*word * unit) : std::nullopt;
  };
  const std::optional<double> words[3] = {block.x, block.y, block.z};
  CycleLine line;
  line.code = modes.code;
  line.x = length(words[modes.axes[0]]);
  line.y = length(words[modes.axes[1]]);
  line.z = length(words[modes.axes[2]]);
  line.drillAxis = "XYZ"[modes.axes[2]];
  if (block.HasPolar()) {
    const double toRad = std::numbers::pi / 180.0;
    if (modes.relative) {
      line.radiusStepMm = block.polarRadius.value_or(0.0) * unit;
      line.angleStepRad = block.polarAngleDeg.value_or(0.0) * toRad;
    } else {
      const auto& at = modes.atXy;
      const double radius =
          block.polarRadius ? *block.polarRadius * unit : std::hypot(at[0], at[1]);
      const double angle =
          block.polarAngleDeg ? *block.polarAngleDeg * toRad : std::atan2(at[1], at[0]);
      line.x = radius * std::cos(angle);
      line.y = radius * std::sin(angle);
    }
  }
  line.r = length(block.r);
  line.q = length(block.q);
  line.p = block.p;
  line.repeats = block.l.value_or(1);
  line.relative = modes.relative;
  line.retractToR = modes.retractToR;
  line.startZ = modes.startZ;
  return line;
}

std::string CheckCycle(const CycleLine& line, CycleSticky& sticky,
                       const std::array<double, 3>& from, bool levelsKnown) {
  const std::string name = CodeName('G', Info(line.code).tenths);
  CycleSticky merged;
  if (sticky.code == line.code) merged = sticky;  // another cycle starts afresh
  merged.code = line.code;
  if (line.r) merged.r = line.r;
  if (line.z) merged.z = line.z;
  if (line.p) merged.p = line.p;
  if (line.q) merged.q = line.q;
  if (!merged.r) return name + " needs R (the retract level) on its first line";
  const std::string axis(1, line.drillAxis);
  if (!merged.z) return name + " needs " + axis + " (the hole bottom) on its first line";
  if (NeedsDwell(line.code) && !merged.p) return name + " needs P (the dwell at the bottom, s)";
  if (merged.p && *merged.p < 0) return "P must not be negative";
  if (Pecks(line.code) && !merged.q) return name + " needs Q (the depth of each peck)";
  if (Pecks(line.code) && !(*merged.q > 0)) return name + " Q (the peck depth) must be positive";
  if (line.repeats < 1) return "L (repeats of the cycle) must be at least 1";
  const Levels levels = LevelsOf(line, merged, from[2]);
  if (levels.r < levels.bottom && (levelsKnown || !line.relative)) {
    return "R (" + Mm(levels.r) + ") is below " + axis + " (" + Mm(levels.bottom) +
           "): the retract level must not be under the hole bottom";
  }
  double movesPerHole = 6;
  if (Pecks(line.code))
    movesPerHole += 3 * std::ceil(std::max(0.0, levels.r - levels.bottom) / *merged.q);
  if (!(movesPerHole * line.repeats <= maxCycleMoves)) {
    return name + " needs more than a million moves (L times the pecks of a hole)";
  }
  sticky = merged;
  return {};
}

std::array<double, 3> ExpandCycle(const CycleLine& line, const CycleSticky& sticky,
                                  const std::array<double, 3>& from,
                                  const std::function<void(const CycleMove&)>& out) {
  const Levels levels = LevelsOf(line, sticky, from[2]);
  const double r = levels.r, bottom = levels.bottom;
  double x = from[0], y = from[1], z = from[2];
  double stepX = 0, stepY = 0;
  if (line.relative) {
    stepX = line.x.value_or(0.0);
    stepY = line.y.value_or(0.0);
  } else {
    x = line.x.value_or(x);
    y = line.y.value_or(y);
  }
  const auto rapid = [&](double toZ) {
    out({CycleMove::Kind::rapid, {x, y, toZ}, 0.0});
    z = toZ;
  };
  const auto feed = [&](double toZ) {
    out({CycleMove::Kind::feed, {x, y, toZ}, 0.0});
    z = toZ;
  };
  const auto dwell = [&] { out({CycleMove::Kind::dwell, {x, y, z}, sticky.p.value_or(0.0)}); };
  // The height the tool goes over to the hole at: where it stands (G99) or the cycle's starting
  // level (G98); below R, up to R first, where the tool stands.
  double over = line.retractToR ? z : line.startZ;
  if (over < r) {
    out({CycleMove::Kind::rapid, {from[0], from[1], r}, 0.0});
    over = z = r;
  }
  const double clear = line.retractToR ? r : over;
  for (int repeat = 0; repeat < line.repeats; ++repeat) {
    x += stepX;
    y += stepY;
    if (line.relative && (line.radiusStepMm != 0 || line.angleStepRad != 0)) {
      // About the XY origin: radius first, then angle (LinuxCNC's order).
      const double radius = std::hypot(x, y) + line.radiusStepMm;
      const double angle = std::atan2(y, x) + line.angleStepRad;
      x = radius * std::cos(angle);
      y = radius * std::sin(angle);
    }
    rapid(over);
    if (over != r) rapid(r);
    over = clear;
    switch (line.code) {
      case Code::G73:
      case Code::G83: {
        const double q = *sticky.q;
        for (int peck = 1;; ++peck) {
          const double depth = r - peck * q;
          if (!(depth > bottom + sameDepthMm)) break;
          feed(depth);
          if (line.code == Code::G83) rapid(r);
          rapid(depth + peckClearanceMm);
        }
        feed(bottom);
        rapid(clear);
        break;
      }
      case Code::G82:
        feed(bottom);
        dwell();
        rapid(clear);
        break;
      case Code::G85:
        feed(bottom);
        feed(r);
        if (clear > r) rapid(clear);
        break;
      case Code::G89:  // feeds out all the way to the retract level, as LinuxCNC's does
        feed(bottom);
        dwell();
        feed(clear);
        break;
      default:  // G81
        feed(bottom);
        rapid(clear);
        break;
    }
  }
  return {x, y, z};
}

}  // namespace gcode
