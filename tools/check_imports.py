#!/usr/bin/env python3
"""Reads the PE headers of the Windows extension module and checks what it
needs in order to load.

    python tools/check_imports.py FILE...

FILE is a .pyd, or a wheel whose every .pyd is checked. The module's name
carries its tag (_velmora_backend.cp314-win_amd64.pyd, cp314t for the
free-threaded interpreter, win_arm64 for Windows on Arm), and the file must
be what its tag says: the machine type of that architecture, and among its
imports the DLL of that interpreter. It exports exactly
PyInit__velmora_backend, and imports (delay-loaded ones included) no DLL but
that interpreter's DLL, the C runtime DLLs that the interpreter's installer
puts beside it (vcruntime140.dll, vcruntime140_1.dll) and Windows' own DLLs
and API sets. A C++ runtime DLL (MSVCP140.dll, or a mingw one) is outside the
set: CPython does not ship it, and a machine without the Visual C++
redistributable would fail the import with "DLL load failed".

The import table is read, not what happens to load on this machine: a runner
with the redistributable in System32 loads a module that a bare machine
refuses. Prints what it read and one line per check; exits non-zero when any
check fails or a file is no PE image.
"""

import pathlib
import re
import struct
import sys
import zipfile

EXPORTS = ["PyInit__velmora_backend"]
MACHINES = {"amd64": 0x8664, "arm64": 0xAA64}
TAG = re.compile(r"\.cp(\d+)(t?)-win_(amd64|arm64)\.pyd$")
INTERPRETER_RUNTIME = {"vcruntime140.dll", "vcruntime140_1.dll"}
# Windows' own DLLs, the API sets of the Universal C runtime and of the
# Windows Runtime among them. msvcrt.dll is the system's C library that
# mingw-w64 links against, part of every Windows since NT.
SYSTEM = re.compile(
    r"^(kernel32|kernelbase|ntdll|user32|advapi32|ole32|oleaut32|combase|msvcrt|ucrtbase"
    r"|api-ms-win-[a-z0-9-]+)\.dll$",
    re.IGNORECASE,
)

EXPORT_DIRECTORY, IMPORT_DIRECTORY, DELAY_IMPORT_DIRECTORY = 0, 1, 13


class NotAnImage(Exception):
    pass


class Image:
    """The parts of a PE image that say what it exports and imports."""

    def __init__(self, data: bytes):
        self.data = data
        if data[:2] != b"MZ":
            raise NotAnImage("no MZ header")
        (pe,) = self.unpack("<I", 0x3C)
        if data[pe : pe + 4] != b"PE\0\0":
            raise NotAnImage("no PE signature")
        self.machine, sections, _, _, _, optional_size, _ = self.unpack("<HHIIIHH", pe + 4)
        optional = pe + 24
        (magic,) = self.unpack("<H", optional)
        # PE32+ (64-bit) or PE32: where the image base and the data directories sit.
        if magic == 0x20B:
            (self.image_base,) = self.unpack("<Q", optional + 24)
            count_at = optional + 108
        elif magic == 0x10B:
            (self.image_base,) = self.unpack("<I", optional + 28)
            count_at = optional + 92
        else:
            raise NotAnImage(f"unknown optional header magic 0x{magic:X}")
        (count,) = self.unpack("<I", count_at)
        self.directories = [self.unpack("<II", count_at + 4 + 8 * i) for i in range(min(count, 16))]
        table = optional + optional_size
        self.sections = [self.unpack("<IIII", table + 40 * i + 8) for i in range(sections)]

    def unpack(self, layout, offset):
        end = offset + struct.calcsize(layout)
        if offset < 0 or end > len(self.data):
            raise NotAnImage(f"truncated: {layout} at offset {offset} of {len(self.data)} bytes")
        return struct.unpack_from(layout, self.data, offset)

    def offset(self, rva):
        for size, address, raw_size, raw in self.sections:
            if address <= rva < address + max(size, raw_size):
                return rva - address + raw
        raise NotAnImage(f"address 0x{rva:X} lies in no section")

    def string(self, rva):
        start = self.offset(rva)
        end = self.data.find(b"\0", start)
        if end < 0:
            raise NotAnImage(f"unterminated name at 0x{rva:X}")
        return self.data[start:end].decode("ascii", "replace")

    def directory(self, index):
        rva, size = self.directories[index] if index < len(self.directories) else (0, 0)
        return self.offset(rva) if rva and size else None

    def exports(self):
        at = self.directory(EXPORT_DIRECTORY)
        if at is None:
            return []
        functions, names, _, name_table = self.unpack("<IIII", at + 20)
        exported = [self.string(self.unpack("<I", self.offset(name_table) + 4 * i)[0]) for i in range(names)]
        # An export by ordinal only has no name: list it, so that it counts.
        return exported + [f"#ordinal {i}" for i in range(functions - names)]

    def imports(self):
        """The DLLs of the import table, then the delay-loaded ones."""
        dlls = []
        at = self.directory(IMPORT_DIRECTORY)
        while at is not None:
            original, _, _, name, first = self.unpack("<IIIII", at)
            if not (original or name or first):
                break
            dlls.append(self.string(name))
            at += 20
        at = self.directory(DELAY_IMPORT_DIRECTORY)
        while at is not None:
            attributes, name = self.unpack("<II", at)
            if not (attributes or name):
                break
            # Attributes bit 0 clear: the old form, which holds addresses, not RVAs.
            dlls.append(self.string(name if attributes & 1 else name - self.image_base))
            at += 32
        return dlls


def check(label, name, data):
    """Prints what the module of that file name and contents exports and
    imports, and a line per check; the number of failed checks."""
    try:
        image = Image(data)
        exports, imports = image.exports(), image.imports()
    except NotAnImage as error:
        print(f"FAILED: {label}: not a PE image ({error})")
        return 1
    print(
        f"{label}: machine 0x{image.machine:04X}, exports {', '.join(exports) or 'nothing'}; "
        f"imports {', '.join(imports) or 'nothing'}"
    )
    tag = TAG.search(name)
    if tag is None:
        print(f"FAILED: {label}: the file name carries no cpXY-win_ARCH tag")
        return 1
    version, free_threaded, architecture = tag.groups()
    interpreter = f"python{version}{free_threaded}.dll"
    allowed = {interpreter, *INTERPRETER_RUNTIME}
    outside = [dll for dll in imports if dll.lower() not in allowed and not SYSTEM.match(dll)]
    checks = [
        (f"is an {architecture} image", image.machine == MACHINES[architecture]),
        (f"exports exactly {', '.join(EXPORTS)}", exports == EXPORTS),
        (f"imports {interpreter}", interpreter in [dll.lower() for dll in imports]),
        (
            "imports no DLL but the interpreter's, its C runtime's and Windows' own"
            + (f" (outside: {', '.join(outside)})" if outside else ""),
            not outside,
        ),
    ]
    for what, ok in checks:
        print(f"{'ok' if ok else 'FAILED'}: {label} {what}")
    return sum(not ok for _, ok in checks)


def main(paths):
    if not paths:
        sys.exit(__doc__.split("\n\n")[1])
    failed = 0
    for path in map(pathlib.Path, paths):
        if path.suffix == ".whl":
            with zipfile.ZipFile(path) as wheel:
                modules = [entry for entry in wheel.namelist() if entry.endswith(".pyd")]
                if not modules:
                    print(f"FAILED: {path.name} holds no .pyd")
                    failed += 1
                for entry in modules:
                    failed += check(f"{path.name}:{entry}", entry, wheel.read(entry))
        else:
            failed += check(path.name, path.name, path.read_bytes())
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
