"""Argument binding and text conversion of the four functions.

Every binding failure is a TypeError with a fixed message, raised before the
scheduler is touched; every text failure carries a note naming the parameter.
The general binder (positional-only and keyword-only parameters, class names,
keyword vectors that Python syntax cannot produce) is driven through the
test-only extension _binding_probe.
"""

import sys

import pytest
from test_binding_model import FUNCTIONS, ParameterSpec, Rejected, model_bind

import _velmora_backend as backend
import _winsim
from support import DESCRIBED_TASK_XML
from velmora.errors import TaskSchedulerError

XML = DESCRIBED_TASK_XML.format("binding")


@pytest.fixture
def probe():
    import _binding_probe

    return _binding_probe


def raised(call):
    with pytest.raises(BaseException) as info:
        call()
    return info.value


def assert_binding_error(error, message):
    assert type(error) is TypeError
    assert error.args == (message,)
    assert not hasattr(error, "__notes__")


def assert_untouched_scheduler():
    assert _winsim.calls() == []


# --- the example table ------------------------------------------------------

EXAMPLES = [
    ("run_task", (), {}, "run_task() missing 1 required positional argument: 'task_name'"),
    ("delete_task", (), {}, "delete_task() missing 1 required positional argument: 'task_name'"),
    ("task_exists", (), {}, "task_exists() missing 1 required positional argument: 'task_name'"),
    ("register_xml", (), {}, "register_xml() missing 2 required positional arguments: 'task_name' and 'xml_data'"),
    ("register_xml", ("a",), {}, "register_xml() missing 1 required positional argument: 'xml_data'"),
    ("register_xml", (), {"xml_data": XML}, "register_xml() missing 1 required positional argument: 'task_name'"),
    ("run_task", ("a", "b"), {}, "run_task() takes 1 positional arguments but 2 were given"),
    ("register_xml", ("a", "b", "c"), {}, "register_xml() takes 2 positional arguments but 3 were given"),
    ("run_task", ("a", "b"), {"x": "c"}, "run_task() takes 1 positional arguments but 2 were given"),
    ("run_task", (), {"task_name": "a", "x": "c"}, "run_task() got an unexpected keyword argument 'x'"),
    ("run_task", (), {"x": "c"}, "run_task() got an unexpected keyword argument 'x'"),
    ("run_task", ("a",), {"task_name": "b"}, "run_task() got multiple values for argument 'task_name'"),
    ("register_xml", ("a", "b"), {"task_name": "c"}, "register_xml() got multiple values for argument 'task_name'"),
]


# --- precedence -------------------------------------------------------------

PRECEDENCE = [
    # Too many positional values win over everything about keywords.
    (
        "task_exists",
        ("a", "b", "c"),
        {"task_name": "d", "y": 1},
        "task_exists() takes 1 positional arguments but 3 were given",
    ),
    # The first offending keyword, in the order given, is the one reported.
    ("run_task", ("a",), {"y": 1, "task_name": "b"}, "run_task() got an unexpected keyword argument 'y'"),
    ("run_task", ("a",), {"task_name": "b", "y": 1}, "run_task() got multiple values for argument 'task_name'"),
    (
        "register_xml",
        ("a",),
        {"xml_data": "b", "task_name": "c", "z": 1},
        "register_xml() got multiple values for argument 'task_name'",
    ),
    # An unexpected keyword wins over missing parameters.
    ("register_xml", (), {"zz": 1}, "register_xml() got an unexpected keyword argument 'zz'"),
    ("delete_task", (), {"Task_name": "a"}, "delete_task() got an unexpected keyword argument 'Task_name'"),
    # Names match by every byte: no prefix, no extension.
    ("delete_task", (), {"task_nam": "a"}, "delete_task() got an unexpected keyword argument 'task_nam'"),
    ("delete_task", (), {"task_name_": "a"}, "delete_task() got an unexpected keyword argument 'task_name_'"),
    ("delete_task", (), {"task_name\0": "a"}, "delete_task() got an unexpected keyword argument 'task_name\0'"),
    ("run_task", (), {"": "a"}, "run_task() got an unexpected keyword argument ''"),
    ("run_task", (), {"\U0001d11e": "a"}, "run_task() got an unexpected keyword argument '\U0001d11e'"),
    ("register_xml", (), {"task_name": "a"}, "register_xml() missing 1 required positional argument: 'xml_data'"),
]


