"""What the interpreter and Python code see of the module itself."""

import importlib
import inspect
import sys
import types

import pytest

import _velmora_backend
from support import TASK_XML, fresh_module

FUNCTIONS = ["register_xml", "delete_task", "run_task", "task_exists"]
SIGNATURES = {
    "register_xml": "(task_name, xml_data)",
    "delete_task": "(task_name)",
    "run_task": "(task_name)",
    "task_exists": "(task_name)",
}


def test_module_doc_is_empty_string():
    assert _velmora_backend.__doc__ == ""


def test_all_lists_the_four_functions_in_order():
    assert _velmora_backend.__all__ == FUNCTIONS
    assert type(_velmora_backend.__all__) is list


def test_module_holds_only_the_functions_and_interpreter_attributes():
    own = {name for name in vars(_velmora_backend) if not name.startswith("__")}
    assert own == set(FUNCTIONS)
    assert not hasattr(_velmora_backend, "PanicException")


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_metadata(name):
    function = getattr(_velmora_backend, name)
    assert type(function) is types.BuiltinFunctionType
    assert function.__name__ == name
    assert function.__qualname__ == name
    assert function.__text_signature__ == SIGNATURES[name]
    assert function.__doc__ is None
    assert function.__self__ is None
    assert function.__module__ == "_velmora_backend"


@pytest.mark.parametrize("name", FUNCTIONS)
def test_inspect_signature(name):
    signature = inspect.signature(getattr(_velmora_backend, name))
    assert str(signature) == SIGNATURES[name]
    kinds = {p.kind for p in signature.parameters.values()}
    assert kinds == {inspect.Parameter.POSITIONAL_OR_KEYWORD}
    assert all(p.default is inspect.Parameter.empty for p in signature.parameters.values())


def test_functions_name_the_module_under_a_dotted_name():
    module = fresh_module("outer.inner._velmora_backend")
    assert module.__name__ == "outer.inner._velmora_backend"
    assert {getattr(module, name).__module__ for name in FUNCTIONS} == {"outer.inner._velmora_backend"}


def test_functions_take_the_name_the_module_had_when_executed():
    module = fresh_module(prepare=lambda m: setattr(m, "__name__", "renamed"))
    assert module.run_task.__module__ == "renamed"


def test_every_module_object_gets_its_own_functions_and_all():
    first = fresh_module()
    second = fresh_module()
    assert first.__all__ == second.__all__ == FUNCTIONS
    assert first.__all__ is not second.__all__
    for name in FUNCTIONS:
        assert getattr(first, name) is not getattr(second, name)
        assert getattr(first, name) is not getattr(_velmora_backend, name)


def test_reimport_after_removal_from_sys_modules(monkeypatch):
    monkeypatch.delitem(sys.modules, "_velmora_backend")
    again = importlib.import_module("_velmora_backend")
    assert again is not _velmora_backend
    assert again.__all__ == FUNCTIONS
    assert again.task_exists("nothing here") is False


def test_existing_all_list_is_extended_not_replaced():
    existing = ["already_there"]
    module = fresh_module(prepare=lambda m: setattr(m, "__all__", existing))
    assert module.__all__ is existing
    assert existing == ["already_there", *FUNCTIONS]


def test_list_subclass_counts_as_a_list():
    class Names(list):
        pass

    names = Names()
    module = fresh_module(prepare=lambda m: setattr(m, "__all__", names))
    assert module.__all__ is names
    assert list(names) == FUNCTIONS


def test_functions_from_another_module_object_work():
    module = fresh_module()
    module.register_xml("other", TASK_XML)
    assert _velmora_backend.task_exists("other") is True
    module.delete_task("other")
    assert module.task_exists("other") is False
