#!/usr/bin/env python3
# Writes steplink(1) from the runner's own help: `steplink --help` names the commands, and each
# `steplink COMMAND --help` gives its options, so the page follows whatever the runner becomes.
# Run at build time (cmake/install.cmake); uses the standard library only.
"""Generate the steplink(1) manual page from the runner's --help output."""

import argparse
import re
import subprocess
import sys

# An option line: indented, starts with a dash, description after two or more blanks.
OPTION = re.compile(r"^(\s{1,10})(-\S.*?)(?:\s{2,}(\S.*))?$")
# A command named by the top-level help: a usage line "steplink WORD" or a subcommand list entry.
USAGE_COMMAND = re.compile(r"^\s*(?i:usage:\s*)?steplink\s+([a-z][a-z0-9-]*)\b")
LIST_ENTRY = re.compile(r"^\s+([a-z][a-z0-9-]*)(?:\s|$)")
# A section header: "Options:", an indented "Options:" inside a group, "[Option Group: NAME]".
HEADER = re.compile(r"^\s*(?:([A-Za-z][^:]{0,40}):|\[([^\]]{1,60})\])\s*$")
# Longer lines are prose: filled as a paragraph instead of kept as laid out.
PROSE_WIDTH = 80

STATIC_SECTIONS = r"""
.SH ENVIRONMENT
.TP
.B STEPLINK_SIM
Settings of the simulated table, a comma\-separated list of \fIkey\fR=\fIvalue\fR
(clock, access\-ticks, mode, status\-byte, limit\-x, limit\-y, limit\-z, record, status, service).
.TP
.B STEPLINK_DEVICE
What serves the device: \fBsim\fR (default), \fBparport:/dev/parport0\fR, \fBparport:0\fR,
\fBparport:0x378\fR or \fBdirect:0x378\fR, optionally followed by \fB,timer=clock\fR or
\fB,timer=pit\fR. The option \fB\-\-device\fR takes precedence.
.TP
.B STEPLINK_TRACE
A file that receives the library's port trace.
.SH FILES
.TP
.I @LIBDIR@/steplink/standard/libsteplink.so
.TQ
.I @LIBDIR@/steplink/start200/libsteplink.so
The two variants of the library (start speed 300 and 200 steps/s); the runner loads the standard
variant unless \fB\-\-library\fR names another.
.TP
.I @LIBDIR@/jni/libsteplink.so
.TQ
.I @LIBDIR@/jni/libsteplink\-start200.so
The two variants on the Java runtime's default library path.
.TP
.I @DATADIR@/java/steplink.jar
The Java API (class \fBJavaToC\fR, package \fBsteplink\fR) and the demo.
.TP
.I @DATADIR@/steplink/jobs/
The example scripts, G\-code programs and machine file, e.g.
\fBsteplink gcode @DATADIR@/steplink/jobs/example.nc \-\-machine @DATADIR@/steplink/jobs/example.toml\fR.
.SH EXIT STATUS
0 all calls made, no fault; 1 a fault while running; 2 refused before anything moved;
130 interrupted; 128+\fIN\fR ended by signal \fIN\fR.
.SH SEE ALSO
The README (the whole manual) and docs/wiring.md (wiring a real table) in
.IR @DOCDIR@ ,
and README.Debian there (the parallel port's permissions).
"""


def escape(text):
    """Text safe for roff: backslashes, dashes as minus signs, no control character at a start."""
    text = text.replace("\\", "\\e").replace("-", "\\-")
    return "\\&" + text if text.startswith((".", "'")) else text


def run_help(runner, args):
    """The help text of `runner ARGS --help`, or None when it fails."""
    try:
        done = subprocess.run([runner, *args, "--help"], capture_output=True, text=True,
                              timeout=30, check=False)
    except (OSError, subprocess.TimeoutExpired) as error:
        print(f"make_manpage: {runner} {' '.join(args)} --help: {error}", file=sys.stderr)
        return None
    if done.returncode != 0:
        print(f"make_manpage: warning: '{' '.join(['steplink', *args, '--help'])}' exited "
              f"{done.returncode}; that command is left out of the page", file=sys.stderr)
        return None
    return done.stdout