# The reference model of test_binding_model.py must give each message too.
@pytest.mark.parametrize("function, args, kwargs, message", EXAMPLES + PRECEDENCE)
def test_binding_failures_match_the_examples_and_the_model(function, args, kwargs, message):
    parameters = FUNCTIONS[function]
    with pytest.raises(Rejected) as modelled:
        model_bind(ParameterSpec(function, None, parameters, 0, len(parameters), ()), len(args), list(kwargs))
    assert modelled.value.args == (message,)
    error = raised(lambda: getattr(backend, function)(*args, **kwargs))
    assert_binding_error(error, message)
    assert_untouched_scheduler()


@pytest.mark.parametrize(
    "args, kwargs",
    [
        (("name", XML), {}),
        (("name",), {"xml_data": XML}),
        ((), {"task_name": "name", "xml_data": XML}),
        ((), {"xml_data": XML, "task_name": "name"}),
    ],
)
def test_register_xml_binds_by_position_and_keyword(args, kwargs):
    assert backend.register_xml(*args, **kwargs) is None
    assert _winsim.tasks() == {"name": XML}


@pytest.mark.parametrize("function", ["run_task", "delete_task", "task_exists"])
def test_task_name_by_keyword(function):
    backend.register_xml("name", XML)
    result = getattr(backend, function)(task_name="name")
    if function == "run_task":
        assert _winsim.run_counts() == {"name": 1}
    elif function == "delete_task":
        assert _winsim.tasks() == {}
    else:
        assert result is True


# --- wrong types ------------------------------------------------------------


class Outer:
    class Inner:
        pass


def make_local():
    class Local:
        pass

    return Local()


class NotAStr:
    """A non-str whose __str__ works: conversion must not call it."""

    def __str__(self):
        return "text"


class surrogate_named:
    pass


# A qualified name may hold lone surrogates (the plain name may not).
surrogate_named.__qualname__ = "Odd\ud800Name"

WRONG_TYPES = [
    (1, "'int' object is not an instance of 'str'"),
    (True, "'bool' object is not an instance of 'str'"),
    (1.5, "'float' object is not an instance of 'str'"),
    (b"name", "'bytes' object is not an instance of 'str'"),
    (bytearray(b"name"), "'bytearray' object is not an instance of 'str'"),
    (["name"], "'list' object is not an instance of 'str'"),
    (None, "'None' is not an instance of 'str'"),
    (Outer.Inner(), "'Outer.Inner' object is not an instance of 'str'"),
    (make_local(), "'make_local.<locals>.Local' object is not an instance of 'str'"),
    (NotAStr(), "'NotAStr' object is not an instance of 'str'"),
    (str, "'type' object is not an instance of 'str'"),
    (surrogate_named(), "'Odd\ufffd\ufffd\ufffdName' object is not an instance of 'str'"),
]


def assert_text_error(error, error_type, message, parameter):
    assert type(error) is error_type
    assert str(error) == message
    assert error.__notes__ == [f"while processing '{parameter}'"]


@pytest.mark.parametrize("value, message", WRONG_TYPES)
@pytest.mark.parametrize("function", ["run_task", "delete_task", "task_exists"])
def test_wrong_task_name_type(function, value, message):
    error = raised(lambda: getattr(backend, function)(value))
    assert_text_error(error, TypeError, message, "task_name")
    assert error.args == (message,)
    assert_untouched_scheduler()


@pytest.mark.parametrize("value, message", WRONG_TYPES)
def test_wrong_xml_data_type(value, message):
    error = raised(lambda: backend.register_xml("name", xml_data=value))
    assert_text_error(error, TypeError, message, "xml_data")
    assert_untouched_scheduler()


