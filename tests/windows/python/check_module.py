"""Checks the Windows build of the extension module from its PE headers.

The interpreter finds the module by its file name and calls the one function
PyInit__velmora_backend; nothing else may be exported. The module must load
with python314.dll and the system's own DLLs only: the compiler's runtime is
linked in, so no mingw DLL may be imported. Prints one line per check and
exits non-zero when any fails.
"""

import re
import subprocess
import sys

EXPECTED_EXPORTS = ["PyInit__velmora_backend"]
INTERPRETER = "python314.dll"
# Windows' own DLLs, including the API sets of the Universal C runtime.
SYSTEM_DLL = re.compile(r"^(kernel32|user32|advapi32|ole32|oleaut32|combase|msvcrt|ucrtbase|ntdll"
                        r"|api-ms-win-[a-z0-9-]+)\.dll$", re.IGNORECASE)


def sections(dump: str) -> tuple[list[str], list[str]]:
    exports: list[str] = []
    imports: list[str] = []
    in_names = False
    for line in dump.splitlines():
        if line.startswith("[Ordinal/Name Pointer] Table"):
            in_names = True
            continue
        if in_names:
            # "[   0] +base[   1]  0000 PyInit_name": index, ordinal, hint, name.
            match = re.match(r"^\s+\[\s*\d+\]\s+(?:\+base\[\s*\d+\]\s+)?(?:[0-9a-fA-F]{4}\s+)?(\S+)$", line)
            if match:
                exports.append(match.group(1))
            elif not line.strip():
                in_names = False
            continue
        match = re.match(r"^\s+DLL Name:\s+(\S+)$", line)
        if match:
            imports.append(match.group(1))
    return exports, imports


def main() -> int:
    objdump, module = sys.argv[1], sys.argv[2]
    dump = subprocess.run([objdump, "-p", module], check=True, capture_output=True, text=True).stdout
    exports, imports = sections(dump)

    checks = [
        ("exports exactly " + ", ".join(EXPECTED_EXPORTS), exports == EXPECTED_EXPORTS,
         "exports: " + (", ".join(exports) or "none")),
        ("imports " + INTERPRETER, any(d.lower() == INTERPRETER for d in imports),
         "imports: " + ", ".join(imports)),
        ("imports no DLL but the interpreter's and the system's",
         all(d.lower() == INTERPRETER or SYSTEM_DLL.match(d) for d in imports),
         "imports: " + ", ".join(imports)),
    ]
    failed = 0
    for name, ok, detail in checks:
        print(f"{'ok' if ok else 'FAILED'}: module {name}" + ("" if ok else f" ({detail})"))
        failed += not ok
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
