"""Keyword names reach the binder in every form a str can take: compact ASCII
(read in place), non-ASCII, and str subclasses. Each form must match a
parameter of the same text and nothing else."""

import pytest

import _velmora_backend as backend
import _winsim


class Name(str):
    pass


def ascii_name():
    return "task_name"


def non_compact_name():
    return Name("task_name")


def runtime_ascii_name():
    # Built at run time, so not the interned constant of the call site.
    return "".join(["task", "_", "name"])


@pytest.fixture
def probe():
    import _binding_probe

    return _binding_probe


@pytest.fixture(autouse=True)
def clean_platform():
    _winsim.reset()
    yield
    _winsim.reset()


@pytest.mark.parametrize("make_name", [ascii_name, non_compact_name, runtime_ascii_name])
def test_task_name_given_by_keyword_in_any_form(make_name):
    assert backend.task_exists(**{make_name(): "absent"}) is False


@pytest.mark.parametrize("key", ["t\u00e2sk_name", "task_name\u20ac", Name("task_nam"), "TASK_NAME", "task_name "])
def test_near_names_are_unexpected(key):
    with pytest.raises(TypeError) as info:
        backend.task_exists(**{key: "absent"})
    assert info.value.args == (f"task_exists() got an unexpected keyword argument '{key}'",)
    assert _winsim.calls() == []


@pytest.mark.parametrize(
    "parameter, key",
    [
        ("\u00e9t\u00e9", "\u00e9t\u00e9"),  # latin-1, not ASCII: read through the interpreter
        ("\U0001d11e", "\U0001d11e"),  # four-byte UTF-8
        ("plain", Name("plain")),  # a subclass instance is not compact
    ],
)
def test_probe_matches_names_outside_compact_ascii(probe, parameter, key):
    description = ("f", None, (parameter,), 0, 1, ())
    assert probe.bind(description, (), (key,), (7,)) == ((7,),)
