"""Writes the module-definition file of an import library for python314.dll.

It lists exactly the C API symbols that the given object files import
(references to __imp_Py... and __imp__Py...), each marked DATA when the public
headers declare it with PyAPI_DATA. A symbol that the public headers do not
declare at all is an error: the real python314.dll would not export it, or
only as an internal detail that an extension module must not rely on.
"""

import argparse
import pathlib
import re
import subprocess
import sys

DECLARATION = re.compile(r"PyAPI_(FUNC|DATA)\s*\((?:[^()]|\([^()]*\))*\)\s*(?:_Py_NO_RETURN\s+)?([A-Za-z_]\w*)")
IMPORT = re.compile(r"^\s*U\s+__imp_(_?Py\w*)$")


def public_declarations(headers: pathlib.Path) -> dict[str, str]:
    kinds: dict[str, str] = {}
    for header in sorted(headers.rglob("*.h")):
        if "internal" in header.relative_to(headers).parts:
            continue
        for kind, name in DECLARATION.findall(header.read_text(encoding="utf-8", errors="replace")):
            kinds.setdefault(name, kind)
    return kinds


def imported_symbols(nm: str, objects: list[str]) -> set[str]:
    listing = subprocess.run([nm, "-u", *objects], check=True, capture_output=True, text=True).stdout
    return {m.group(1) for line in listing.splitlines() if (m := IMPORT.match(line))}


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--nm", required=True)
    parser.add_argument("--headers", required=True, type=pathlib.Path)
    parser.add_argument("--output", required=True, type=pathlib.Path)
    parser.add_argument("objects", nargs="+")
    args = parser.parse_args()

    kinds = public_declarations(args.headers)
    symbols = imported_symbols(args.nm, args.objects)
    undeclared = sorted(s for s in symbols if s not in kinds)
    if undeclared:
        print("not in the public C API of CPython 3.14: " + ", ".join(undeclared), file=sys.stderr)
        return 1

    lines = ["LIBRARY python314.dll", "EXPORTS"]
    lines += [f"    {s} DATA" if kinds[s] == "DATA" else f"    {s}" for s in sorted(symbols)]
    args.output.write_text("\n".join(lines) + "\n", encoding="ascii")
    return 0


if __name__ == "__main__":
    sys.exit(main())
