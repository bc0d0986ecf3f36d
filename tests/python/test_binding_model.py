"""Binding checked against a reference model written from the binding rules.

The model knows nothing of the implementation: for a parameter description, a
positional count and a sequence of keyword names it says which vector entry
lands in which slot, or the exact TypeError message. Hypothesis draws calls
of the general binder (through _binding_probe) and of the four real
functions, and every outcome must match the model to the character.
The outcomes written out by hand in test_arguments.py hold the model itself
to examples.
"""

import sys
from dataclasses import dataclass

import pytest
from hypothesis import HealthCheck, event, example, given, settings
from hypothesis import strategies as st

import _velmora_backend as backend
import _winsim
from support import DESCRIBED_TASK_XML, FUZZ_EXAMPLES
from velmora.errors import TaskSchedulerError

CHECKS = settings(
    max_examples=FUZZ_EXAMPLES,
    derandomize=FUZZ_EXAMPLES <= 300,
    deadline=None,
    suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow],
)


# --- the model --------------------------------------------------------------


@dataclass(frozen=True)
class ParameterSpec:
    function: str
    class_name: str | None
    positional: tuple
    positional_only: int
    required: int
    keyword_only: tuple  # ((name, required), ...)

    def for_probe(self):
        return (self.function, self.class_name, self.positional, self.positional_only, self.required, self.keyword_only)


class Rejected(Exception):
    """The model's verdict: binding fails with this TypeError message."""


def lenient(text):
    return text.encode("utf-8", "surrogatepass").decode("utf-8", "replace")


def quoted_list(names):
    quoted = [f"'{name}'" for name in names]
    if len(quoted) <= 2:
        return " and ".join(quoted)
    return ", ".join(quoted[:-1]) + ", and " + quoted[-1]


def plural(count, word):
    return word if count == 1 else word + "s"


def key_text(key):
    """The text a keyword name is matched by, None when it cannot match."""
    if not isinstance(key, str):
        return None
    data = str.__str__(key)
    try:
        data.encode("utf-8")
    except UnicodeEncodeError:
        return None
    return data


def key_shown(key):
    try:
        text = str(key)
    except Exception:
        return f"<unprintable {lenient(type(key).__name__)} object>"
    return lenient(text)


def model_bind(params, given_count, keys):
    """Returns the slots as vector indices (None for empty) or raises Rejected."""
    full = (f"{params.class_name}." if params.class_name is not None else "") + params.function + "()"
    count = len(params.positional)
    if given_count > count:
        takes = f"{count}" if params.required == count else f"from {params.required} to {count}"
        verb = "was" if given_count == 1 else "were"
        raise Rejected(f"{full} takes {takes} positional arguments but {given_count} {verb} given")

    slots = [index if index < given_count else None for index in range(count)]
    slots += [None] * len(params.keyword_only)
    keyword_only_names = [name for name, _ in params.keyword_only]
    positional_only_given = []
    for offset, key in enumerate(keys):
        text = key_text(key)
        if text is not None and text in keyword_only_names:
            index = count + keyword_only_names.index(text)
            if slots[index] is not None:
                raise Rejected(f"{full} got multiple values for argument '{text}'")
            slots[index] = given_count + offset
        elif text is not None and text in params.positional:
            index = params.positional.index(text)
            if index < params.positional_only:
                positional_only_given.append(text)
            elif slots[index] is not None:
                raise Rejected(f"{full} got multiple values for argument '{text}'")
            else:
                slots[index] = given_count + offset
        else:
            raise Rejected(f"{full} got an unexpected keyword argument '{key_shown(key)}'")

    if positional_only_given:
        raise Rejected(
            f"{full} got some positional-only arguments passed as keyword arguments: "
            f"{quoted_list(positional_only_given)}"
        )
    missing = [params.positional[index] for index in range(params.required) if slots[index] is None]
    if missing:
        raise Rejected(
            f"{full} missing {len(missing)} required positional {plural(len(missing), 'argument')}: "
            f"{quoted_list(missing)}"
        )
    missing = [
        name
        for offset, (name, required) in enumerate(params.keyword_only)
        if required and slots[count + offset] is None
    ]
    if missing:
        raise Rejected(
            f"{full} missing {len(missing)} required keyword {plural(len(missing), 'argument')}: {quoted_list(missing)}"
        )
    return slots


