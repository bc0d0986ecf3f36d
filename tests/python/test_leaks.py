"""No path through the module keeps or drops a reference or a memory block.

Each case is hunted the way CPython hunts its own reference leaks: run it a
few times to warm up what the interpreter fills lazily (caches, specialised
code, interned names), then run it again and again, collecting garbage and
reading `sys.gettotalrefcount()` and `sys.getallocatedblocks()` after each
run. A leak of one reference or block per call shows in every run, noise of
the interpreter's own does not: a case fails when every measured run moves
either total the same way. Each run also leaves the simulated platform with
no live native object. Needs the debug interpreter.
"""

import ctypes
import gc
import sys

import pytest

import _velmora_backend as backend
import _winsim
import velmora.errors
from support import (
    E_ACCESSDENIED,
    E_FAIL,
    E_OUTOFMEMORY,
    FAILURE_SHAPES,
    OPENING_STEPS,
    OWN_STEPS,
    POINTER_STEPS,
    TASK_XML,
    fresh_module,
    script_failure,
)
from velmora.errors import TaskPermissionError, TaskSchedulerError

pytestmark = pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"), reason="needs the debug interpreter")

NOT_FOUND = 0x80070002
PATH_NOT_FOUND = 0x80070003
RPC_E_CHANGED_MODE = 0x80010106
XML = TASK_XML

WARMUPS = 3
RUNS = 5
CALLS_PER_RUN = 8


@pytest.fixture(autouse=True)
def unraisable_reports_dropped(monkeypatch):
    """Some paths report an error that cannot be shown with
    PyErr_WriteUnraisable; pytest's own hook would keep every report alive."""
    monkeypatch.setattr(sys, "unraisablehook", lambda report: None)


def _cleanup():
    clear = getattr(sys, "_clear_internal_caches", None)
    if clear is not None:
        clear()
    gc.collect()


def _run(case, raises):
    """Every call of the case ends as it must: returns when `raises` is None,
    raises exactly that class otherwise. A case whose setup fails shows here
    instead of passing without reaching its path."""
    for _ in range(CALLS_PER_RUN):
        if raises is None:
            case()
            continue
        try:
            case()
        except BaseException as error:
            if type(error) is not raises:
                raise
        else:
            raise AssertionError(f"the case did not raise {raises.__name__}")
    assert _winsim.live_objects() == 0


def hunt(case, raises=None):
    """The growth of the reference total and of the allocated blocks in each
    measured run of `case`."""
    # The collector then leaves the objects alive before the hunt alone and
    # only looks at what the case made: collections cost little.
    gc.collect()
    gc.freeze()
    try:
        return _hunt(case, raises)
    finally:
        gc.unfreeze()


def _hunt(case, raises):
    for _ in range(WARMUPS):
        _run(case, raises)
    ref_deltas = [0] * RUNS
    block_deltas = [0] * RUNS
    _cleanup()
    blocks_before = sys.getallocatedblocks()
    refs_before = sys.gettotalrefcount()
    for index in range(RUNS):
        _run(case, raises)
        _cleanup()
        # Read right after the collection; only the two readings themselves
        # stay alive, and they replace the previous two.
        blocks_after = sys.getallocatedblocks()
        refs_after = sys.gettotalrefcount()
        ref_deltas[index] = refs_after - refs_before
        block_deltas[index] = blocks_after - blocks_before
        blocks_before, refs_before = blocks_after, refs_after
    return ref_deltas, block_deltas


def assert_no_leak(case, raises=None):
    ref_deltas, block_deltas = hunt(case, raises)
    assert not all(delta > 0 for delta in ref_deltas), f"references leaked per run: {ref_deltas}"
    assert not all(delta < 0 for delta in ref_deltas), f"references dropped per run: {ref_deltas}"
    assert not all(delta > 0 for delta in block_deltas), f"memory blocks leaked per run: {block_deltas}"


