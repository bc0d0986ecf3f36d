"""Sixteen Python threads call the four functions at once while scripted
failures, paused steps and apartments vary.

Every result and every exception is checked: a thread knows which of its own
tasks are registered, and the scripted failures that were used up must be
exactly what was scripted, each step's queue consumed front first, one entry
per call, whichever thread made the call. Each thread checks its own COM
initialisation after every call; the round ends with no live object and no
misuse. VELMORA_STRESS_ROUNDS and VELMORA_STRESS_OPS (calls per thread and
round) set the size.
"""

import collections
import os
import random
import threading
import time

import pytest

import _velmora_backend as backend
import _winsim
from support import (
    E_ACCESSDENIED,
    E_OUTOFMEMORY,
    OPENING,
    OWN,
    OWN_STEPS,
    POINTER_STEPS,
    TASK_XML,
    display_text,
    hex_code,
)
from velmora.errors import TaskPermissionError, TaskSchedulerError

THREADS = 16
ROUNDS = int(os.environ.get("VELMORA_STRESS_ROUNDS", "50"))
OPS = int(os.environ.get("VELMORA_STRESS_OPS", "60"))
SEED = int(os.environ.get("VELMORA_STRESS_SEED", "20261208"))

NOT_FOUND = 0x80070002
MALFORMED_XML = 0x8004131A
XML = TASK_XML
MISSING = "The system cannot find the file specified. (0x80070002)"
MEMORY_TEXT = "No memory left."

# Scriptable steps, the log entry that counts a call of each, and whether the
# step hands back a pointer.
STEPS = {
    step: (entry, step in POINTER_STEPS) for entry, step in OPENING + [call for own in OWN.values() for call in own]
}
STEPS["SysAllocStringLen"] = ("SysAllocStringLen(", True)


def fault_text(message):
    return (
        "called `Result::unwrap()` on an `Err` value: "
        f'Error {{ code: HRESULT({hex_code(E_OUTOFMEMORY)}), message: "{message}" }}'
    )


def script_round(rng, round_number, combase):
    """Scripts random failures; returns the entries in queue order as
    (step, count, what a call that takes one must raise)."""
    entries = []
    _winsim.set_message(E_OUTOFMEMORY, MEMORY_TEXT + "\r\n")
    for k in range(rng.randrange(8, 32)):
        step = rng.choice(list(STEPS))
        count = rng.randrange(1, 7)
        tag = f"{round_number}.{k}"
        shape = rng.choice(["bare", "no-text", "plain", "restricted", "restricted-other", "null-out"])
        if shape == "null-out" and not STEPS[step][1]:
            shape = "bare"
        if step == "SysAllocStringLen":
            if shape == "restricted":
                _winsim.script(
                    step,
                    E_OUTOFMEMORY,
                    count=count,
                    error=("restricted", "", E_OUTOFMEMORY, f"Short of memory {tag}\r\n"),
                )
                message = f"Short of memory {tag}"
            elif shape == "null-out":
                _winsim.script(step, 0, null_out=True, count=count)
                message = MEMORY_TEXT
            else:
                _winsim.script(step, E_OUTOFMEMORY, count=count)
                message = MEMORY_TEXT
            entries.append((step, count, ("PanicException", fault_text(message))))
            continue
        # Every fifth entry is an access-denied failure, with the system's own text.
        code = E_ACCESSDENIED if k % 5 == 0 else 0x80AB0000 | (round_number << 8) | k
        system_text = f"System text {tag}."
        if code == E_ACCESSDENIED:
            system_text = "Access is denied."
            shape = "bare" if shape == "no-text" else shape
        elif shape != "no-text":
            _winsim.set_message(code, system_text + "\r\n")
        else:
            _winsim.set_message(code, None)
        error = None
        message = system_text
        if shape == "no-text":
            message = ""
        elif shape == "plain":
            error = ("plain", f"Plain {tag} \t\r\n")
            message = f"Plain {tag}" if combase else system_text
        elif shape == "restricted":
            restricted = f"Restricted {tag}\r\n" if rng.random() < 0.5 else None
            error = ("restricted", f"Description {tag}\n", code, restricted)
            message = f"Restricted {tag}" if restricted else f"Description {tag}"
        elif shape == "restricted-other":
            error = ("restricted", f"Other {tag}", code ^ 1, f"Other {tag}")
        if shape == "null-out":
            _winsim.script(step, 0, null_out=True, count=count)
            outcome = ("TaskSchedulerError", ("The operation completed successfully. (0x00000000)", 0, step))
        else:
            _winsim.script(step, code, error=error, count=count)
            name = "TaskPermissionError" if code == E_ACCESSDENIED else "TaskSchedulerError"
            outcome = (name, (display_text(message, code), code, step))
        entries.append((step, count, outcome))
    return entries