def verdict(outcome):
    """A short label of a model outcome, for the test statistics."""
    if not isinstance(outcome, Rejected):
        return "bound"
    message = outcome.args[0]
    for label in ("takes", "unexpected", "multiple", "positional-only", "required positional", "required keyword"):
        if label in message:
            return label
    return message


def text_failure(value):
    """The (type, message) with which a bound value fails to become text, or None."""
    if value is None:
        return TypeError, "'None' is not an instance of 'str'"
    if not isinstance(value, str):
        return TypeError, f"'{lenient(type(value).__qualname__)}' object is not an instance of 'str'"
    try:
        str.__str__(value).encode("utf-8")
    except UnicodeEncodeError as error:
        return UnicodeEncodeError, str(error)
    return None


# --- value and key strategies -----------------------------------------------


class Text(str):
    def __str__(self):
        return "not the data"


class ShownKey(str):
    def __str__(self):
        return "shown\udfff"


class BrokenKey(str):
    def __str__(self):
        raise ArithmeticError("no text")


class Outer:
    class Inner:
        pass


NAMES = ["a", "b", "c", "task_name", "xml_data", "\u00e9", "\U0001d11e", ""]
ODD_KEYS = ["x", "Task_name", "task_name\0", "a\ud800", "\udfff\ud800", "task_nam"]

characters = st.one_of(
    st.characters(),
    st.sampled_from(["\0", "\ud800", "\udfff", "\U0001d11e", "\U0010ffff", "\u00e9", "\ufffd"]),
)
texts = st.one_of(st.text(characters, max_size=12), st.text(characters, max_size=12).map(Text))
non_texts = st.one_of(
    st.none(),
    st.integers(),
    st.floats(allow_nan=False),
    st.binary(max_size=4),
    st.booleans(),
    st.lists(st.integers(), max_size=2),
    st.just(Outer.Inner()),
    st.just(Text),
)
values = st.one_of(texts, texts, non_texts)

name_keys = st.one_of(
    st.sampled_from(NAMES + ODD_KEYS),
    st.sampled_from(NAMES).map(str.upper),
    st.sampled_from(NAMES).map(ShownKey),
)


@st.composite
def parameter_specs(draw):
    positional = tuple(draw(st.lists(st.sampled_from(NAMES), unique=True, max_size=4)))
    keyword_only = tuple(
        draw(st.lists(st.tuples(st.sampled_from(NAMES), st.booleans()), unique_by=lambda entry: entry[0], max_size=3))
    )
    return ParameterSpec(
        function=draw(st.sampled_from(["f", "run_task", "g\U0001d11e"])),
        class_name=draw(st.one_of(st.none(), st.sampled_from(["C", "Outer.Inner", "Cl\u00e9"]))),
        positional=positional,
        positional_only=draw(st.integers(0, len(positional))),
        required=draw(st.integers(0, len(positional))),
        keyword_only=keyword_only,
    )


class Unraisables:
    """Collects what reaches sys.unraisablehook while active."""

    def __enter__(self):
        self.reports = []
        self.saved = sys.unraisablehook
        sys.unraisablehook = self.reports.append
        return self

    def __exit__(self, *exc):
        sys.unraisablehook = self.saved


# --- the general binder -----------------------------------------------------