def test_the_hunt_finds_a_kept_object():
    """The check is only worth something if it fails on one reference and
    one memory block kept per call."""
    kept = []
    refs, blocks = hunt(lambda: kept.append([]))
    assert all(delta >= CALLS_PER_RUN for delta in refs)
    assert all(delta >= CALLS_PER_RUN for delta in blocks)


def test_the_hunt_finds_a_reference_that_native_code_forgot_to_drop():
    leaked = object()
    with pytest.raises(AssertionError, match="^references leaked per run"):
        assert_no_leak(lambda: ctypes.pythonapi.Py_IncRef(ctypes.py_object(leaked)))
    for _ in range((WARMUPS + RUNS) * CALLS_PER_RUN):
        ctypes.pythonapi.Py_DecRef(ctypes.py_object(leaked))


# --- successes -----------------------------------------------------------------


def registered(then):
    def case():
        backend.register_xml("job", XML)
        then()

    return case


SUCCESSES = {
    "register_xml-create": lambda: (backend.register_xml("job", XML), backend.delete_task("job")),
    "register_xml-update": registered(lambda: backend.register_xml("job", XML)),
    "register_xml-by-keyword": lambda: backend.register_xml(task_name="job", xml_data=XML),
    "register_xml-mixed": lambda: backend.register_xml("job", xml_data=XML),
    "task_exists-true": registered(lambda: backend.task_exists("job")),
    "task_exists-false": lambda: backend.task_exists("job"),
    "task_exists-by-keyword": lambda: backend.task_exists(task_name="job"),
    "run_task": registered(lambda: backend.run_task("job")),
    "delete_task": registered(lambda: backend.delete_task("job")),
    "non-ascii-text": lambda: backend.register_xml("t\x00\U0001f600 é", XML.replace("cmd", "c\U00010348d")),
    "empty-name": lambda: backend.register_xml("", XML),
    "str-subclass": lambda: backend.task_exists(type("Name", (str,), {})("job")),
    "in-sta": lambda: (_winsim.set_apartment("sta"), backend.task_exists("job"), _winsim.set_apartment(None)),
    "in-mta": lambda: (_winsim.set_apartment("mta"), backend.task_exists("job"), _winsim.set_apartment(None)),
}


@pytest.mark.parametrize("case", SUCCESSES)
def test_success(case):
    assert_no_leak(SUCCESSES[case])


# --- binding and text errors ----------------------------------------------------


class Inner:
    class Nested:
        pass


class UnprintableKey(str):
    def __str__(self):
        raise LookupError("no text")


class SurrogateShownKey(str):
    def __str__(self):
        return "shown\ud800"


class NonStrShownKey(str):
    def __str__(self):
        return 42


BINDING_ERRORS = {
    "too-many": lambda: backend.register_xml("a", "b", "c"),
    "too-many-one-parameter": lambda: backend.run_task("a", "b"),
    "missing": lambda: backend.register_xml(),
    "missing-second": lambda: backend.register_xml("a"),
    "missing-by-keyword": lambda: backend.register_xml(task_name="a"),
    "no-arguments": lambda: backend.task_exists(),
    "multiple-values": lambda: backend.run_task("a", task_name="b"),
    "unexpected-keyword": lambda: backend.delete_task("a", name="b"),
    "unexpected-keyword-only": lambda: backend.delete_task(name="b"),
    "surrogate-keyword": lambda: backend.run_task(**{"x\ud800": 1}),
    "unprintable-keyword": lambda: backend.run_task(**{UnprintableKey("x"): 1}),
    "surrogate-shown-keyword": lambda: backend.run_task("a", **{SurrogateShownKey("x"): 1}),
    "non-str-shown-keyword": lambda: backend.run_task("a", **{NonStrShownKey("x"): 1}),
}

