#!/usr/bin/env python3
"""Checks that what the Windows workflow runs is in the repository and is run
here too: every file a `run:` step or a cibuildwheel command names exists, and
each such script is one that tools/test, or a script of tools/ that it runs,
also runs. Every action is pinned to a version, cibuildwheel's to the
release of the development tools (pyproject.toml). Every architecture of
cibuildwheel's build list has a wheels job on a runner of that architecture,
and no such job builds another.

    python3 tools/check_workflow.py WORKFLOW PYPROJECT
"""

import pathlib
import re
import sys
import tomllib

import yaml

TREE = pathlib.Path(__file__).resolve().parents[1]
# A path into the tree as a command names it, bare or behind {project}/.
PATH = re.compile(r"(?:\{project\}/)?((?:tools|tests|examples|src)/[\w./-]+)")


# cibuildwheel's name of an architecture, its wheel tag and the runner images of it.
ARCHITECTURES = {
    "AMD64": ("win_amd64", ("windows-2022", "windows-2025", "windows-latest")),
    "ARM64": ("win_arm64", ("windows-11-arm",)),
}


def architecture_problems(identifiers, jobs):
    rows = [row for job in jobs for row in job.get("strategy", {}).get("matrix", {}).get("include", [])]
    built = {row.get("arch") for row in rows}
    problems = [
        f"{row.get('arch')} wheels are built on {row.get('image')}, not on a runner of that architecture"
        for row in rows
        if row.get("image") not in ARCHITECTURES.get(row.get("arch"), ("", ()))[1]
    ]
    for arch, (tag, _) in ARCHITECTURES.items():
        wanted = any(identifier.endswith(tag) for identifier in identifiers)
        if wanted != (arch in built):
            problems.append(
                f"cibuildwheel's build list {'asks for' if wanted else 'has no'} {tag} wheels, "
                f"and {'no' if wanted else 'a'} wheels job builds {arch}"
            )
    return problems


def main():
    workflow = yaml.safe_load(pathlib.Path(sys.argv[1]).read_text(encoding="utf-8"))
    pyproject = tomllib.loads(pathlib.Path(sys.argv[2]).read_text(encoding="utf-8"))
    # tools/test asks cibuildwheel of the development tools what it builds.
    pinned = dict(pin.split("==") for pin in pyproject.get("dependency-groups", {}).get("dev", []) if "==" in pin)
    commands, actions, wheel_jobs, problems = [], [], [], []
    for job in workflow["jobs"].values():
        for step in job["steps"]:
            if "run" in step:
                commands.append(step["run"])
            if "uses" in step:
                actions.append(step["uses"])
            if step.get("uses", "").startswith("pypa/cibuildwheel@"):
                cibuildwheel = pyproject["tool"]["cibuildwheel"]
                for table in [cibuildwheel, *cibuildwheel.get("overrides", [])]:
                    for key in ("test-command", "repair-wheel-command"):
                        value = table.get(key, [])
                        commands += [value] if isinstance(value, str) else value
                wheel_jobs.append(job)
                if step["uses"].removeprefix("pypa/cibuildwheel@v") != pinned.get("cibuildwheel"):
                    problems.append(
                        f"{step['uses']} is not the cibuildwheel {pinned.get('cibuildwheel')} of the development tools"
                    )
                if step.get("env", {}).get("CIBW_ARCHS") != "${{ matrix.arch }}":
                    problems.append("the cibuildwheel step does not take CIBW_ARCHS from its job's matrix")

    test = (TREE / "tools" / "test").read_text(encoding="utf-8")
    here = test + "".join(
        (TREE / path).read_text(encoding="utf-8")
        for path in set(re.findall(r"tools/[\w-]+", test))
        if (TREE / path).is_file()
    )
    problems += architecture_problems(pyproject["tool"]["cibuildwheel"]["build"], wheel_jobs)
    named = [path for command in commands for path in PATH.findall(command)]
    if not named:
        problems.append("the workflow runs nothing from the repository")
    for path in named:
        if not (TREE / path).exists():
            problems.append(f"{path} does not exist")
        elif path not in here:
            problems.append(f"{path} is not run by tools/test")
    problems += [f"action {action} is not pinned to a version" for action in actions if "@" not in action]
    for problem in problems:
        print(f"check_workflow: {problem}", file=sys.stderr)
    if not problems:
        print(
            f"workflow: {len(commands)} commands name {', '.join(sorted(set(named)))}, all here and run by tools/test;"
            f" {len(actions)} actions pinned"
        )
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
