#!/usr/bin/env python3
# Checks README's table of contents and the links between README.md and docs/*.md: every
# "#anchor" link names a heading of its file, every relative link names a file that exists (and
# its "#anchor", if any, a heading there), every level-2 and level-3 heading of README is listed
# in its contents, and every source file the text names by its path from the top of the tree
# (`tool/job/run_job.cpp`) exists. Anchors are made as GitHub makes them. Standard library only.
import re
import sys
from pathlib import Path

LINK = re.compile(r"\[[^\]]*\]\(([^)\s]+)\)")
HEADING = re.compile(r"^(#{1,6}) +(.*?) *#*$")
# A source file named by its path from the top of the tree: a folder of the tree first, a source
# ending last; build products (build/..., a jar) and patterns with '*' are no such path.
SOURCE_PATH = re.compile(
    r"(?<![\w./*-])((?:src|tool|gcode|view|panel|java|driver|tests|fuzz|bench|jobs|scripts|packaging"
    r"|docs|cmake)/[\w./-]*\.(?:cpp|h|inc|c|py|sh|cmake|js|html|css|md|toml|nc|steplink|java))(?![\w*])")


def Anchor(title):
    """The anchor GitHub gives a heading: lowercase, punctuation dropped, blanks as hyphens."""
    text = re.sub(r"\[([^\]]*)\]\([^)]*\)", r"\1", title)  # a link's text, not its target
    text = text.replace("`", "").lower()
    text = re.sub(r"[^\w\- ]", "", text)
    return text.replace(" ", "-")


def Outside(lines):
    """The lines outside fenced code blocks, with their 1-based numbers."""
    fence = None
    for number, line in enumerate(lines, 1):
        stripped = line.lstrip()
        if fence is None and (stripped.startswith("```") or stripped.startswith("~~~")):
            fence = stripped[:3]
            continue
        if fence is not None:
            if stripped.startswith(fence):
                fence = None
            continue
        yield number, line


def Headings(path):
    """[(level, title, anchor, line)] of a Markdown file, duplicates numbered as GitHub does."""
    seen = {}
    result = []
    for number, line in Outside(path.read_text(encoding="utf-8").splitlines()):
        match = HEADING.match(line)
        if not match:
            continue
        base = Anchor(match.group(2))
        count = seen.get(base, 0)
        seen[base] = count + 1
        result.append((len(match.group(1)), match.group(2), base if count == 0 else f"{base}-{count}", number))
    return result


def Links(path):
    """[(target, line)] of the Markdown links of a file outside code blocks and code spans."""
    result = []
    for number, line in Outside(path.read_text(encoding="utf-8").splitlines()):
        for match in LINK.finditer(re.sub(r"`[^`]*`", "", line)):
            result.append((match.group(1), number))
    return result


def SourcePaths(path):
    """[(source path, line)] that a file names, in its text and its code blocks alike."""
    result = []
    for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
        for match in SOURCE_PATH.finditer(line):
            result.append((match.group(1), number))
    return result


def Contents(path):
    """The '#anchor' links of README's contents: from the line 'Contents' to the first heading."""
    lines = path.read_text(encoding="utf-8").splitlines()
    start = next((i for i, l in enumerate(lines) if l.strip().strip("*").strip() == "Contents"), None)
    if start is None:
        return None
    anchors = []
    for line in lines[start + 1:]:
        if HEADING.match(line):
            break
        anchors += [t[1:] for t in LINK.findall(line) if t.startswith("#")]
    return anchors


def main():
    root = Path(sys.argv[1]).resolve()
    readme = root / "README.md"
    files = [readme] + sorted((root / "docs").glob("*.md"))
    anchors = {f: {h[2] for h in Headings(f)} for f in files}
    problems = []
    for f in files:
        name = f.relative_to(root)
        for target, line in Links(f):
            if re.match(r"^[a-z][a-z0-9+.-]*:", target):  # http:, https:, mailto:
                continue
            file_part, _, anchor = target.partition("#")
            linked = (f.parent / file_part).resolve() if file_part else f
            if not linked.exists():
                problems.append(f"{name}:{line}: '{target}': no file {file_part}")
                continue
            if anchor and linked.suffix == ".md":
                known = anchors.get(linked)
                if known is None:
                    known = {h[2] for h in Headings(linked)}
                if anchor not in known:
                    problems.append(f"{name}:{line}: '{target}': no heading with the anchor #{anchor}"
                                    f" in {linked.relative_to(root) if linked.is_relative_to(root) else linked}")
    for f in files:
        for named, line in SourcePaths(f):
            if not (root / named).exists():
                problems.append(f"{f.relative_to(root)}:{line}: names {named}, which is not in the tree")
    listed = Contents(readme)
    if listed is None:
        problems.append("README.md: no 'Contents' list at the top")
    else:
        for level, title, anchor, line in Headings(readme):
            if level in (2, 3) and anchor not in listed:
                problems.append(f"README.md:{line}: heading '{title}' (#{anchor}) is not in the contents"
                                " at the top; add a link to it there")
    for problem in problems:
        print(problem)
    checked = sum(len(Links(f)) for f in files)
    print(f"{checked} links in {len(files)} files checked, {len(problems)} problem(s)")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
