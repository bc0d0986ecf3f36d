"""No path through the module leaks or over-releases a reference (checked
with the debug interpreter's total reference count)."""

import gc
import sys

import pytest

import _velmora_backend as backend
import _winsim
import velmora.errors
from support import fresh_module

pytestmark = pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"), reason="needs the debug interpreter")

E_FAIL = 0x80004005
E_OUTOFMEMORY = 0x8007000E
REPEAT = 100


def swallow(call):
    try:
        call()
    except BaseException:
        pass


def leaked_per_call(call):
    """Growth of the reference total per call. The first round only warms
    up what the interpreter fills lazily (caches, specialised code); a leak
    shows in every later round, so the smallest round counts."""
    for _ in range(REPEAT):
        swallow(call)
    growth = []
    for _ in range(3):
        gc.collect()
        before = sys.gettotalrefcount()
        for _ in range(REPEAT):
            swallow(call)
        gc.collect()
        growth.append(sys.gettotalrefcount() - before)
    return min(growth) / REPEAT


def scripted(step, code, then):
    def call():
        _winsim.script(step, code)
        then()

    return call


def registered_then(then):
    def call():
        backend.register_xml("job", "<Task/>")
        then()

    return call


@pytest.fixture
def errors_class(monkeypatch):
    def set_class(replacement):
        monkeypatch.setattr(velmora.errors, "TaskSchedulerError", replacement)

    return set_class


def _raise(error):
    raise error


CASES = {
    "register_xml": lambda: backend.register_xml("job", "<Task/>"),
    "task_exists-true": registered_then(lambda: backend.task_exists("job")),
    "task_exists-false": lambda: backend.task_exists("job"),
    "run_task": registered_then(lambda: backend.run_task("job")),
    "delete_task": registered_then(lambda: backend.delete_task("job")),
    "binding-error": lambda: backend.register_xml("job"),
    "text-error": lambda: backend.run_task(1),
    "scheduler-failure": scripted("Connect", E_FAIL, lambda: backend.run_task("job")),
    "internal-fault": scripted("SysAllocStringLen", E_OUTOFMEMORY, lambda: backend.task_exists("job")),
    "exec": fresh_module,
}


@pytest.mark.parametrize("case", CASES)
def test_balanced(case):
    assert abs(leaked_per_call(CASES[case])) < 0.5


@pytest.mark.parametrize(
    "returns",
    [
        pytest.param(lambda *a: "text", id="non-exception"),
        pytest.param(lambda *a: KeyError, id="class"),
        pytest.param(lambda *a: _raise(LookupError("x")), id="raising"),
    ],
)
def test_balanced_with_a_misbehaving_errors_class(errors_class, returns):
    errors_class(returns)
    assert abs(leaked_per_call(scripted("Connect", E_FAIL, lambda: backend.run_task("job")))) < 0.5


def test_balanced_when_a_panic_resumes(errors_class, panic_type, capfd):
    errors_class(lambda *a: _raise(panic_type("again")))
    assert abs(leaked_per_call(scripted("Connect", E_FAIL, lambda: backend.run_task("job")))) < 0.5


def test_balanced_without_velmora_errors(monkeypatch):
    monkeypatch.setitem(sys.modules, "velmora.errors", None)
    assert abs(leaked_per_call(scripted("Connect", E_FAIL, lambda: backend.run_task("job")))) < 0.5
