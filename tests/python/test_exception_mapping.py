"""How a failed scheduler step becomes the package's exception, and what
Python sees when velmora.errors does not behave."""

import sys
import types

import pytest

import _velmora_backend as backend
import _winsim
import velmora.errors
from support import E_ACCESSDENIED, E_FAIL, E_OUTOFMEMORY, TASK_XML
from velmora.errors import TaskPermissionError, TaskSchedulerError

XML = TASK_XML


@pytest.fixture
def errors_module(monkeypatch):
    """A stand-in for velmora.errors that each test fills as it needs."""
    module = types.ModuleType("velmora.errors")
    monkeypatch.setitem(sys.modules, "velmora.errors", module)
    monkeypatch.setattr(velmora, "errors", module, raising=False)
    return module


def fail_connect(code):
    _winsim.set_message(code, "Scripted.")
    _winsim.script("Connect", code)


class Recorded(Exception):
    """Keeps the exact arguments that the module passed."""


def recording_class(calls):
    def factory(*args, **kwargs):
        calls.append((args, kwargs))
        return Recorded(*args)

    return factory


@pytest.mark.parametrize(
    "code,attribute",
    [
        (E_ACCESSDENIED, "TaskPermissionError"),
        (E_FAIL, "TaskSchedulerError"),
        (E_OUTOFMEMORY, "TaskSchedulerError"),
        # Access-related codes other than E_ACCESSDENIED do not count.
        (0x80070041, "TaskSchedulerError"),
        (0x800704DD, "TaskSchedulerError"),
        (0x80070006, "TaskSchedulerError"),
    ],
)
def test_class_is_chosen_by_the_hresult_alone(errors_module, code, attribute):
    calls = []
    setattr(errors_module, attribute, recording_class(calls))
    fail_connect(code)
    with pytest.raises(Recorded) as caught:
        backend.run_task("job")
    assert calls == [((f"Scripted. (0x{code:08X})", code, "Connect"), {})]
    assert caught.value.args == calls[0][0]


def test_arguments_are_str_int_str_positional(errors_module):
    calls = []
    errors_module.TaskSchedulerError = recording_class(calls)
    fail_connect(E_OUTOFMEMORY)
    with pytest.raises(Recorded):
        backend.delete_task("job")
    [(args, kwargs)] = calls
    assert kwargs == {}
    assert [type(a) for a in args] == [str, int, str]
    assert args[1] == 2147942414


def test_the_returned_instance_itself_is_raised(errors_module):
    made = []

    def factory(message, hresult, step):
        made.append(RuntimeError(message))
        return made[-1]

    errors_module.TaskSchedulerError = factory
    fail_connect(E_FAIL)
    with pytest.raises(RuntimeError) as caught:
        backend.task_exists("job")
    assert caught.value is made[0]


def test_missing_module_raises_module_not_found(monkeypatch):
    monkeypatch.setitem(sys.modules, "velmora.errors", None)
    fail_connect(E_ACCESSDENIED)
    with pytest.raises(ModuleNotFoundError):
        backend.run_task("job")


def test_missing_package_raises_module_not_found(monkeypatch):
    for name in ("velmora", "velmora.errors"):
        monkeypatch.delitem(sys.modules, name)
    monkeypatch.setattr(sys, "path", [p for p in sys.path if not p.rstrip("/").endswith("examples")])
    fail_connect(E_FAIL)
    with pytest.raises(ModuleNotFoundError) as caught:
        backend.run_task("job")
    assert caught.value.name == "velmora"


def test_module_whose_import_raises(monkeypatch, tmp_path):
    package = tmp_path / "velmora"
    package.mkdir()
    (package / "__init__.py").write_text("")
    (package / "errors.py").write_text("raise LookupError('broken errors module')\n")
    for name in ("velmora", "velmora.errors"):
        monkeypatch.delitem(sys.modules, name)
    monkeypatch.syspath_prepend(str(tmp_path))
    fail_connect(E_FAIL)
    with pytest.raises(LookupError, match="broken errors module"):
        backend.run_task("job")


