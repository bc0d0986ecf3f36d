#!/usr/bin/env python3
"""Checks that none of our code runs when a built module is loaded or unloaded.

    python3 tools/check_load_time.py [--tools PREFIX] BINARY...

A compiler turns a namespace-scope object that needs a constructor or a
destructor into a function that the loader runs (GCC names it
_GLOBAL__sub_I_... or _GLOBAL__sub_D_...), and a destructor of a static object
into a call of atexit or one of its kin. Either one in code of ours fails the
check: the module's records and locks must be laid out when it is built.
Code of the toolchain's own static runtime (mingw links libstdc++ into the
.pyd) is not ours and is only listed. Which code is ours is read from the
debug information: a function whose source, or a source it was inlined from,
lies in this tree. PREFIX names the binutils to use (x86_64-w64-mingw32- for a
.pyd). Prints one line per finding and exits non-zero on any of ours.
"""

import argparse
import pathlib
import re
import subprocess
import sys

TREE = pathlib.Path(__file__).resolve().parents[1]
INITIALIZER = re.compile(r"^_GLOBAL__sub_[ID]_")
# The ways a destructor gets registered: the C++ ABI's, the C runtime's, and
# mingw's own (for thread-local objects too).
REGISTRATION = re.compile(
    r"\s(?:call|jmp)\s+\S+\s+<(__cxa_atexit|__cxa_thread_atexit(?:_impl)?|atexit|_onexit|"
    r"__mingw_cxa_atexit|__mingw_cxa_thread_atexit|_register_onexit_function)(?:@plt)?>"
)
FUNCTION = re.compile(r"^([0-9a-f]+) <(.+)>:$")
INSTRUCTION = re.compile(r"^\s*([0-9a-f]+):")


def tool(prefix, name, *args):
    return subprocess.run([prefix + name, *args], check=True, capture_output=True, text=True).stdout


def sources(prefix, binary, addresses):
    """The source files of each address, the files it was inlined from included."""
    if not addresses:
        return {}
    out = tool(prefix, "addr2line", "-a", "-i", "-e", binary, *addresses).splitlines()
    found, current = {}, None
    for line in out:
        if line.startswith("0x"):
            current = format(int(line, 16), "x")
            found[current] = []
        elif current is not None:
            found[current].append(line.rsplit(":", 1)[0])
    return found


def ours(files):
    return any(f.startswith(str(TREE) + "/") for f in files)


def check(prefix, binary):
    symbols = {}
    for line in tool(prefix, "nm", "--defined-only", binary).splitlines():
        parts = line.split()
        if len(parts) == 3:
            symbols[parts[2]] = parts[0].lstrip("0") or "0"
    entry = next((name for name in symbols if name.startswith("PyInit_")), None)
    if entry is None:
        return [f"{binary}: no PyInit_ function, not a module"]
    # Without debug information nothing could be told apart: demand it first.
    if not ours(sources(prefix, binary, [symbols[entry]])[symbols[entry]]):
        return [f"{binary}: {entry} has no source in this tree: built without debug information?"]

    problems = []
    initializers = {name: address for name, address in symbols.items() if INITIALIZER.match(name)}
    where = sources(prefix, binary, list(initializers.values()))
    for name, address in sorted(initializers.items()):
        files = list(dict.fromkeys(where[address]))
        if ours(files):
            problems.append(f"{binary}: load-time initializer {name} ({', '.join(files)})")
        else:
            print(f"not ours: {name} ({', '.join(files) or 'no source'})")

    calls, function = {}, None
    for line in tool(prefix, "objdump", "-d", "--no-show-raw-insn", binary).splitlines():
        if match := FUNCTION.match(line):
            function = match.group(2)
        elif (match := REGISTRATION.search(line)) and (at := INSTRUCTION.match(line)):
            calls[at.group(1).lstrip("0")] = (function, match.group(1))
    where = sources(prefix, binary, list(calls))
    for address, (caller, callee) in sorted(calls.items()):
        if ours(where[address]):
            problems.append(
                f"{binary}: {caller} registers a destructor with {callee} ({', '.join(dict.fromkeys(where[address]))})"
            )
    return problems


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tools", default="", help="binutils prefix, e.g. x86_64-w64-mingw32-")
    parser.add_argument("binaries", nargs="+", type=pathlib.Path)
    args = parser.parse_args()
    problems = [problem for binary in args.binaries for problem in check(args.tools, str(binary))]
    for problem in problems:
        print(f"FAILED: {problem}")
    if not problems:
        print(f"ok: no code of ours runs when {', '.join(b.name for b in args.binaries)} is loaded or unloaded")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
