"""Internal faults reach Python as PanicException; a PanicException coming
back out of Python code resumes as a fault."""

import signal
import subprocess
import sys
import textwrap

import pytest

import _velmora_backend as backend
import _winsim
import velmora.errors
from support import E_FAIL, E_OUTOFMEMORY, RESUME_HEADER, TASK_XML, fresh_module, trigger_fault

PANIC_DOC = (
    "\n"
    "The exception raised when Rust code called from Python panics.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n"
)
BSTR_FAULT = (
    "called `Result::unwrap()` on an `Err` value: "
    'Error { code: HRESULT(0x8007000E), message: "No memory for the string." }'
)


def raise_from_errors_class(monkeypatch, exception):
    def factory(message, hresult, step):
        raise exception

    monkeypatch.setattr(velmora.errors, "TaskSchedulerError", factory)
    _winsim.script("Connect", E_FAIL)


def test_fault_becomes_panic_exception_with_the_message():
    error = trigger_fault()
    assert type(error).__name__ == "PanicException"
    assert error.args == (BSTR_FAULT,)
    assert str(error) == BSTR_FAULT
    assert error.__cause__ is None
    assert getattr(error, "__notes__", None) is None


@pytest.mark.parametrize("operation", ["run_task", "delete_task", "task_exists", "register_xml"])
def test_every_entry_function_converts_faults(operation, panic_type):
    function = getattr(backend, operation)
    if operation == "register_xml":
        error = trigger_fault(lambda name: function(name, "<Task/>"))
    else:
        error = trigger_fault(function)
    assert type(error) is panic_type
    assert str(error) == BSTR_FAULT


def test_type_properties(panic_type):
    assert panic_type.__module__ == "pyo3_runtime"
    assert panic_type.__name__ == "PanicException"
    assert panic_type.__qualname__ == "PanicException"
    assert panic_type.__bases__ == (BaseException,)
    assert panic_type.__doc__ == PANIC_DOC


def test_except_exception_does_not_catch_it():
    _winsim.set_message(E_OUTOFMEMORY, None)
    _winsim.script("SysAllocStringLen", E_OUTOFMEMORY)
    with pytest.raises(BaseException) as caught:
        try:
            backend.run_task("job")
        except Exception:  # must not match
            pytest.fail("PanicException was caught as an Exception")
    assert not isinstance(caught.value, Exception)


def test_one_type_for_every_fault_and_module_object(panic_type):
    other = fresh_module()
    assert type(trigger_fault(other.run_task)) is panic_type
    assert type(trigger_fault()) is panic_type
    assert not hasattr(other, "PanicException")


def test_the_next_call_works_after_a_fault():
    trigger_fault()
    backend.register_xml("job", TASK_XML)
    assert backend.task_exists("job") is True


def test_panic_from_python_code_resumes_with_the_same_message(monkeypatch, capfd, panic_type):
    inner = panic_type("raised by the errors class")
    raise_from_errors_class(monkeypatch, inner)
    capfd.readouterr()
    with pytest.raises(panic_type) as caught:
        backend.run_task("job")
    assert caught.value is not inner
    assert caught.value.args == ("raised by the errors class",)
    _, err = capfd.readouterr()
    assert err.startswith(RESUME_HEADER + "Traceback (most recent call last):\n")
    assert err.endswith("pyo3_runtime.PanicException: raised by the errors class\n")
    assert "in factory" in err


def test_resumed_panic_is_not_left_in_sys_last_exc(monkeypatch, capfd, panic_type):
    monkeypatch.delattr(sys, "last_exc", raising=False)
    raise_from_errors_class(monkeypatch, panic_type("x"))
    with pytest.raises(panic_type):
        backend.run_task("job")
    assert not hasattr(sys, "last_exc")


def test_panic_raised_while_importing_velmora_errors(monkeypatch, capfd, panic_type):
    monkeypatch.delitem(sys.modules, "velmora.errors")

    class Importer:
        def find_spec(self, name, path=None, target=None):
            if name == "velmora.errors":
                raise panic_type("refused to import")
            return None

    monkeypatch.setattr(sys, "meta_path", [Importer(), *sys.meta_path])
    _winsim.script("Connect", E_FAIL)
    capfd.readouterr()
    with pytest.raises(panic_type, match="^refused to import$"):
        backend.run_task("job")
    assert capfd.readouterr().err.startswith(RESUME_HEADER)


def test_lone_surrogates_in_the_resumed_message(monkeypatch, capfd, panic_type):
    raise_from_errors_class(monkeypatch, panic_type("a\udcffb\ud800"))
    with pytest.raises(panic_type) as caught:
        backend.run_task("job")
    assert caught.value.args == ("a\ufffd\ufffd\ufffdb\ufffd\ufffd\ufffd",)


def test_unprintable_resumed_panic(monkeypatch, capfd, panic_type):
    class Unprintable:
        def __str__(self):
            raise ValueError("no text")

    raise_from_errors_class(monkeypatch, panic_type(Unprintable()))
    with pytest.raises(panic_type) as caught:
        backend.run_task("job")
    assert caught.value.args == ("Unwrapped panic from Python code",)


@pytest.mark.parametrize("kind", ["subclass", "foreign-type-of-the-same-name"])
def test_only_the_panic_exception_type_itself_is_resumed(monkeypatch, capfd, panic_type, kind):
    if kind == "subclass":
        raised_type = type("Derived", (panic_type,), {})
    else:
        raised_type = type("PanicException", (BaseException,), {"__module__": "pyo3_runtime"})
    raised = raised_type(kind)
    raise_from_errors_class(monkeypatch, raised)
    capfd.readouterr()
    with pytest.raises(raised_type) as caught:
        backend.run_task("job")
    assert caught.value is raised
    assert capfd.readouterr().err == ""