def test_incomplete_module_only_breaks_the_missing_class(errors_module):
    errors_module.TaskSchedulerError = TaskSchedulerError
    fail_connect(E_ACCESSDENIED)
    with pytest.raises(AttributeError) as caught:
        backend.run_task("job")
    assert caught.value.name == "TaskPermissionError"

    fail_connect(E_FAIL)
    with pytest.raises(TaskSchedulerError):
        backend.run_task("job")


def test_module_getattr_takes_part(errors_module):
    looked_up = []

    def __getattr__(name):
        looked_up.append(name)
        return Recorded

    errors_module.__getattr__ = __getattr__
    fail_connect(E_ACCESSDENIED)
    with pytest.raises(Recorded):
        backend.run_task("job")
    assert looked_up == ["TaskPermissionError"]


def test_class_that_raises(errors_module):
    def factory(message, hresult, step):
        raise KeyError("from the constructor")

    errors_module.TaskSchedulerError = factory
    fail_connect(E_FAIL)
    with pytest.raises(KeyError, match="from the constructor"):
        backend.run_task("job")


@pytest.mark.parametrize("returned", ["a string", 42, None, object()], ids=["str", "int", "None", "object"])
def test_class_returning_a_non_exception(errors_module, returned):
    errors_module.TaskSchedulerError = lambda *args: returned
    fail_connect(E_FAIL)
    with pytest.raises(TypeError) as caught:
        backend.run_task("job")
    assert type(caught.value) is TypeError
    assert caught.value.args == ("exceptions must derive from BaseException",)


@pytest.mark.parametrize("returned", [Exception, TypeError, KeyboardInterrupt, Recorded])
def test_class_returning_an_exception_class(errors_module, returned):
    errors_module.TaskSchedulerError = lambda *args: returned
    fail_connect(E_FAIL)
    with pytest.raises(BaseException) as caught:
        backend.run_task("job")
    assert type(caught.value) is returned
    assert caught.value.args == ()


def test_class_returning_a_non_exception_class(errors_module):
    errors_module.TaskSchedulerError = lambda *args: int
    fail_connect(E_FAIL)
    with pytest.raises(TypeError, match="^exceptions must derive from BaseException$"):
        backend.run_task("job")


def test_rebinding_the_class_takes_effect_at_the_next_failure(monkeypatch):
    class Replacement(Exception):
        pass

    fail_connect(E_FAIL)
    with pytest.raises(TaskSchedulerError):
        backend.run_task("job")
    monkeypatch.setattr(velmora.errors, "TaskSchedulerError", Replacement)
    fail_connect(E_FAIL)
    with pytest.raises(Replacement):
        backend.run_task("job")


def test_replacing_the_module_takes_effect_at_the_next_failure(monkeypatch):
    class First(Exception):
        pass

    class Second(Exception):
        pass

    monkeypatch.setitem(sys.modules, "velmora.errors", types.SimpleNamespace(TaskSchedulerError=First))
    fail_connect(E_FAIL)
    with pytest.raises(First):
        backend.run_task("job")
    monkeypatch.setitem(sys.modules, "velmora.errors", types.SimpleNamespace(TaskSchedulerError=Second))
    fail_connect(E_FAIL)
    with pytest.raises(Second):
        backend.run_task("job")


def test_vectorcall_callee_may_use_the_free_slot(errors_module):
    """A bound method is vectorcalled with the free slot in front; the
    arguments must still arrive intact and in order."""

    class Maker:
        def make(self, message, hresult, step):
            assert self is maker
            return Recorded(message, hresult, step)

    maker = Maker()
    errors_module.TaskSchedulerError = maker.make
    fail_connect(E_FAIL)
    with pytest.raises(Recorded) as caught:
        backend.run_task("job")
    assert caught.value.args == ("Scripted. (0x80004005)", E_FAIL, "Connect")


def test_real_package_classes_keep_message_hresult_and_step():
    fail_connect(E_ACCESSDENIED)
    with pytest.raises(TaskPermissionError) as caught:
        backend.register_xml("job", XML)
    error = caught.value
    assert isinstance(error, TaskSchedulerError)
    assert (error.message, error.hresult, error.step) == ("Scripted. (0x80070005)", E_ACCESSDENIED, "Connect")
    assert str(error) == "Connect failed: Scripted. (0x80070005)"
