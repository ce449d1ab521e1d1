// Writes planned entries as a runner script.
#include "report/script_writer.h"

namespace gcode {

void WriteCallScriptHead(std::uint64_t calls, const std::string& source, std::ostream& out) {
  out << "# steplink call script of " << source << " (steplink gcode --emit-script): " << calls
      << " calls; dwells and pauses as comments\n";
  out << "openConn\ninitTimer\n";
}

void WriteCallScriptEntry(const PlannedCall& call, std::ostream& out) {
  switch (call.kind) {
    case CallKind::vectorOut:
    case CallKind::reference:
      out << (call.kind == CallKind::vectorOut ? "vectorOut " : "reference ") << call.args[0] << ' '
          << call.args[1] << ' ' << call.args[2] << "  # line " << call.line << '\n';
      break;
    case CallKind::dwell:
      out << "# line " << call.line << ": " << call.text << " (not waited by the runner)\n";
      break;
    case CallKind::pause:
      out << "# line " << call.line << ": " << call.text << " (no pause in the runner)\n";
      break;
  }
}

void WriteCallScriptTail(std::ostream& out) {
  out << "closeConn\n";
}

void WriteCallScript(const Plan& plan, const std::string& source, std::ostream& out) {
  WriteCallScriptHead(static_cast<std::uint64_t>(plan.vectorOutCalls) +
                          static_cast<std::uint64_t>(plan.referenceCalls),
                      source, out);
  for (const PlannedCall& call : plan.calls) WriteCallScriptEntry(call, out);
  WriteCallScriptTail(out);
}

}  // namespace gcode