def run_python(code):
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=120,
    )


@pytest.mark.parametrize("stderr", ["open", "closed"])
def test_standard_error_bytes_of_a_resumed_panic(stderr):
    """The header goes straight to the file descriptor, ahead of the
    traceback that the interpreter prints through sys.stderr. With the
    descriptor closed the writes fail and the call goes on."""
    close = "        import os, sys; os.close(2); sys.stderr = None" if stderr == "closed" else ""
    result = run_python(
        close
        + """
        import _velmora_backend, _winsim, velmora.errors
        _winsim.set_message(0x8007000E, None)
        _winsim.script("SysAllocStringLen", 0x8007000E)
        try:
            _velmora_backend.task_exists("x")
        except BaseException as error:
            panic = type(error)
        def factory(message, hresult, step):
            raise panic("inner")
        velmora.errors.TaskSchedulerError = factory
        _winsim.script("Connect", 0x80004005)
        try:
            _velmora_backend.run_task("x")
        except panic as error:
            print(repr(error))
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "PanicException('inner')\n"
    if stderr == "closed":
        assert result.stderr == ""
        return
    lines = result.stderr.splitlines(keepends=True)
    assert "".join(lines[:2]) == RESUME_HEADER
    assert lines[2] == "Traceback (most recent call last):\n"
    assert lines[-1] == "pyo3_runtime.PanicException: inner\n"


@pytest.mark.parametrize("type_exists", [False, True], ids=["type-not-yet-made", "type-made"])
def test_fault_that_cannot_be_converted_aborts(type_exists):
    """With the interpreter out of memory neither the PanicException type nor
    its argument can be made: the process ends at once instead of unwinding
    into the interpreter."""
    result = run_python(
        f"""
        import _testcapi, _velmora_backend, _winsim
        if {type_exists}:
            _winsim.script("SysAllocStringLen", 0x8007000E)
            try:
                _velmora_backend.task_exists("x")
            except BaseException:
                pass
        _winsim.script("SysAllocStringLen", 0x8007000E)
        _testcapi.set_nomemory(0)
        _velmora_backend.task_exists("x")
        _testcapi.remove_mem_hooks()
        print("returned")
        """
    )
    assert result.returncode == -signal.SIGABRT, (result.returncode, result.stderr)
    assert result.stdout == ""
    assert result.stderr.endswith("uncaught panic at ffi boundary\n")


def test_null_object_fault_reports_the_pending_error_as_unraisable():
    """Sweeps a one-allocation failure over a failing call until the making
    of an object that must exist fails: the pending MemoryError goes to the
    unraisable hook and the call raises PanicException."""
    result = run_python(
        """
        import sys, _testcapi, _velmora_backend, _winsim
        unraisable = []
        sys.unraisablehook = lambda report: unraisable.append(report.exc_type.__name__)
        for start in range(2000):
            _winsim.script("Connect", 0x80004005)
            del unraisable[:]
            _testcapi.set_nomemory(start, start + 1)
            try:
                _velmora_backend.run_task("x")
            except BaseException as error:
                _testcapi.remove_mem_hooks()
                if type(error).__name__ == "PanicException":
                    print(repr(error), unraisable)
                    break
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "PanicException('PyObject pointer is null') ['MemoryError']\n"


def test_first_use_from_many_threads_makes_one_type():
    """The type is made once even when several threads meet their first
    fault together; the ones that wait do so without the interpreter lock."""
    result = run_python(
        """
        import threading, _velmora_backend, _winsim
        _winsim.script("SysAllocStringLen", 0x8007000E, count=8)
        _winsim.pause("CoCreateInstance")
        types = []
        def call():
            try:
                _velmora_backend.task_exists("x")
            except BaseException as error:
                types.append(type(error))
        threads = [threading.Thread(target=call) for _ in range(8)]
        for thread in threads:
            thread.start()
        while _winsim.waiting("CoCreateInstance") != 8:
            pass
        _winsim.resume("CoCreateInstance")
        for thread in threads:
            thread.join()
        print(len(types), len(set(types)), types[0].__name__)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "8 1 PanicException\n"


def test_every_interpreter_shares_one_type():
    """The type slot belongs to the process: a (legacy) subinterpreter that
    meets the first fault makes the type that the main interpreter then uses,
    and the module keeps working after that subinterpreter is gone."""
    result = run_python(
        """
        import os, _testcapi
        read_end, write_end = os.pipe()
        code = f'''
        import os, _velmora_backend, _winsim
        _winsim.script("SysAllocStringLen", 0x8007000E)
        try:
            _velmora_backend.task_exists("x")
        except BaseException as error:
            os.write({write_end}, str(id(type(error))).encode())
        '''
        assert _testcapi.run_in_subinterp(code) == 0
        made_there = int(os.read(read_end, 100))
        import _velmora_backend, _winsim
        _winsim.script("SysAllocStringLen", 0x8007000E)
        try:
            _velmora_backend.task_exists("x")
        except BaseException as error:
            print(id(type(error)) == made_there, type(error).__name__)
        _velmora_backend.register_xml("t", TASK_XML)
        print(_velmora_backend.task_exists("t"))
        """.replace("TASK_XML", repr(TASK_XML))
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "True PanicException\nTrue\n"
