"""A tour of _velmora_backend: register a task from XML, check it, run it,
delete it, then show how each kind of scheduler failure reaches Python.

On Linux the module talks to the project's simulated Task Scheduler, whose
control module `_winsim` also lets this demo script an access-denied answer;
on Windows it talks to the real one.
"""

import pathlib

import _velmora_backend as backend
from velmora.errors import TaskPermissionError, TaskSchedulerError

try:
    import _winsim
except ImportError:
    _winsim = None

TASK = "Velmora demo task"
XML = pathlib.Path(__file__).with_name("hello_task.xml").read_text(encoding="utf-8")
E_ACCESSDENIED = 0x80070005


def show_failure(error: TaskSchedulerError) -> None:
    print(f"  raised {type(error).__name__}")
    print(f"    step:    {error.step}")
    print(f"    HRESULT: 0x{error.hresult:08X}")
    print(f"    message: {error.message}")


def tour() -> None:
    print(f"Registering {TASK!r} from {len(XML)} characters of task XML")
    backend.register_xml(TASK, XML)
    print(f"  task_exists({TASK!r}) -> {backend.task_exists(TASK)}")

    print(f"Running {TASK!r}")
    backend.run_task(TASK)
    if _winsim is not None:
        print(f"  the simulated scheduler has started it {_winsim.run_counts()[TASK]} time(s)")
    else:
        print("  started (run_task does not wait for the task to finish)")

    print(f"Deleting {TASK!r}")
    backend.delete_task(TASK)
    print(f"  task_exists({TASK!r}) -> {backend.task_exists(TASK)}")


def failures() -> None:
    print()
    print("Running a task that is not registered:")
    try:
        backend.run_task("Velmora missing task")
    except TaskSchedulerError as error:
        show_failure(error)

    print()
    print("Registering a task where the scheduler refuses access:")
    if _winsim is None:
        print("  (needs the simulated scheduler to script the refusal; skipped)")
        return
    _winsim.script("RegisterTask", E_ACCESSDENIED)
    try:
        backend.register_xml(TASK, XML)
    except TaskPermissionError as error:
        show_failure(error)
        print(f"    (TaskPermissionError is a TaskSchedulerError: {isinstance(error, TaskSchedulerError)})")
    print(f"  task_exists({TASK!r}) -> {backend.task_exists(TASK)}")


if __name__ == "__main__":
    tour()
    failures()