def consumed(entries, calls):
    """The outcomes the calls used up: each step's queue front first, as many
    entries as the step was called."""
    budget = dict(calls)
    used = collections.Counter()
    for step, count, outcome in entries:
        n = min(count, budget[step])
        budget[step] -= n
        used[(step, outcome)] += n
    return +used


class Worker(threading.Thread):
    def __init__(self, index, seed, ops, malformed_text, panic_type):
        super().__init__(name=f"stress-{index}")
        self.index = index
        self.rng = random.Random(seed)
        self.ops = ops
        self.malformed_text = malformed_text
        self.panic_type = panic_type
        self.problems = []
        self.scripted = collections.Counter()
        self.own = {}
        self.runs = collections.Counter()
        self.reached_low = collections.Counter()
        self.reached_high = collections.Counter()

    def problem(self, text):
        self.problems.append(f"thread {self.index}: {text}")

    def run(self):
        try:
            apartment = {1: "sta", 2: "mta"}.get(self.index % 4)
            _winsim.set_apartment(apartment)
            depth = _winsim.init_depth()
            for _ in range(self.ops):
                self.one_call()
                if _winsim.init_depth() != depth:
                    self.problem(f"init depth {_winsim.init_depth()} after a call, expected {depth}")
            _winsim.set_apartment(None)
            if _winsim.init_depth() != 0:
                self.problem("init depth not zero at the end")
        except BaseException as error:  # reported by the test thread
            self.problem(f"unexpected {error!r}")

    def reached(self, steps, low=1, high=1):
        for step in steps:
            self.reached_low[step] += low
            self.reached_high[step] += high

    def one_call(self):
        rng = self.rng
        operation = rng.choice(list(OWN_STEPS))
        shared = rng.random() < 0.2
        name = f"shared \xe9{rng.randrange(2)}" if shared else f"w{self.index}\x00\U0001f600{rng.randrange(3)}"
        bad_xml = operation == "register_xml" and rng.random() < 0.125
        xml = "<Task>" if bad_xml else f"{XML}<!-- {rng.random()} -->"
        registered = name in self.own
        steps = [
            "CoInitializeEx",
            "CoCreateInstance",
            "Connect",
            "SysAllocStringLen",
            "GetFolder",
            "SysAllocStringLen",
        ] + (["SysAllocStringLen"] if operation == "register_xml" else [])
        steps += OWN_STEPS[operation]

        try:
            if operation == "register_xml":
                result = backend.register_xml(name, xml)
            else:
                result = getattr(backend, operation)(name)
        except (TaskSchedulerError, TaskPermissionError) as error:
            self.failed(operation, steps, error, name, shared, registered, bad_xml)
            return
        except BaseException as error:
            if type(error) is not self.panic_type:
                raise
            # Only a text conversion faults; which one is not visible.
            last = len(steps) - 1 - steps[::-1].index("SysAllocStringLen")
            self.reached(steps[:4])
            self.reached(steps[4 : last + 1], 0, 1)
            self.scripted[("SysAllocStringLen", ("PanicException", str(error.args[0])))] += 1
            if error.args != (str(error.args[0]),):
                self.problem(f"PanicException with {error.args!r}")
            return
        self.reached(steps)
        self.succeeded(operation, name, xml, shared, registered, result)

    def succeeded(self, operation, name, xml, shared, registered, result):
        if operation == "task_exists":
            if result is not True and result is not False:
                self.problem(f"task_exists returned {result!r}")
            elif not shared and result != registered:
                self.problem(f"task_exists gave {result} for a task registered={registered}")
            return
        if result is not None:
            self.problem(f"{operation} returned {result!r}")
        if operation == "register_xml":
            if not shared:
                self.own[name] = xml
        elif operation == "delete_task":
            if not shared and not registered:
                self.problem("deleted a task that was never registered")
            self.own.pop(name, None)
        elif operation == "run_task":
            if not shared and not registered:
                self.problem("ran a task that was never registered")
            self.runs[name] += 1

    def failed(self, operation, steps, error, name, shared, registered, bad_xml):
        message, hresult, step = error.args
        if step not in steps:
            self.problem(f"{operation} failed at {step}, a step it does not have")
            return
        self.reached(steps[: steps.index(step) + 1])
        if error.hresult != hresult or error.step != step:
            self.problem(f"exception attributes differ from its arguments: {error!r}")
        # Failures the platform gives without a script.
        if hresult == NOT_FOUND and message == MISSING and type(error) is TaskSchedulerError:
            if (operation, step) in {("run_task", "GetTask"), ("delete_task", "DeleteTask")} or (
                shared and (operation, step) == ("run_task", "RunEx")
            ):
                if not (shared or not registered):
                    self.problem(f"{operation} reported a registered task missing")
                return
        if bad_xml and step == "RegisterTask" and hresult == MALFORMED_XML:
            if message != self.malformed_text or type(error) is not TaskSchedulerError:
                self.problem(f"malformed XML reported as {error!r}")
            return
        self.scripted[(step, (type(error).__name__, error.args))] += 1


