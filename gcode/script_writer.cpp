// Writes a plan as a runner script.
#include "script_writer.h"

namespace gcode {

void WriteCallScript(const Plan& plan, const std::string& source, std::ostream& out) {
  out << "# steplink call script of " << source
      << " (steplink gcode --emit-script): " << plan.vectorOutCalls + plan.referenceCalls
      << " calls; dwells and pauses as comments\n";
  out << "openConn\ninitTimer\n";
  for (const PlannedCall& call : plan.calls) {
    switch (call.kind) {
      case CallKind::vectorOut:
      case CallKind::reference:
        out << (call.kind == CallKind::vectorOut ? "vectorOut " : "reference ") << call.args[0]
            << ' ' << call.args[1] << ' ' << call.args[2] << "  # line " << call.line << '\n';
        break;
      case CallKind::dwell:
        out << "# line " << call.line << ": " << call.text << " (not waited by the runner)\n";
        break;
      case CallKind::pause:
        out << "# line " << call.line << ": " << call.text << " (no pause in the runner)\n";
        break;
    }
  }
  out << "closeConn\n";
}

}  // namespace gcode
