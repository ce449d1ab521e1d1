// Writes the equivalence record of every case (gcode_digest.h) into a folder, one file per case:
// run once against a trusted planner to make tests/golden/gcode/. Usage: SOURCE_DIR OUT_DIR.
#include <cstdio>
#include <fstream>

#include "gcode_digest.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s SOURCE_DIR OUT_DIR\n", argv[0]);
    return 2;
  }
  for (const auto& c : gcode_digest::Cases()) {
    std::ofstream out(std::string(argv[2]) + "/" + c.name + ".digest");
    for (const auto& line : gcode_digest::Digest(gcode_digest::PlanCase(c, argv[1])))
      out << line << "\n";
    if (!out) {
      std::fprintf(stderr, "cannot write %s\n", c.name);
      return 1;
    }
  }
  return 0;
}