@st.composite
def general_calls(draw):
    params = draw(parameter_specs())
    own_names = list(params.positional) + [name for name, _ in params.keyword_only]
    keys = st.one_of(name_keys, st.integers(0, 2), st.none(), st.just(BrokenKey("k")))
    if own_names:
        # Mostly the description's own names, so that duplicates and
        # positional-only names given by keyword come up often.
        keys = st.one_of(st.sampled_from(own_names), st.sampled_from(own_names), keys)
    positional_count = draw(
        st.one_of(st.integers(0, len(params.positional)), st.integers(0, len(params.positional) + 2))
    )
    return params, positional_count, draw(st.lists(keys, max_size=4))


@CHECKS
@given(call=general_calls())
def test_general_binder_matches_the_model(call):
    params, positional_count, keys = call
    import _binding_probe as probe

    vector = [object() for _ in range(positional_count + len(keys))]
    try:
        expected = model_bind(params, positional_count, keys)
    except Rejected as rejected:
        expected = rejected
    event(verdict(expected))

    with Unraisables() as unraisables:
        try:
            slots = probe.bind(
                params.for_probe(),
                tuple(vector[:positional_count]),
                tuple(keys) if keys else None,
                tuple(vector[positional_count:]),
            )
        except TypeError as error:
            assert isinstance(expected, Rejected), error
            assert error.args == expected.args
            assert not hasattr(error, "__notes__")
            shown_unprintable = "<unprintable " in expected.args[0]
            assert len(unraisables.reports) == (1 if shown_unprintable else 0)
            return

    assert not isinstance(expected, Rejected), expected
    assert unraisables.reports == []
    assert [slot[0] if slot else None for slot in slots] == [
        None if index is None else vector[index] for index in expected
    ]


# --- the four functions -----------------------------------------------------

FUNCTIONS = {
    "run_task": ("task_name",),
    "delete_task": ("task_name",),
    "task_exists": ("task_name",),
    "register_xml": ("task_name", "xml_data"),
}

XML_TEMPLATE = DESCRIBED_TASK_XML
XML_HEAD = XML_TEMPLATE[: XML_TEMPLATE.index("{")]
INVALID_NAME = 0x8007007B
NAME_STEPS = {
    "run_task": "GetTask",
    "delete_task": "DeleteTask",
    "task_exists": "GetTask",
    "register_xml": "RegisterTask",
}


def holds_invalid_character(name):
    """Whether the name holds a character that no file name may hold, which the scheduler refuses."""
    return any(c in '*?"<>|' or "\x01" <= c <= "\x1f" for c in name)


xml_texts = st.text(st.sampled_from("abc XYZ \u00e9\u65e5\U0001d11e\U0001f600"), max_size=10).map(XML_TEMPLATE.format)


@CHECKS
@given(
    function=st.sampled_from(sorted(FUNCTIONS)),
    positional=st.lists(st.one_of(values, xml_texts), max_size=3),
    keywords=st.dictionaries(
        st.sampled_from(["task_name", "xml_data", "x", "Task_name", "task_name\ud800", ""]),
        st.one_of(values, xml_texts),
        max_size=3,
    ),
    registered=st.booleans(),
)
@example(function="task_exists", positional=["a*b"], keywords={}, registered=True)
@example(function="register_xml", positional=["a\x1f", XML_TEMPLATE.format("x")], keywords={}, registered=False)
def test_functions_match_the_model(function, positional, keywords, registered):
    _winsim.reset()
    parameters = FUNCTIONS[function]
    params = ParameterSpec(function, None, parameters, 0, len(parameters), ())
    vector = positional + list(keywords.values())
    call = getattr(backend, function)

    try:
        slots = model_bind(params, len(positional), list(keywords))
    except Rejected as rejected:
        event(verdict(rejected))
        with pytest.raises(TypeError) as raised:
            call(*positional, **keywords)
        assert raised.value.args == rejected.args
        assert not hasattr(raised.value, "__notes__")
        assert _winsim.calls() == []
        return

    bound = [vector[index] for index in slots]
    for name, value in zip(parameters, bound, strict=True):
        failure = text_failure(value)
        if failure is not None:
            error_type, message = failure
            with pytest.raises(error_type) as raised:
                call(*positional, **keywords)
            assert type(raised.value) is error_type and str(raised.value) == message
            assert raised.value.__notes__ == [f"while processing '{name}'"]
            assert _winsim.calls() == []
            return

    texts = [str.__str__(value) for value in bound]
    check_scheduler_outcome(function, call, positional, keywords, texts, registered)
    assert _winsim.live_objects() == 0


