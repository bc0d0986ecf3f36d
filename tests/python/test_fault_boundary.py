"""The fault boundary itself, driven by made-up bodies (the test-only
_boundary_probe extension links the same boundary code as the module; each
extension has its own PanicException type slot)."""

import importlib.util
import signal
import subprocess
import sys

import _boundary_probe as probe
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from support import FUZZ_EXAMPLES, RESUME_HEADER


def raised_by(function, *args):
    with pytest.raises(BaseException) as caught:
        function(*args)
    return caught.value


@pytest.fixture
def probe_panic():
    return type(raised_by(probe.fault, "x"))


@pytest.mark.parametrize(
    "message",
    ["plain", "", "with\nnewline and \x00 NUL", "non-BMP \U0001f600 and é", "long " * 10000],
    ids=["plain", "empty", "control", "unicode", "long"],
)
def test_fault_message_is_the_only_argument(message, probe_panic):
    error = raised_by(probe.fault, message)
    assert type(error) is probe_panic
    assert error.args == (message,)
    assert str(error) == message


def test_fault_without_text(probe_panic):
    error = raised_by(probe.fault, None)
    assert type(error) is probe_panic
    assert error.args == ("panic from Rust code",)


def test_probe_type_has_the_same_shape_as_the_module_type(probe_panic, panic_type):
    assert probe_panic is not panic_type
    for attribute in ("__module__", "__name__", "__qualname__", "__doc__", "__bases__"):
        assert getattr(probe_panic, attribute) == getattr(panic_type, attribute)


@pytest.mark.parametrize(
    "what,message",
    [(b"vector index out of range", "vector index out of range"), (b"bad \xff byte", "bad \ufffd byte")],
)
def test_standard_exception_becomes_a_fault_with_its_text(what, message, probe_panic):
    error = raised_by(probe.standard_exception, what)
    assert type(error) is probe_panic
    assert error.args == (message,)


def test_other_thrown_objects_become_a_fault_without_text(probe_panic):
    error = raised_by(probe.foreign_exception)
    assert type(error) is probe_panic
    assert error.args == ("panic from Rust code",)


def test_null_object_with_a_pending_error(probe_panic, monkeypatch):
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    pending = ValueError("what the interpreter said")
    error = raised_by(probe.null_object, pending)
    assert type(error) is probe_panic
    assert error.args == ("PyObject pointer is null",)
    [report] = reports
    assert report.exc_value is pending
    assert report.object is None


def test_null_object_without_a_pending_error(probe_panic, monkeypatch):
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    error = raised_by(probe.null_object, None)
    assert error.args == ("PyObject pointer is null",)
    assert reports == []


def test_fetch_hands_back_the_exception_object_itself():
    raised = KeyError("k")

    def fail():
        raise raised

    assert probe.fetch(fail) is raised


def test_fetch_of_the_own_panic_type_resumes_the_fault(probe_panic, capfd):
    inner = probe_panic("from Python")

    def fail():
        raise inner

    capfd.readouterr()
    error = raised_by(probe.fetch, fail)
    assert type(error) is probe_panic
    assert error is not inner
    assert error.args == ("from Python",)
    assert capfd.readouterr().err.startswith(RESUME_HEADER)


def test_another_extensions_panic_type_is_an_ordinary_exception(panic_type, capfd):
    """The module's PanicException is not the probe's: same name, other type."""
    foreign = panic_type("not mine")

    def fail():
        raise foreign

    capfd.readouterr()
    assert probe.fetch(fail) is foreign
    assert capfd.readouterr().err == ""


def test_failure_without_an_exception_becomes_system_error():
    error = raised_by(probe.restore_nothing)
    assert type(error) is SystemError
    assert error.args == ("attempted to fetch exception but none was set",)


def test_describe_shows_type_value_and_traceback():
    try:
        raise LookupError("gone")
    except LookupError as error:
        caught = error
    text = probe.describe(caught)
    assert text.startswith("type <class 'LookupError'>, value LookupError('gone'), traceback <traceback object at ")
    assert probe.describe(ValueError()) == "type <class 'ValueError'>, value ValueError(), traceback None"
    assert probe.describe(None) == "None"


