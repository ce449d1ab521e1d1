#!/usr/bin/env python3
# Checks that steplink(1) names every option of every command: the commands from `steplink
# --help`, each command's options from `steplink COMMAND --help`, the page as man renders it.
# Independent of the page's generator on purpose: it reads the help with a plain pattern.
"""Every option the runner's help lists must appear in the rendered manual page."""

import argparse
import os
import re
import subprocess
import sys

OPTION_TOKEN = re.compile(r"(?:^|[\s,\[|(])(--?[A-Za-z][A-Za-z0-9-]*)")
COMMAND = re.compile(r"^\s*(?i:usage:\s*)?steplink\s+([a-z][a-z0-9-]*)\b")


def helptext(runner, args):
    done = subprocess.run([runner, *args, "--help"], capture_output=True, text=True, timeout=30,
                          check=False)
    if done.returncode != 0:
        sys.exit(f"FAIL: '{' '.join(['steplink', *args, '--help'])}' exited {done.returncode}: "
                 f"{done.stderr.strip()[:400]}")
    return done.stdout


def commands(top):
    """Commands named on usage lines or in a list under a header with 'command' in it."""
    found, in_list = [], False
    for line in top.splitlines():
        if re.match(r"^\S.*:\s*$", line):
            in_list = "command" in line.lower()
            continue
        match = COMMAND.match(line) or (in_list and re.match(r"^\s+([a-z][a-z0-9-]*)(\s|$)", line))
        if match and match.group(1) not in found and match.group(1) != "help":
            found.append(match.group(1))
    return found


def options(text):
    """Option names at the start of the help's option lines (indented, starting with a dash)."""
    names = set()
    for line in text.splitlines():
        if re.match(r"^\s{1,10}-", line):
            head = re.split(r"\s{2,}", line.strip())[0]
            names.update(OPTION_TOKEN.findall(" " + head))
    return names


def rendered(page):
    env = dict(os.environ, MANWIDTH="250", LC_ALL="C.UTF-8")
    done = subprocess.run(["man", "-l", "-P", "cat", page], capture_output=True, text=True,
                          env=env, timeout=60, check=False)
    if done.returncode != 0:
        sys.exit(f"FAIL: man -l {page}: {done.stderr.strip()}")
    # Bold and underline by overstrike, as man's formatter makes them without a terminal.
    return re.sub(r".\x08", "", done.stdout)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--runner", required=True)
    parser.add_argument("--page", required=True)
    args = parser.parse_args()

    page = rendered(args.page)
    top = helptext(args.runner, [])
    names = commands(top)
    if not names:
        sys.exit("FAIL: steplink --help names no command")
    missing = []
    for name in names:
        if not re.search(rf"(^|\s){re.escape(name)}(\s|$)", page, re.MULTILINE):
            missing.append(f"command {name}")
        for option in sorted(options(helptext(args.runner, [name]))):
            if not re.search(rf"(?<![\w-]){re.escape(option)}(?![\w-])", page):
                missing.append(f"{name} {option}")
    for option in sorted(options(top)):
        if not re.search(rf"(?<![\w-]){re.escape(option)}(?![\w-])", page):
            missing.append(f"steplink {option}")
    if missing:
        print(f"FAIL: {args.page} lacks what the runner's help lists:", *missing, sep="\n  ")
        sys.exit(1)
    print(f"ok: {len(names)} commands ({', '.join(names)}) and all their options are in the page")


if __name__ == "__main__":
    main()