def outcome_of(call):
    """What a call returned, or the class and arguments of what it raised."""
    try:
        return ("returned", call())
    except TaskSchedulerError as error:
        return ("raised", type(error), error.args)


def check_scheduler_outcome(function, call, positional, keywords, texts, registered):
    name = texts[0]
    if name == "" or "\\" in name or "/" in name:
        # An empty name goes to the scheduler as a null path and a separator
        # makes a path through folders; what the scheduler makes of those is
        # not binding's business: the call ends as the plain call does.
        bound_call = outcome_of(lambda: call(*positional, **keywords))
        _winsim.reset()
        assert bound_call == outcome_of(lambda: getattr(backend, function)(*texts))
        return

    if holds_invalid_character(name) and (function != "register_xml" or texts[1].startswith(XML_HEAD)):
        with pytest.raises(TaskSchedulerError) as raised:
            call(*positional, **keywords)
        assert (raised.value.hresult, raised.value.step) == (INVALID_NAME, NAME_STEPS[function])
        assert _winsim.tasks() == {}
        return

    if function == "register_xml":
        xml = texts[1]
        if xml.startswith(XML_HEAD):
            assert call(*positional, **keywords) is None
            assert _winsim.tasks() == {name: xml}
        else:
            with pytest.raises(TaskSchedulerError):
                call(*positional, **keywords)
            assert _winsim.tasks() == {}
        return

    if registered:
        backend.register_xml(name, XML_TEMPLATE.format("seed"))
    if function == "task_exists":
        assert call(*positional, **keywords) is registered
        return
    if not registered:
        with pytest.raises(TaskSchedulerError):
            call(*positional, **keywords)
        return
    assert call(*positional, **keywords) is None
    if function == "run_task":
        assert _winsim.run_counts() == {name: 1}
    else:
        assert _winsim.tasks() == {}


# --- lenient text -----------------------------------------------------------

# Byte strings rich in the edges of UTF-8: lead bytes of every length, the
# ranges that exclude overlongs, surrogates and values above U+10FFFF, and
# stray continuation bytes.
utf8_edges = st.lists(
    st.one_of(
        st.integers(0, 255),
        st.sampled_from([0x80, 0xBF, 0xC0, 0xC1, 0xC2, 0xDF, 0xE0, 0xED, 0xEF, 0xF0, 0xF4, 0xF5, 0xFF, 0x9F, 0xA0]),
    ),
    max_size=12,
).map(bytes)


@CHECKS
@given(raw=st.one_of(st.binary(max_size=12), utf8_edges))
# Well-formed four-byte sequences under each lead byte range, kept whole.
@example(raw=b"\xf0\x90\x80\x80\xf1\x80\x80\x80\xf3\xbf\xbf\xbf\xf4\x8f\xbf\xbf")
# Maximal subparts: truncated, overlong, surrogate, above U+10FFFF, strays.
@example(raw=b"\xe2\x82x\xff\xf0\x9d\x84")
@example(raw=b"\xe0\x80\x80\xc0\xaf\xed\xa0\x80\xf4\x90\x80\x80a\x80\xbfb")
def test_invalid_utf8_replacement_matches_the_interpreter(raw):
    import _binding_probe as probe

    # The interpreter's own decoder replaces each maximal invalid subpart.
    assert probe.replace_invalid_utf8(raw) == raw.decode("utf-8", "replace").encode("utf-8")
