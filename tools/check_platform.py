#!/usr/bin/env python3
"""Installs _velmora_backend and checks it as a user gets it.

    python tools/check_platform.py --interpreter KIND                pip-installs this tree (with pytest) into a
                                                                    new virtual environment in a temporary folder
    python tools/check_platform.py --interpreter KIND --wheel WHEEL  installs that wheel there instead, offline;
                                                                    the environment sees this interpreter's
                                                                    pytest and mypy
    python tools/check_platform.py --interpreter KIND --installed    checks the module this interpreter has

KIND is the interpreter the run must be on: "gil" or "free-threaded". Then,
from a folder outside the tree: on Windows reads the installed module's
import table (tools/check_imports.py), imports the module and checks that it, its
type stub and every library it loads come from the installation, and that the
interpreter is of that kind (a free-threaded one still without its GIL once
the module is imported); runs mypy's stubtest against the installed stub (mypy
is installed when missing; where it does not install on a free-threaded
interpreter, stubtest is skipped there and says so), the platform suite
(tests/platform) and the demo. On Windows the suite and the demo work on the
machine's own Task Scheduler: their tasks are made in the root folder under a
prefix unique to the run, and deleted again. Stops at the first failure.
"""

import argparse
import os
import pathlib
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import venv

TREE = pathlib.Path(__file__).resolve().parents[1]

# Run by the installed interpreter: where the module, its stub and the
# libraries it brought in come from, and what kind of interpreter runs it.
# Prints the stub's folder last.
PROBE = r"""
import pathlib, sys, sysconfig

import _velmora_backend

tree = pathlib.Path(sys.argv[1])
free_threaded = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
assert free_threaded == (sys.argv[2] == "free-threaded"), f"not a {sys.argv[2]} interpreter: {sys.version}"
# The module declares that it needs no GIL: importing it must not turn it on.
assert sys._is_gil_enabled() is not free_threaded, f"the GIL is {'on' if sys._is_gil_enabled() else 'off'}"
site = pathlib.Path(sysconfig.get_paths()["platlib"]).resolve()
module = pathlib.Path(_velmora_backend.__file__).resolve()
assert module.parent == site, f"the module is {module}, not in {site}"
stub = site / "_velmora_backend.pyi"
assert stub.is_file(), f"no type stub {stub}"


def loaded_libraries():
    if sys.platform == "win32":
        import ctypes
        from ctypes import wintypes

        kernel32 = ctypes.WinDLL("kernel32", use_last_error=True)
        psapi = ctypes.WinDLL("psapi", use_last_error=True)
        kernel32.GetCurrentProcess.restype = wintypes.HANDLE
        kernel32.GetModuleFileNameW.argtypes = [wintypes.HMODULE, wintypes.LPWSTR, wintypes.DWORD]
        psapi.EnumProcessModules.argtypes = [wintypes.HANDLE, ctypes.POINTER(wintypes.HMODULE), wintypes.DWORD,
                                             ctypes.POINTER(wintypes.DWORD)]
        modules = (wintypes.HMODULE * 4096)()
        needed = wintypes.DWORD()
        if not psapi.EnumProcessModules(kernel32.GetCurrentProcess(), modules, ctypes.sizeof(modules),
                                        ctypes.byref(needed)):
            raise ctypes.WinError(ctypes.get_last_error())
        name = ctypes.create_unicode_buffer(32768)
        for handle in modules[: needed.value // ctypes.sizeof(wintypes.HMODULE)]:
            if kernel32.GetModuleFileNameW(handle, name, len(name)):
                yield pathlib.Path(name.value)
    else:
        with open("/proc/self/maps") as maps:
            for line in maps:
                path = line.split(maxsplit=5)[5:]
                if path and path[0].startswith("/") and ".so" in path[0]:
                    yield pathlib.Path(path[0].strip())


# The installation, the interpreter's own files and the system's libraries;
# nothing else, and never this source tree or its build folders. An
# environment made by virtualenv (cibuildwheel's) holds copies of the
# interpreter's DLLs and extension modules beside its Scripts folder.
system = [pathlib.Path(sys.base_prefix).resolve(), pathlib.Path(sys.prefix).resolve()]
if sys.platform == "win32":
    system.append(pathlib.Path(__import__("os").environ["SystemRoot"]).resolve())
else:
    system += [pathlib.Path(p) for p in ("/lib", "/lib64", "/usr/lib", "/usr/lib64")]
libraries = sorted({p.resolve() for p in loaded_libraries()})
ours = [p for p in libraries if site in p.parents]
foreign = [p for p in libraries if tree in p.parents or not any(d in p.parents for d in [site, *system])]
assert not foreign, f"loaded from outside the installation: {foreign}"
print(f"{module.name} with its stub; from {site}: {', '.join(p.name for p in ours)}")
print(f"{'free-threaded' if free_threaded else 'GIL'} interpreter {sys.version.split()[0]}, "
      f"GIL {'enabled' if sys._is_gil_enabled() else 'disabled'} after the import")
print(site)
"""