def test_register_xml_examines_task_name_first():
    error = raised(lambda: backend.register_xml(1, 2))
    assert_text_error(error, TypeError, "'int' object is not an instance of 'str'", "task_name")
    error = raised(lambda: backend.register_xml(1, "x\ud800"))
    assert_text_error(error, TypeError, "'int' object is not an instance of 'str'", "task_name")
    assert_untouched_scheduler()


def test_renamed_qualname_is_reported():
    class Plain:
        pass

    Plain.__qualname__ = "Somewhere.Else"
    error = raised(lambda: backend.run_task(Plain()))
    assert_text_error(error, TypeError, "'Somewhere.Else' object is not an instance of 'str'", "task_name")


# --- text values ------------------------------------------------------------


class Text(str):
    """A str subclass: its own string data is the text, not __str__."""

    def __str__(self):
        return "not this"


TEXTS = [
    pytest.param("plain", id="ascii"),
    pytest.param("a\0b\0", id="nul"),
    pytest.param("\U0001d11e clef \U0010ffff", id="non-bmp"),
    pytest.param("caf\u00e9 \u65e5\u672c", id="bmp"),
    pytest.param("\ufffd\ufeff", id="specials"),
    pytest.param("x" * 100_000, id="long"),
    pytest.param(Text("subclass"), id="str-subclass"),
]


@pytest.mark.parametrize("name", TEXTS)
def test_texts_reach_the_scheduler_whole(name):
    xml = XML.replace("binding", "\U0001f600 \u00e9")
    backend.register_xml(name, Text(xml))
    assert _winsim.tasks() == {str.__str__(name): xml}
    assert backend.task_exists(name) is True
    backend.run_task(name)
    assert _winsim.run_counts() == {str.__str__(name): 1}
    backend.delete_task(name)
    assert _winsim.tasks() == {}


@pytest.mark.parametrize("text", TEXTS + [pytest.param("", id="empty")])
def test_bound_text_is_the_utf8_form(probe, text):
    assert probe.read_text(text, "p") == str.__str__(text).encode("utf-8")


def test_empty_task_name_reaches_the_scheduler():
    # Not an argument error: the scheduler gets a null path and refuses it.
    with pytest.raises(TaskSchedulerError) as caught:
        backend.task_exists("")
    assert caught.value.args[1:] == (0x80070057, "GetTask")


LONE_SURROGATES = ["\ud800", "name\udfff", "\ud83d\ude00", "a\udc80b\U0001d11e"]


@pytest.mark.parametrize("text", LONE_SURROGATES)
@pytest.mark.parametrize("function", ["run_task", "delete_task", "task_exists"])
def test_lone_surrogate_in_task_name(function, text):
    with pytest.raises(UnicodeEncodeError) as expected:
        text.encode("utf-8")
    error = raised(lambda: getattr(backend, function)(text))
    assert_text_error(error, UnicodeEncodeError, str(expected.value), "task_name")
    assert (error.encoding, error.object, error.start, error.end, error.reason) == (
        "utf-8",
        text,
        expected.value.start,
        expected.value.end,
        "surrogates not allowed",
    )
    assert_untouched_scheduler()


@pytest.mark.parametrize("text", LONE_SURROGATES)
def test_lone_surrogate_in_xml_data(text):
    error = raised(lambda: backend.register_xml("name", Text(text)))
    assert type(error) is UnicodeEncodeError
    assert error.__notes__ == ["while processing 'xml_data'"]
    assert_untouched_scheduler()


# --- keyword names ----------------------------------------------------------

SURROGATE_KEYWORDS = [
    ("task_name\ud800", "task_name\ufffd\ufffd\ufffd"),
    ("\udfff", "\ufffd\ufffd\ufffd"),
    # Two surrogates side by side are still two lone ones in a str.
    ("\ud83d\ude00", "\ufffd" * 6),
    ("a\udc80\U0001d11e", "a\ufffd\ufffd\ufffd\U0001d11e"),
]


