#!/usr/bin/env python3
# Checks what the shipped libraries show to the outside: the exact export table (names, and on
# Windows ordinals and the functions behind them), the image width and the DLLs the Windows
# builds import from, and that
# the core library reaches for no heap and no exception machinery. Reads binutils' output only.
import argparse
import re
import subprocess
import sys

ENTRY_NAMES = ["closeConn", "initTimer", "openConn", "reference", "vectorOut"]

# Ordinals are fixed: callers that bind by ordinal must keep working as entries are added.
PE_EXPORTS = {
    1: "_Java_JavaToC_closeConn@8",
    2: "_Java_JavaToC_initTimer@8",
    3: "_Java_JavaToC_openConn@8",
    4: "_Java_JavaToC_reference@20",
    5: "_Java_JavaToC_vectorOut@20",
}
# x64 has one calling convention and no decoration: the JVM looks up the plain JNI names.
PE64_EXPORTS = {
    1: "Java_JavaToC_closeConn",
    2: "Java_JavaToC_initTimer",
    3: "Java_JavaToC_openConn",
    4: "Java_JavaToC_reference",
    5: "Java_JavaToC_vectorOut",
}
# Optional-header magic: PE32 for the x86 DLL, PE32+ for the x64 one. A JVM refuses the other.
PE_MAGIC = {"pe": "010b", "pe64": "020b"}
PE_ALLOWED_IMPORTS = {"KERNEL32.dll", "ADVAPI32.dll", "msvcrt.dll"}

ELF_EXPORTS = {f"Java_JavaToC_{name}" for name in ENTRY_NAMES}

# Heap and exception entry points; the core runs inside the JVM's thread with neither.
FORBIDDEN_EXACT = {"malloc", "calloc", "realloc", "free", "aligned_alloc", "posix_memalign",
                   "memalign", "strdup", "__cxa_throw", "__cxa_allocate_exception",
                   "__cxa_rethrow", "__cxa_begin_catch"}
FORBIDDEN_PREFIXES = ("_Znw", "_Zna", "_Zdl", "_Zda")


def run(command):
    done = subprocess.run(command, capture_output=True, text=True)
    if done.returncode != 0:
        sys.exit(f"FAIL: {' '.join(command)} exited {done.returncode}:\n{done.stderr}")
    return done.stdout


def section(lines, title):
    """The lines after a heading line up to the next blank line."""
    for start, line in enumerate(lines):
        if line.strip() == title:
            block = []
            for body in lines[start + 1:]:
                if not body.strip():
                    if block:
                        break
                    continue
                block.append(body)
            return block
    return None


def pe_problems(objdump, dll, kind):
    expected = PE64_EXPORTS if kind == "pe64" else PE_EXPORTS
    problems = []
    text = run([objdump, "-p", dll]).splitlines()

    magic = next((l.split()[1] for l in text if l.startswith("Magic")), None)
    if magic != PE_MAGIC[kind]:
        problems.append(f"optional header magic {magic}, expected {PE_MAGIC[kind]}")

    imports = {m.group(1) for m in (re.search(r"DLL Name:\s*(\S+)", l) for l in text) if m}
    for name in sorted(imports - PE_ALLOWED_IMPORTS):
        problems.append(f"imports from {name}")

    base_match = next((re.search(r"Ordinal Base\s+(\d+)", l) for l in text
                       if "Ordinal Base" in l and "--" not in l), None)
    names = section(text, "[Ordinal/Name Pointer] Table")
    if base_match is None or names is None:
        return problems + ["no export table"]
    base = int(base_match.group(1))

    exported = {}
    for line in names:
        m = re.match(r"\s*\[\s*(\d+)\]\s+(\S+)\s*$", line)
        if not m:
            problems.append(f"unparsed export line {line!r}")
            continue
        exported[int(m.group(1)) + base] = m.group(2)
    if exported != expected:
        problems.append("exports " + ", ".join(f"{o}:{n}" for o, n in sorted(exported.items())))

    # Every address slot must be one of the named entries: no ordinal-only extras.
    address_table = [l for l in text if re.search(r"\+base\[\s*\d+\]\s+[0-9a-f]+\s", l)]
    rvas = {}
    for line in address_table:
        m = re.search(r"\+base\[\s*(\d+)\]\s+([0-9a-f]+)\s", line)
        rvas[int(m.group(1))] = int(m.group(2), 16)
    if set(rvas) != set(expected):
        problems.append(f"address table ordinals {sorted(rvas)}")

    # Each name must lead to the function of that name, not just to some entry.
    image_base = int(re.search(r"ImageBase\s+([0-9a-f]+)", "\n".join(text)).group(1), 16)
    headers = run([objdump, "-h", dll]).splitlines()
    section_rva = {}
    for line in headers:
        m = re.match(r"\s*(\d+)\s+\S+\s+[0-9a-f]+\s+([0-9a-f]+)\s", line)
        if m:
            section_rva[int(m.group(1)) + 1] = int(m.group(2), 16) - image_base
    symbol_rva = {}
    for line in run([objdump, "-t", dll]).splitlines():
        m = re.search(r"\(sec\s+(\d+)\).*0x([0-9a-f]+)\s+(\S+)$", line)
        if m and int(m.group(1)) in section_rva:
            symbol_rva[m.group(3)] = section_rva[int(m.group(1))] + int(m.group(2), 16)
    for ordinal, name in expected.items():
        if name not in symbol_rva:
            problems.append(f"no symbol {name} in the DLL's symbol table (stripped?)")
        elif ordinal in rvas and rvas[ordinal] != symbol_rva[name]:
            problems.append(f"ordinal {ordinal} points to {rvas[ordinal]:#x}, "
                            f"{name} is at {symbol_rva[name]:#x}")
    return problems


def elf_problems(nm, library):
    exported = set()
    for line in run([nm, "-D", "--defined-only", library]).splitlines():
        fields = line.split()
        if fields:
            exported.add(fields[-1])
    problems = [f"extra export {name}" for name in sorted(exported - ELF_EXPORTS)]
    problems += [f"missing export {name}" for name in sorted(ELF_EXPORTS - exported)]
    return problems


def core_problems(nm, archive, leading_underscore):
    problems = set()
    for line in run([nm, "-u", archive]).splitlines():
        fields = line.split()
        if len(fields) != 2 or fields[0] != "U":
            continue
        name = fields[1]
        if leading_underscore and name.startswith("_"):
            name = name[1:]
        if name in FORBIDDEN_EXACT or name.startswith(FORBIDDEN_PREFIXES):
            problems.add(f"core references {fields[1]}")
    return sorted(problems)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("kind", choices=["pe", "pe64", "elf", "core-elf", "core-pe", "core-pe64"])
    parser.add_argument("tool", help="objdump for pe, nm otherwise")
    parser.add_argument("files", nargs="+")
    args = parser.parse_args()

    failed = False
    for path in args.files:
        if args.kind in PE_MAGIC:
            problems = pe_problems(args.tool, path, args.kind)
        elif args.kind == "elf":
            problems = elf_problems(args.tool, path)
        else:
            # Only 32-bit Windows symbols carry the leading underscore.
            problems = core_problems(args.tool, path, args.kind == "core-pe")
        for problem in problems:
            print(f"FAIL {path}: {problem}")
        failed = failed or bool(problems)
        if not problems:
            print(f"ok   {path}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