def run(step, command, **options):
    print(f"== {step}", flush=True)
    done = subprocess.run(command, **options)
    if done.returncode != 0:
        if done.stderr:
            print(done.stderr, end="", file=sys.stderr)
        sys.exit(f"check_platform: {step} failed with exit code {done.returncode}")
    return done


def make_environment(folder, wheel):
    """A new virtual environment in `folder` with the module installed; its
    interpreter."""
    # Offline, the test tools come from the interpreter that runs this script.
    venv.create(folder, with_pip=wheel is None, system_site_packages=wheel is not None, clear=True)
    python = folder / ("Scripts/python.exe" if sys.platform == "win32" else "bin/python")
    if wheel is None:
        run("pip install . pytest", [python, "-m", "pip", "install", str(TREE), "pytest"])
    else:
        run(
            f"install {wheel.name}",
            [python, "-m", "pip", "install", "--no-index", "--no-deps", "--no-cache-dir", "-q", str(wheel)],
        )
    return python


def have_mypy(python, kind, options):
    """Whether stubtest can run: mypy is there, or installs now. mypy's
    compiled dependencies may publish no wheels for a free-threaded
    interpreter; there, and only there, a failed install skips stubtest and
    says why. Anywhere else it fails the check."""
    if subprocess.run([python, "-c", "import mypy.stubtest"], capture_output=True, **options).returncode == 0:
        return True
    print("== pip install mypy", flush=True)
    done = subprocess.run([python, "-m", "pip", "install", "mypy"], capture_output=True, text=True, **options)
    if done.returncode == 0:
        return True
    if kind != "free-threaded":
        print(done.stdout + done.stderr, end="", file=sys.stderr)
        sys.exit(f"check_platform: pip install mypy failed with exit code {done.returncode}")
    last = "\n    ".join((done.stdout + done.stderr).strip().splitlines()[-5:])
    print(
        f"check_platform: stubtest SKIPPED on this free-threaded interpreter: mypy does not install here "
        f"(pip exit code {done.returncode}):\n    {last}",
        flush=True,
    )
    return False


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--interpreter",
        required=True,
        choices=["gil", "free-threaded"],
        help="the kind of interpreter this run must be on",
    )
    source = parser.add_mutually_exclusive_group()
    source.add_argument("--wheel", type=pathlib.Path, help="install this wheel, offline")
    source.add_argument("--installed", action="store_true", help="check this interpreter's module as it is")
    args = parser.parse_args()

    environment = {key: value for key, value in os.environ.items() if key not in ("PYTHONPATH", "PYTHONHOME")}
    with tempfile.TemporaryDirectory() as outside:
        if not args.installed:
            # The checks below, run by the new environment's own interpreter.
            python = make_environment(pathlib.Path(outside, "venv"), args.wheel and args.wheel.resolve())
            run(
                "checks in the new environment",
                [python, str(pathlib.Path(__file__).resolve()), "--interpreter", args.interpreter, "--installed"],
                cwd=outside,
                env=environment,
            )
            return
        options = {"cwd": outside, "env": environment}
        python = sys.executable
        if sys.platform == "win32":
            # What the module needs in order to load, read before it is loaded:
            # this machine may have DLLs that a bare one lacks.
            site = pathlib.Path(sysconfig.get_paths()["platlib"])
            run(
                "the installed module's import table",
                [python, str(TREE / "tools" / "check_imports.py"), *map(str, site.glob("_velmora_backend*.pyd"))],
                **options,
            )
        probe = run(
            "the installed module, its stub, what it loads and the interpreter",
            [python, "-c", PROBE, str(TREE), args.interpreter],
            capture_output=True,
            text=True,
            **options,
        )
        *report, site = probe.stdout.splitlines()
        print("\n".join(report), flush=True)
        # mypy refuses site-packages as a stub path: a copy of the installed stub.
        stubs = pathlib.Path(outside, "stubs")
        stubs.mkdir()
        shutil.copy(pathlib.Path(site, "_velmora_backend.pyi"), stubs)
        stubtest = have_mypy(python, args.interpreter, options)
        if stubtest:
            run(
                "stubtest",
                [python, "-m", "mypy.stubtest", "_velmora_backend"],
                cwd=outside,
                env={**environment, "MYPYPATH": str(stubs)},
            )
        run(
            "platform suite",
            [python, "-m", "pytest", "-q", "-p", "no:cacheprovider", str(TREE / "tests" / "platform")],
            **options,
        )
        run("demo", [python, str(TREE / "examples" / "demo.py")], **options)
    print("check_platform: every check passed" + ("" if stubtest else " but stubtest, which was skipped (above)"))


if __name__ == "__main__":
    main()