@pytest.mark.parametrize("key, shown", SURROGATE_KEYWORDS)
def test_lone_surrogate_keyword_is_unexpected(key, shown):
    error = raised(lambda: backend.run_task("name", **{key: "x"}))
    assert_binding_error(error, f"run_task() got an unexpected keyword argument '{shown}'")
    assert_untouched_scheduler()


class Key(str):
    pass


class ShownKey(str):
    def __str__(self):
        return "shown\ud800"


class BrokenKey(str):
    def __str__(self):
        raise LookupError("no text")


class NonStrKey(str):
    def __str__(self):
        return 42


def test_str_subclass_keyword_matches_by_its_data():
    backend.register_xml(**{Key("task_name"): "name", ShownKey("xml_data"): XML})
    assert _winsim.tasks() == {"name": XML}


def test_unexpected_keyword_shows_str_of_the_key():
    error = raised(lambda: backend.run_task("name", **{ShownKey("x"): 1}))
    assert_binding_error(error, "run_task() got an unexpected keyword argument 'shown\ufffd\ufffd\ufffd'")


@pytest.mark.parametrize(
    "key_type, failure",
    [(BrokenKey, LookupError), (NonStrKey, TypeError)],
)
def test_unprintable_keyword(monkeypatch, key_type, failure):
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    key = key_type("x")
    error = raised(lambda: backend.delete_task(**{key: 1}))
    assert_binding_error(
        error, f"delete_task() got an unexpected keyword argument '<unprintable {key_type.__name__} object>'"
    )
    assert len(reports) == 1
    assert reports[0].exc_type is failure
    assert reports[0].object is key
    assert_untouched_scheduler()


def test_unprintable_keyword_names_the_type_not_its_qualname(monkeypatch):
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    key_type = type("Cl\u00e9", (BrokenKey,), {"__qualname__": "Outer.Cl\u00e9"})
    error = raised(lambda: backend.run_task("name", **{key_type("x"): 1}))
    assert_binding_error(error, "run_task() got an unexpected keyword argument '<unprintable Cl\u00e9 object>'")
    assert len(reports) == 1


# --- notes ------------------------------------------------------------------


class NoteRecorder(ValueError):
    def add_note(self, note):
        self.seen = note


class NoteRefuser(ValueError):
    def add_note(self, note):
        raise RuntimeError("refused")


def test_note_goes_through_the_add_note_method(probe):
    original = NoteRecorder("boom")
    error = raised(lambda: probe.add_note(original, "task_name"))
    assert error is original
    assert error.seen == "while processing 'task_name'"


def test_failed_note_leaves_the_exception_alone(probe):
    refuser = NoteRefuser("boom")
    error = raised(lambda: probe.add_note(refuser, "task_name"))
    assert error is refuser and error.args == ("boom",)
    assert error.__context__ is None and not hasattr(error, "__notes__")

    broken_notes = KeyError("k")
    broken_notes.__notes__ = "not a list"
    error = raised(lambda: probe.add_note(broken_notes, "xml_data"))
    assert error is broken_notes and error.__notes__ == "not a list"


def test_note_is_added_after_existing_ones(probe):
    original = OSError("boom")
    original.add_note("first")
    error = raised(lambda: probe.add_note(original, "p\U0001d11e"))
    assert error.__notes__ == ["first", "while processing 'p\U0001d11e'"]


# --- the general binder -----------------------------------------------------


def params(name="f", positional=(), positional_only=0, required=None, keyword_only=(), class_name=None):
    return (
        name,
        class_name,
        tuple(positional),
        positional_only,
        len(positional) if required is None else required,
        tuple(keyword_only),
    )


def bind(probe, description, args=(), keywords=()):
    names = tuple(name for name, _ in keywords) if keywords else None
    return probe.bind(description, tuple(args), names, tuple(value for _, value in keywords))


ABC = ("a", "b", "c")