def commands_of(top_help):
    """The commands the top-level help names, in order of appearance."""
    found = []
    in_list = False
    for line in top_help.splitlines():
        header = HEADER.match(line)
        if header:
            in_list = "command" in (header.group(1) or header.group(2)).lower()
            continue
        match = USAGE_COMMAND.match(line) or (in_list and LIST_ENTRY.match(line))
        if match and match.group(1) not in found and match.group(1) != "help":
            found.append(match.group(1))
    return found


def synopsis(command, command_help, top_help):
    """The command's usage line: from its own help, else from the top-level one."""
    pattern = re.compile(rf"^\s*(?:usage:\s*)?(steplink\s+{re.escape(command)}\b.*)$",
                         re.IGNORECASE)
    for text in (command_help or "", top_help):
        for line in text.splitlines():
            match = pattern.match(line)
            if match:
                # Without the description a usage line may carry after two blanks.
                return re.split(r"\s{2,}", match.group(1).strip())[0]
    return f"steplink {command} [options]"


def render_help(text):
    """Roff for one help text: option lines as tagged paragraphs, the rest kept as laid out."""
    out = []
    block = []

    def flush():
        while block and not block[-1].strip():
            block.pop()
        if block:
            out.append(".PP\n.nf")
            out.extend(escape(line.rstrip()) for line in block)
            out.append(".fi")
        block.clear()

    lines = text.splitlines()
    i = 0
    while i < len(lines):
        line = lines[i]
        match = OPTION.match(line)
        if not match:
            header = HEADER.match(line)
            if header:
                flush()
                out.append(".PP\n.B " + escape(header.group(1) or header.group(2)))
            elif len(line) > PROSE_WIDTH:
                flush()
                out.append(".PP\n" + escape(line.strip()))
            else:
                block.append(line)
            i += 1
            continue
        flush()
        indent = len(match.group(1))
        description = [match.group(3)] if match.group(3) else []
        i += 1
        # Continuation lines: indented deeper than the option and not an option themselves.
        while i < len(lines) and lines[i].strip() and not OPTION.match(lines[i]) \
                and len(lines[i]) - len(lines[i].lstrip()) > indent:
            description.append(lines[i].strip())
            i += 1
        out.append(".TP\n.B " + escape(match.group(2).strip()))
        out.append(escape(" ".join(description)) if description else "")
    flush()
    return "\n".join(part for part in out if part != "")


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--runner", required=True, help="the steplink program to ask")
    parser.add_argument("--version", required=True, help="the version for the page's footer")
    parser.add_argument("--output", required=True, help="the page to write")
    parser.add_argument("--libdir", default="/usr/lib", help="where the libraries are installed")
    parser.add_argument("--datadir", default="/usr/share", help="where the jar and jobs are")
    parser.add_argument("--docdir", default="/usr/share/doc/steplink", help="where the docs are")
    options = parser.parse_args()

    top = run_help(options.runner, [])
    if top is None:
        sys.exit("make_manpage: the runner's --help failed; no page written")
    commands = commands_of(top)
    if not commands:
        sys.exit("make_manpage: the runner's --help names no command; no page written")

    page = [
        f'.TH STEPLINK 1 "" "steplink {options.version}" "User Commands"',
        ".nh\n.ad l",
        ".SH NAME",
        "steplink \\- run jobs on a stepper\\-motor table through the steplink library",
        ".SH SYNOPSIS",
    ]
    helps = {command: run_help(options.runner, [command]) for command in commands}
    for command in commands:
        page.append(f".B {escape(synopsis(command, helps[command], top))}\n.br")
    page.append(".B steplink \\-\\-help")
    page += [
        ".SH DESCRIPTION",
        "steplink runs scripts of the library's entry calls and G\\-code jobs on the simulated "
        "table or a real one on the parallel port, plots their records, shows a live view in "
        "a browser and probes a machine for a real table. The text below is the program's own "
        f"help; the README in {escape(options.docdir)} explains every part at length.",
        ".SH OVERVIEW",
        render_help(top),
        ".SH COMMANDS",
    ]
    for command in commands:
        text = helps[command]
        if text is None:
            continue
        page.append(".SS " + escape(command))
        page.append(render_help(text))
    page.append(STATIC_SECTIONS.strip().replace("@LIBDIR@", escape(options.libdir))
                .replace("@DATADIR@", escape(options.datadir))
                .replace("@DOCDIR@", escape(options.docdir)))
    with open(options.output, "w", encoding="utf-8") as out:
        out.write("\n".join(page) + "\n")


if __name__ == "__main__":
    main()