def pause_and_resume(rng, workers):
    while any(worker.is_alive() for worker in workers):
        step = rng.choice(list(STEPS))
        wanted = rng.randrange(1, 5)
        _winsim.pause(step)
        try:
            while True:
                alive = sum(worker.is_alive() for worker in workers)
                if alive == 0 or _winsim.waiting(step) >= min(wanted, alive):
                    break
                time.sleep(0.0005)
        finally:
            _winsim.resume(step)
        time.sleep(rng.random() / 1000)


def test_sixteen_threads_with_scripted_failures_and_paused_steps(panic_type):
    rng = random.Random(SEED)
    total_calls = 0
    met = 0
    for round_number in range(ROUNDS):
        _winsim.reset()
        combase = rng.random() < 0.75
        _winsim.set_combase(combase, combase)
        with pytest.raises(TaskSchedulerError) as malformed:
            backend.register_xml("probe", "<Task>")
        malformed_text = malformed.value.args[0]
        mark = len(_winsim.calls())
        entries = script_round(rng, round_number, combase)

        workers = [Worker(i, rng.getrandbits(32), OPS, malformed_text, panic_type) for i in range(THREADS)]
        for worker in workers:
            worker.start()
        try:
            if rng.random() < 0.75:
                pause_and_resume(rng, workers)
        finally:
            for worker in workers:
                worker.join()
        total_calls += THREADS * OPS

        log = _winsim.calls()
        assert len(log) < 100000, "the call log filled up; use fewer calls per round"
        calls = {
            step: sum(
                1
                for entry in log[mark:]
                if (entry.startswith(prefix) if step == "SysAllocStringLen" else entry == prefix)
            )
            for step, (prefix, _) in STEPS.items()
        }

        problems = [problem for worker in workers for problem in worker.problems]
        assert problems == []
        observed = sum((worker.scripted for worker in workers), collections.Counter())
        assert observed == consumed(entries, calls), f"round {round_number}"
        met += sum(observed.values())
        low = sum((worker.reached_low for worker in workers), collections.Counter())
        high = sum((worker.reached_high for worker in workers), collections.Counter())
        for step in STEPS:
            assert low[step] <= calls[step] <= high[step], f"{step} called {calls[step]} times"

        expected_tasks = {}
        runs = collections.Counter()
        for worker in workers:
            expected_tasks.update(worker.own)
            runs.update(worker.runs)
        tasks = {name: xml for name, xml in _winsim.tasks().items() if not name.startswith("shared ")}
        assert tasks == expected_tasks
        assert _winsim.run_counts() == dict(runs)
        assert _winsim.live_objects() == 0
        assert _winsim.violations() == []
        assert _winsim.init_depth() == 0
    print(f"stress: {THREADS} threads, {total_calls} calls in {ROUNDS} rounds, {met} scripted failures met")