def test_describe_survives_an_unprintable_exception():
    class Unprintable(Exception):
        def __repr__(self):
            raise RuntimeError("no repr")

    text = probe.describe(Unprintable())
    assert text.endswith(", value <unprintable>, traceback None")


def test_fault_in_exec_fails_the_module(probe_panic):
    module = importlib.util.module_from_spec(probe.__spec__)
    module.fail_exec = True
    with pytest.raises(probe_panic) as caught:
        probe.__spec__.loader.exec_module(module)
    assert caught.value.args == ("panic from Rust code",)


CREATION_REENTERED = """
import gc, sys
import _boundary_probe as probe
inner = []
def during_creation():
    # While this thread makes the type, no exception is taken for one of it.
    inner.append(probe.fetch(lambda: 1 / 0))
    try:
        probe.fault("inner")
    except BaseException as error:
        inner.append(error)
    return LookupError("refused") if sys.argv[1] == "fails" else None
probe.on_type_creation(during_creation)
# The first need of the type: whether what the callable raised is one of it.
fetched = probe.fetch(lambda: {}["key"])
try:
    probe.fault("outer")
except BaseException as outer:
    assert type(inner[1]) is type(outer), (inner, outer)
    print(type(inner[0]).__name__, type(fetched).__name__, type(outer).__module__, type(outer).__name__,
          inner[1].args, outer.args)
# A type that the outer creation made and lost is released: one is left.
gc.collect()
print(sum(isinstance(o, type) and o.__name__ == "PanicException" for o in gc.get_objects()))
"""


@pytest.mark.parametrize("outer_creation", ["succeeds", "fails"])
def test_a_fault_inside_the_creation_of_the_type_raises_the_same_type(outer_creation):
    # A fresh process: the first fault of this probe creates its type. The
    # creation inside keeps its type whether the outer one succeeds or fails.
    result = subprocess.run(
        [sys.executable, "-c", CREATION_REENTERED, outer_creation], capture_output=True, text=True, timeout=60
    )
    assert (result.returncode, result.stdout, result.stderr) == (
        0,
        "ZeroDivisionError KeyError pyo3_runtime PanicException ('inner',) ('outer',)\n1\n",
        "",
    )


CREATION_RACED = """
import threading, time
import _boundary_probe as probe
inside = threading.Event()
caught = {}
def during_creation():
    inside.set()
    time.sleep(0.3)  # without the interpreter lock: the other thread faults now
def other():
    inside.wait()
    try:
        probe.fault("other")
    except BaseException as error:
        caught["other"] = error
probe.on_type_creation(during_creation)
thread = threading.Thread(target=other)
thread.start()
try:
    probe.fault("first")
except BaseException as error:
    caught["first"] = error
thread.join()
print(probe.creations(), type(caught["first"]) is type(caught["other"]))
"""


def test_a_second_thread_waits_for_the_type_instead_of_making_its_own():
    result = subprocess.run([sys.executable, "-c", CREATION_RACED], capture_output=True, text=True, timeout=60)
    assert (result.returncode, result.stdout, result.stderr) == (0, "1 True\n", "")


def test_heap_exhaustion_aborts():
    result = subprocess.run(
        [sys.executable, "-c", "import _boundary_probe; _boundary_probe.out_of_memory()"],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert result.returncode == -signal.SIGABRT
    assert result.stderr == "memory allocation failed\n"


@settings(max_examples=FUZZ_EXAMPLES, deadline=None, derandomize=FUZZ_EXAMPLES <= 300)
@given(st.binary(max_size=64).map(lambda b: b.replace(b"\x00", b"")))
def test_fault_text_from_arbitrary_bytes_matches_the_interpreter_decoder(what):
    """Invalid UTF-8 in a thrown text (a C string: no NUL) is replaced per
    maximal subpart, as the interpreter's own decoder does with
    errors="replace"."""
    error = raised_by(probe.standard_exception, what)
    assert error.args == (what.decode("utf-8", "replace"),)