TEXT_ERRORS = {
    "int": lambda: backend.run_task(1),
    "none": lambda: backend.delete_task(None),
    "bytes": lambda: backend.task_exists(b"job"),
    "nested-class-instance": lambda: backend.delete_task(Inner.Nested()),
    "type": lambda: backend.run_task(str),
    "xml-data": lambda: backend.register_xml("job", 5),
    "xml-data-by-keyword": lambda: backend.register_xml(xml_data=b"<Task/>", task_name="job"),
    "lone-surrogate-name": lambda: backend.task_exists("a\udc00"),
    "lone-surrogate-xml": lambda: backend.register_xml("name", "\udc00"),
}


@pytest.mark.parametrize("case", BINDING_ERRORS)
def test_binding_error(case):
    assert_no_leak(BINDING_ERRORS[case], TypeError)


@pytest.mark.parametrize("case", TEXT_ERRORS)
def test_text_error(case):
    assert_no_leak(TEXT_ERRORS[case], UnicodeEncodeError if "surrogate" in case else TypeError)


# --- failing scheduler steps ----------------------------------------------------


def operation(name):
    function = getattr(backend, name)
    if name == "register_xml":
        return lambda: function("job", XML)
    return lambda: function("job")


def failing_step_cases():
    for name, own in OWN_STEPS.items():
        for step in OPENING_STEPS + own:
            for shape in FAILURE_SHAPES:
                yield pytest.param(name, step, shape, id=f"{name}-{step}-{shape.name}")
            if step in POINTER_STEPS:
                yield pytest.param(name, step, None, id=f"{name}-{step}-null-out")


@pytest.mark.parametrize("name,step,shape", list(failing_step_cases()))
def test_failing_step(name, step, shape):
    call = operation(name)
    if name in ("run_task", "delete_task"):
        backend.register_xml("job", XML)

    def case():
        if shape is None:
            _winsim.script(step, 0, null_out=True)
        else:
            script_failure(step, E_FAIL, shape)
        call()

    assert_no_leak(case, TaskSchedulerError)


@pytest.mark.parametrize(
    "step,code,raises",
    [
        pytest.param("GetTask", NOT_FOUND, None, id="not-found"),
        pytest.param("GetTask", PATH_NOT_FOUND, None, id="path-not-found"),
        pytest.param("CoInitializeEx", RPC_E_CHANGED_MODE, None, id="changed-mode"),
        pytest.param("Connect", E_ACCESSDENIED, TaskPermissionError, id="access-denied"),
    ],
)
def test_tolerated_and_permission_failures(step, code, raises):
    # The thread that is told it is in another apartment really is in one.
    apartment = "sta" if code == RPC_E_CHANGED_MODE else None

    def case():
        _winsim.set_apartment(apartment)
        _winsim.script(step, code, error=("plain", "Refused."))
        try:
            backend.task_exists("job")
        finally:
            _winsim.set_apartment(None)

    assert_no_leak(case, raises)


@pytest.mark.parametrize(
    "setup,error",
    [
        pytest.param(lambda: _winsim.set_combase(False, False), ("plain", "x"), id="combase-missing"),
        pytest.param(lambda: _winsim.set_message(E_FAIL, None), None, id="no-system-text"),
        pytest.param(lambda: _winsim.set_message(E_FAIL, "Bad \ud800 text \r\n"), None, id="surrogate-system-text"),
    ],
)
def test_error_capture_variants(setup, error):
    def case():
        setup()
        _winsim.script("Connect", E_FAIL, error=error)
        backend.run_task("job")

    assert_no_leak(case, TaskSchedulerError)


# --- the package's exception classes ----------------------------------------------


def _raise(error):
    raise error


def fail_connect(code=E_FAIL):
    def case():
        _winsim.script("Connect", code)
        backend.run_task("job")

    return case


@pytest.mark.parametrize(
    "factory,raises",
    [
        pytest.param(lambda *a: _raise(LookupError("refused")), LookupError, id="raising"),
        pytest.param(lambda *a: "text", TypeError, id="returning-non-exception"),
        pytest.param(lambda *a: KeyError, KeyError, id="returning-exception-class"),
        pytest.param(lambda *a: int, TypeError, id="returning-other-class"),
        pytest.param(lambda *a: ValueError(*a), ValueError, id="returning-foreign-instance"),
    ],
)
def test_misbehaving_errors_class(monkeypatch, factory, raises):
    monkeypatch.setattr(velmora.errors, "TaskSchedulerError", factory)
    assert_no_leak(fail_connect(), raises)


