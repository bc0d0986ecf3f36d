#!/usr/bin/env python3
"""Checks that what the Windows workflow runs is in the repository and is run
here too: every file a `run:` step or the cibuildwheel test command names
exists, and each such script is one that tools/test also runs. Every action
is pinned to a version.

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


def main():
    workflow = yaml.safe_load(pathlib.Path(sys.argv[1]).read_text(encoding="utf-8"))
    pyproject = tomllib.loads(pathlib.Path(sys.argv[2]).read_text(encoding="utf-8"))
    commands, actions = [], []
    for job in workflow["jobs"].values():
        for step in job["steps"]:
            if "run" in step:
                commands.append(step["run"])
            if "uses" in step:
                actions.append(step["uses"])
            if step.get("uses", "").startswith("pypa/cibuildwheel@"):
                cibuildwheel = pyproject["tool"]["cibuildwheel"]
                commands.append(cibuildwheel["test-command"])
                commands += [o["test-command"] for o in cibuildwheel.get("overrides", []) if "test-command" in o]

    here = (TREE / "tools" / "test").read_text(encoding="utf-8")
    problems = []
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
        print(f"workflow: {len(commands)} commands name {', '.join(sorted(set(named)))}, all here and run by tools/test;"
              f" {len(actions)} actions pinned")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
