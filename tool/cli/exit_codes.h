// Exit codes of the steplink commands (run, plot, and every command that runs calls on the
// table): one table, so that a script calling the runner can tell the cases apart.
#pragma once

namespace tool {

inline constexpr int exitOk = 0;
// Something went wrong while the table ran: a fault on the table or the port, openConn failed,
// the call process crashed, an output (trace, plot, standard output) could not be written.
inline constexpr int exitRunFailed = 1;
// Refused before anything moved: bad command line, script or settings, no library.
inline constexpr int exitRefused = 2;
// Interrupted: Ctrl-C or a stop request. Other signals that end a run give 128 + the signal.
inline constexpr int exitInterrupted = 130;

}  // namespace tool