GENERAL_MESSAGES = [
    (params(positional=ABC), (1, 2, 3, 4), (), "f() takes 3 positional arguments but 4 were given"),
    (
        params(positional=ABC, required=1),
        (1, 2, 3, 4),
        (),
        "f() takes from 1 to 3 positional arguments but 4 were given",
    ),
    (
        params(positional=ABC, required=0),
        (1, 2, 3, 4, 5),
        (),
        "f() takes from 0 to 3 positional arguments but 5 were given",
    ),
    (params(), (1,), (), "f() takes 0 positional arguments but 1 was given"),
    (params(positional=("a",), class_name="Cls"), (1, 2), (), "Cls.f() takes 1 positional arguments but 2 were given"),
    (params(class_name="Outer.Cls"), (), (("k", 1),), "Outer.Cls.f() got an unexpected keyword argument 'k'"),
    (
        params(positional=ABC, positional_only=2),
        (),
        (("b", 1), ("a", 2)),
        "f() got some positional-only arguments passed as keyword arguments: 'b' and 'a'",
    ),
    (
        params(positional=ABC, positional_only=3),
        (1,),
        (("c", 1),),
        "f() got some positional-only arguments passed as keyword arguments: 'c'",
    ),
    (
        params(positional=ABC, positional_only=3),
        (),
        (("b", 1), ("c", 2), ("a", 3)),
        "f() got some positional-only arguments passed as keyword arguments: 'b', 'c', and 'a'",
    ),
    # Positional-only names given by keyword are not a duplicate of the positional value.
    (
        params(positional=ABC, positional_only=1),
        (1,),
        (("a", 1),),
        "f() got some positional-only arguments passed as keyword arguments: 'a'",
    ),
    # ... but a later unexpected keyword still wins.
    (params(positional=ABC, positional_only=1), (), (("a", 1), ("z", 2)), "f() got an unexpected keyword argument 'z'"),
    (
        params(positional=ABC, positional_only=1, class_name="C"),
        (1, 2),
        (("a", 1),),
        "C.f() got some positional-only arguments passed as keyword arguments: 'a'",
    ),
    # 'b' is not positional-only: it binds, and the message leaves it out.
    (
        params(positional=ABC, positional_only=1),
        (),
        (("a", 1), ("b", 2)),
        "f() got some positional-only arguments passed as keyword arguments: 'a'",
    ),
    (params(positional=ABC), (), (), "f() missing 3 required positional arguments: 'a', 'b', and 'c'"),
    (
        params(positional=("a", "b", "c", "d")),
        (1,),
        (("c", 1),),
        "f() missing 2 required positional arguments: 'b' and 'd'",
    ),
    (params(positional=ABC, required=2), (), (("c", 1),), "f() missing 2 required positional arguments: 'a' and 'b'"),
    (params(keyword_only=(("k", True),)), (), (), "f() missing 1 required keyword argument: 'k'"),
    (
        params(keyword_only=(("k", True), ("o", False), ("m", True), ("n", True))),
        (),
        (("o", 1),),
        "f() missing 3 required keyword arguments: 'k', 'm', and 'n'",
    ),
    (params(positional=("a",), keyword_only=(("k", True),)), (), (), "f() missing 1 required positional argument: 'a'"),
    (params(keyword_only=(("k", False),)), (), (("k", 1), ("k", 2)), "f() got multiple values for argument 'k'"),
    (params(positional=ABC), (1,), (("b", 1), ("b", 2)), "f() got multiple values for argument 'b'"),
    # Keyword-only names are looked up before positional ones.
    (
        params(positional=("a",), keyword_only=(("a", False),)),
        (),
        (("a", 1),),
        "f() missing 1 required positional argument: 'a'",
    ),
    (params(keyword_only=(("k", True),)), (1,), (), "f() takes 0 positional arguments but 1 was given"),
    (params(positional=("a",)), (), ((7, 1),), "f() got an unexpected keyword argument '7'"),
    (params(positional=("a",)), (), ((None, 1),), "f() got an unexpected keyword argument 'None'"),
    (
        params(name="\U0001d11e", positional=("\u00e9",)),
        (),
        (),
        "\U0001d11e() missing 1 required positional argument: '\u00e9'",
    ),
]