def test_errors_module_missing(monkeypatch):
    monkeypatch.setitem(sys.modules, "velmora.errors", None)
    assert_no_leak(fail_connect(), ModuleNotFoundError)


def test_errors_module_incomplete(monkeypatch):
    monkeypatch.delattr(velmora.errors, "TaskPermissionError")
    assert_no_leak(fail_connect(E_ACCESSDENIED), AttributeError)


def test_errors_module_getattr(monkeypatch):
    monkeypatch.delattr(velmora.errors, "TaskSchedulerError")
    monkeypatch.setattr(velmora.errors, "__getattr__", lambda name: _raise(AttributeError(name)), raising=False)
    assert_no_leak(fail_connect(), AttributeError)


# --- internal faults ------------------------------------------------------------------

BSTRS_MADE = {"run_task": 2, "delete_task": 2, "task_exists": 2, "register_xml": 3}


def bstr_fault_cases():
    for name, count in BSTRS_MADE.items():
        for made_before in range(count):
            yield pytest.param(name, made_before, id=f"{name}-bstr-{made_before + 1}")


@pytest.mark.parametrize("name,made_before", list(bstr_fault_cases()))
def test_internal_fault_from_an_operation(name, made_before, panic_type):
    call = operation(name)
    _winsim.set_message(E_OUTOFMEMORY, "No memory for the string.\r\n")

    def case():
        if made_before:
            _winsim.script("SysAllocStringLen", 0, count=made_before)
        _winsim.script("SysAllocStringLen", E_OUTOFMEMORY)
        call()

    assert_no_leak(case, panic_type)


@pytest.fixture
def quiet_stderr(capfd):
    """The resumed panic writes its header and traceback to the standard error
    stream on every call."""
    yield
    capfd.readouterr()


def test_panic_resumed_from_the_errors_class(monkeypatch, panic_type, quiet_stderr):
    monkeypatch.setattr(velmora.errors, "TaskSchedulerError", lambda *a: _raise(panic_type("again")))
    assert_no_leak(fail_connect(), panic_type)


def test_panic_resumed_with_an_unprintable_message(monkeypatch, panic_type, quiet_stderr):
    class Unprintable:
        def __str__(self):
            raise LookupError("no text")

    def factory(*args):
        raise panic_type(Unprintable())

    monkeypatch.setattr(velmora.errors, "TaskSchedulerError", factory)
    assert_no_leak(fail_connect(), panic_type)


def test_panic_resumed_with_surrogates(monkeypatch, panic_type, quiet_stderr):
    monkeypatch.setattr(velmora.errors, "TaskSchedulerError", lambda *a: _raise(panic_type("lone \udc80")))
    assert_no_leak(fail_connect(), panic_type)


# --- the exec function ----------------------------------------------------------------


def _with_getattr(function):
    return lambda module: setattr(module, "__getattr__", function)


def test_exec_success():
    assert_no_leak(fresh_module)


@pytest.mark.parametrize(
    "prepare,raises",
    [
        pytest.param(lambda module: setattr(module, "__all__", ()), TypeError, id="all-not-a-list"),
        pytest.param(lambda module: setattr(module, "__all__", ["x"]), None, id="all-extended"),
        pytest.param(_with_getattr(lambda name: _raise(LookupError(name))), LookupError, id="all-lookup-raises"),
        pytest.param(lambda module: setattr(module, "__name__", 5), SystemError, id="nameless"),
    ],
)
def test_exec_failure(prepare, raises):
    assert_no_leak(lambda: fresh_module(prepare=prepare), raises)


def test_exec_panic(panic_type, quiet_stderr):
    assert_no_leak(lambda: fresh_module(prepare=_with_getattr(lambda name: _raise(panic_type(name)))), panic_type)
