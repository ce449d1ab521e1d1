// The runner's usage lines and help texts, shared by its commands.
#pragma once

namespace tool {

inline constexpr char usageText[] =
    "usage: steplink run [options] SCRIPT   run a script of entry calls ('-' = standard input)\n"
    "       steplink plot RECORD OUT.svg    plot a record file of the simulated table\n"
    "       steplink gcode [options] FILE   check, plan and run a G-code program (--help)\n"
    "       steplink view --status NAME     live view of a status block another program writes\n"
    "       steplink probe [--device VALUE] check this machine's parallel ports and timer\n"
    "       steplink --help\n";

inline constexpr char scriptHelp[] =
    "Script: one call per line, '#' starts a comment:\n"
    "  openConn | closeConn | initTimer | vectorOut X Y Z | reference X Y Z\n"
    "X, Y and Z are 32-bit signed decimal integers.\n\n"
    "The run prints each call with its result and the library's own lines, then a summary of\n"
    "the simulated table: positions, aux state, faults by kind, simulated and wall time.\n"
    "Exit status: 0 success; 1 a fault while running (table or port fault, openConn failed,\n"
    "the call process crashed, an output not written); 2 refused before anything moved (bad\n"
    "command line, script or settings, no library); 130 interrupted (Ctrl-C, a stop request);\n"
    "128+N ended by signal N.\n";

}  // namespace tool