GENERAL_SUCCESS = [
    (params(positional=ABC), (1, 2, 3), (), [(1,), (2,), (3,)]),
    (params(positional=ABC, required=1), (1,), (), [(1,), (), ()]),
    (params(positional=ABC, required=1), (1,), (("c", 3),), [(1,), (), (3,)]),
    (params(positional=ABC, positional_only=1), (1,), (("c", 3), ("b", 2)), [(1,), (2,), (3,)]),
    (params(positional=("a",), keyword_only=(("k", True), ("o", False))), (1,), (("k", 2),), [(1,), (2,), ()]),
    (params(keyword_only=(("k", False),)), (), (), [()]),
    (params(), (), (), []),
    (params(positional=("a",)), (None,), (), [(None,)]),
]


# Every written-out outcome above is also what the reference model of
# test_binding_model.py computes, so the model is held to these examples.
@pytest.mark.parametrize("description, args, keywords, outcome", GENERAL_MESSAGES + GENERAL_SUCCESS)
def test_general_binding_matches_the_examples_and_the_model(probe, description, args, keywords, outcome):
    vector = list(args) + [value for _, value in keywords]
    try:
        slots = model_bind(ParameterSpec(*description), len(args), [key for key, _ in keywords])
        modelled = [() if index is None else (vector[index],) for index in slots]
    except Rejected as rejected:
        modelled = rejected.args[0]
    assert modelled == outcome
    if isinstance(outcome, str):
        assert_binding_error(raised(lambda: bind(probe, description, args, keywords)), outcome)
    else:
        assert list(bind(probe, description, args, keywords)) == outcome


@pytest.mark.parametrize("call", [((1,), None), ((), ("a",))], ids=["common-call", "keyword-call"])
def test_slots_that_do_not_fit_the_description_are_a_fault(probe, call):
    args, kwnames = call
    error = raised(lambda: probe.bind(params(positional=("a",)), args, kwnames, (1,) if kwnames else (), 1))
    assert type(error).__name__ == "PanicException"
    assert error.args == ("argument slots do not match the parameters of f",)


def test_empty_keyword_tuple_is_no_keyword(probe):
    assert probe.bind(params(positional=("a",)), (1,), (), ()) == ((1,),)


# --- message texts ----------------------------------------------------------

TYPE_MISMATCH = [
    (1, str, "'int' object is not an instance of 'str'"),
    (None, list, "'None' is not an instance of 'list'"),
    ("text", type(sys), "'str' object is not an instance of 'module'"),
    (1, type(None), "'int' object is not an instance of 'None'"),
    (None, type(None), "'None' is not an instance of 'None'"),
    (Outer.Inner(), Outer.Inner, "'Outer.Inner' object is not an instance of 'Outer.Inner'"),
    (1, surrogate_named, "'int' object is not an instance of 'Odd\ufffd\ufffd\ufffdName'"),
]


@pytest.mark.parametrize("value, target, message", TYPE_MISMATCH)
def test_type_mismatch_message(probe, value, target, message):
    error = raised(lambda: probe.type_mismatch(value, target))
    assert_binding_error(error, message)


@pytest.mark.parametrize("failing_write", [1, 4])
def test_no_memory_in_the_middle_of_a_message_leaves_no_writer(probe, monkeypatch, failing_write):
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    probe.fail_write(failing_write)
    try:
        error = raised(lambda: bind(probe, params(positional=ABC), ()))
    finally:
        probe.fail_write(0)
    assert type(error).__name__ == "PanicException"
    assert [report.exc_type for report in reports] == [MemoryError]
    assert probe.live_writers() == 0


def test_a_name_made_twice_at_once_keeps_one_reference(probe):
    # The probe makes its first name a second time while the first making is
    # under way: the loser's reference must go, so both names hold the same.
    raced, calm = probe.names()
    assert sys.getrefcount(raced) == sys.getrefcount(calm)
