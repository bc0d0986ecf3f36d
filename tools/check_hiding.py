#!/usr/bin/env python3
"""Finds the names that MSVC's level-4 hiding warnings reject in the product code.

    python3 tools/check_hiding.py BUILD_DIR

MSVC warns, and /WX fails the build, where a parameter or a local variable
takes the name of a data member of the class whose member function declares
it, static data members included (C4458), or the name
of a variable or namespace declared at an enclosing namespace scope (C4459),
wherever that is declared in the file. GCC and clang say nothing about most
of these, so the product sources are parsed with libclang, using the compile
commands of BUILD_DIR, and every such declaration is listed. (A local that
hides another local or a parameter, C4456 and C4457, is clang's -Wshadow,
which the strict build turns on.) Exits non-zero when anything is found.
"""

import json
import pathlib
import shlex
import sys

from clang import cindex

TREE = pathlib.Path(__file__).resolve().parents[1]
# The code that MSVC compiles: everything but the simulation.
PRODUCT = [TREE / "src" / part for part in ("module", "scheduler", "failures", "platform")]

K = cindex.CursorKind
FUNCTIONS = {K.FUNCTION_DECL, K.CXX_METHOD, K.CONSTRUCTOR, K.DESTRUCTOR, K.FUNCTION_TEMPLATE, K.CONVERSION_FUNCTION}
CLASSES = {K.CLASS_DECL, K.STRUCT_DECL, K.CLASS_TEMPLATE, K.CLASS_TEMPLATE_PARTIAL_SPECIALIZATION}
NAMESPACES = {K.NAMESPACE, K.TRANSLATION_UNIT}
DECLARED = {K.PARM_DECL, K.VAR_DECL}


def in_product(cursor):
    location = cursor.location.file
    return location is not None and any(pathlib.Path(location.name).resolve().is_relative_to(p) for p in PRODUCT)


def enclosing(cursor, kinds):
    parent = cursor.semantic_parent
    while parent is not None and parent.kind not in kinds:
        parent = parent.semantic_parent
    return parent


def namespace_chain(cursor):
    """USRs of the namespaces that enclose a declaration, innermost first."""
    chain = []
    scope = enclosing(cursor, NAMESPACES)
    while scope is not None:
        chain.append(scope.get_usr() or "<translation unit>")
        scope = enclosing(scope, NAMESPACES)
    return chain


def class_members(cls, seen=None):
    """Names of the data members, static ones included, of a class and its bases."""
    seen = set() if seen is None else seen
    if cls is None or cls.get_usr() in seen:
        return set()
    seen.add(cls.get_usr())
    names = set()
    for child in cls.get_children():
        if child.kind in (K.FIELD_DECL, K.VAR_DECL):
            names.add(child.spelling)
        elif child.kind == K.CXX_BASE_SPECIFIER and child.referenced is not None:
            names |= class_members(child.referenced, seen)
    return names


def namespace_scope_names(root):
    """Variables, namespaces and namespace aliases declared at namespace scope,
    by name, each with the USR of the namespace that declares it."""
    names = {}

    def visit(cursor):
        for child in cursor.get_children():
            if child.kind in (K.VAR_DECL, K.NAMESPACE, K.NAMESPACE_ALIAS) and child.spelling:
                names.setdefault(child.spelling, set()).add(namespace_chain(child)[0])
            if child.kind in (K.NAMESPACE, K.LINKAGE_SPEC, K.UNEXPOSED_DECL):
                visit(child)

    visit(root)
    return names


def declarations_inside(function):
    """Every parameter and local variable of a function, lambdas included."""
    stack = list(function.get_children())
    while stack:
        cursor = stack.pop()
        if cursor.kind in DECLARED and cursor.spelling:
            yield cursor
        if cursor.kind not in CLASSES:
            stack.extend(cursor.get_children())


def findings(unit):
    globals_ = namespace_scope_names(unit.cursor)
    found = set()
    functions = []
    stack = list(unit.cursor.get_children())
    while stack:
        cursor = stack.pop()
        if cursor.kind in FUNCTIONS:
            if in_product(cursor):
                functions.append(cursor)
        elif cursor.kind in NAMESPACES or cursor.kind in CLASSES or cursor.kind == K.LINKAGE_SPEC:
            stack.extend(cursor.get_children())
    for function in functions:
        cls = enclosing(function, CLASSES | NAMESPACES)
        members = class_members(cls) if cls is not None and cls.kind in CLASSES else set()
        scopes = set(namespace_chain(function))
        for declared in declarations_inside(function):
            name = declared.spelling
            where = f"{declared.location.file.name}:{declared.location.line}"
            if name in members:
                found.add(f"{where}: '{name}' hides a member of {cls.spelling} (MSVC C4458)")
            elif globals_.get(name, set()) & scopes:
                found.add(f"{where}: '{name}' hides a namespace-scope declaration (MSVC C4459)")
    return found


def main():
    build = pathlib.Path(sys.argv[1])
    commands = json.loads((build / "compile_commands.json").read_text(encoding="utf-8"))
    index = cindex.Index.create()
    problems, parsed = set(), 0
    for entry in commands:
        source = pathlib.Path(entry["directory"], entry["file"]).resolve()
        if not any(source.is_relative_to(p) for p in PRODUCT):
            continue
        arguments = shlex.split(entry["command"])[1:]
        # Drop the output, the source itself and the warnings; keep defines,
        # includes and the standard.
        kept, skip = [], False
        for argument in arguments:
            if skip:
                skip = False
            elif argument in ("-o", "-c", "-MF", "-MT", "-MQ"):
                skip = argument != "-c"
            elif argument.startswith("-W"):
                continue  # warnings are the compiler's business; a warning must not stop the parse
            elif argument != entry["file"] and pathlib.Path(entry["directory"], argument).resolve() != source:
                kept.append(argument)
        unit = index.parse(str(source), args=kept)
        errors = [d for d in unit.diagnostics if d.severity >= cindex.Diagnostic.Error]
        if errors:
            problems.add(f"{source}: libclang could not parse it: {errors[0]}")
            continue
        parsed += 1
        problems |= findings(unit)
    if parsed == 0:
        problems.add(f"no product source found in {build / 'compile_commands.json'}")
    for problem in sorted(problems):
        print(f"FAILED: {problem}")
    if not problems:
        print(f"ok: {parsed} product sources, no parameter or local hides a member or a namespace-scope name")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
