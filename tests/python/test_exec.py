"""Failures while the extension's exec function fills a new module object."""

import importlib
import subprocess
import sys
import textwrap
import types

import pytest

from support import RESUME_HEADER, extension_spec, fresh_module


class PreparingLoader:
    """Lets a test touch the module object between its creation and exec."""

    def __init__(self, loader, prepare):
        self.loader = loader
        self.prepare = prepare

    def create_module(self, module_spec):
        return self.loader.create_module(module_spec)

    def exec_module(self, module):
        self.prepare(module)
        self.loader.exec_module(module)


class PreparingFinder:
    def __init__(self, prepare):
        self.prepare = prepare

    def find_spec(self, name, path=None, target=None):
        if name != "_velmora_backend":
            return None
        module_spec = extension_spec()
        module_spec.loader = PreparingLoader(module_spec.loader, self.prepare)
        return module_spec


@pytest.fixture
def import_prepared(monkeypatch):
    """Runs the import statement's machinery with a prepared module object."""

    def run(prepare):
        monkeypatch.delitem(sys.modules, "_velmora_backend")
        monkeypatch.setattr(sys, "meta_path", [PreparingFinder(prepare), *sys.meta_path])
        return importlib.import_module("_velmora_backend")

    return run


def set_all(value):
    return lambda module: setattr(module, "__all__", value)


@pytest.mark.parametrize(
    "value,message",
    [
        ((), "'tuple' object is not an instance of 'list'"),
        ("register_xml", "'str' object is not an instance of 'list'"),
        (None, "'None' is not an instance of 'list'"),
    ],
)
def test_all_that_is_not_a_list(value, message):
    with pytest.raises(TypeError) as caught:
        fresh_module(prepare=set_all(value))
    assert caught.value.args == (message,)


def test_failed_import_leaves_no_module_behind(import_prepared):
    with pytest.raises(TypeError, match="^'dict' object is not an instance of 'list'$"):
        import_prepared(set_all({}))
    assert "_velmora_backend" not in sys.modules


def test_nameless_module():
    def prepare(module):
        module.__name__ = 5

    with pytest.raises(SystemError, match="nameless module"):
        fresh_module(prepare=prepare)


def test_functions_added_before_a_failure_stay_on_the_thrown_away_module():
    class Guarded(types.ModuleType):
        def __setattr__(self, name, value):
            if name == "delete_task":
                raise RuntimeError("no delete_task here")
            super().__setattr__(name, value)

    seen = []

    def prepare(module):
        module.__class__ = Guarded
        seen.append(module)

    with pytest.raises(RuntimeError, match="^no delete_task here$"):
        fresh_module(prepare=prepare)
    [module] = seen
    assert module.__all__ == ["register_xml", "delete_task"]
    assert callable(module.register_xml)
    assert not hasattr(module, "delete_task")


def test_failure_to_store_a_new_all():
    class NoAll(types.ModuleType):
        def __setattr__(self, name, value):
            if name == "__all__":
                raise PermissionError("read-only __all__")
            super().__setattr__(name, value)

    def prepare(module):
        module.__class__ = NoAll

    with pytest.raises(PermissionError, match="read-only __all__"):
        fresh_module(prepare=prepare)


def test_error_reading_all_other_than_attribute_error():
    def __getattr__(name):
        raise LookupError(f"cannot look up {name}")

    with pytest.raises(LookupError, match="^cannot look up __all__$"):
        fresh_module(prepare=lambda m: setattr(m, "__getattr__", __getattr__))


def test_attribute_error_subclass_counts_as_missing_all():
    class Missing(AttributeError):
        pass

    def __getattr__(name):
        raise Missing(name)

    module = fresh_module(prepare=lambda m: setattr(m, "__getattr__", __getattr__))
    assert module.__all__ == ["register_xml", "delete_task", "run_task", "task_exists"]


def test_panic_inside_exec_fails_the_import(import_prepared, panic_type, capfd):
    def prepare(module):
        def __getattr__(name):
            raise panic_type(f"no {name} today")

        module.__getattr__ = __getattr__

    capfd.readouterr()
    with pytest.raises(panic_type) as caught:
        import_prepared(prepare)
    assert caught.value.args == ("no __all__ today",)
    assert "_velmora_backend" not in sys.modules
    err = capfd.readouterr().err
    assert err.startswith(RESUME_HEADER + "Traceback (most recent call last):\n")
    assert err.endswith("pyo3_runtime.PanicException: no __all__ today\n")


def test_failed_append_is_an_internal_fault():
    """Only an exhausted interpreter heap makes list.append fail: sweep a
    one-allocation failure over the exec function until it hits the append."""
    code = textwrap.dedent(
        """
        import importlib.util, _testcapi, _velmora_backend
        module_spec = importlib.util.find_spec("_velmora_backend")
        for start in range(400):
            module = importlib.util.module_from_spec(module_spec)
            module.__all__ = []
            _testcapi.set_nomemory(start, start + 1)
            try:
                module_spec.loader.exec_module(module)
            except BaseException as error:
                _testcapi.remove_mem_hooks()
                if type(error).__name__ == "PanicException":
                    print(type(error).__module__, str(error))
                    break
            else:
                _testcapi.remove_mem_hooks()
        """
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith(
        "pyo3_runtime could not append __name__ to __all__: type <class 'MemoryError'>, value MemoryError()"
    ), result.stdout
