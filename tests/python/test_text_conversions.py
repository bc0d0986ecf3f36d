"""The module's text conversions held against the interpreter's own codecs.

Through _text_probe: UTF-8 to UTF-16 (also for malformed input, which must
never be read past), UTF-16 to UTF-8 with U+FFFD for unpaired surrogates, the
trimming of trailing blanks and line breaks, the "0x" + eight digits text of an
HRESULT and the BSTR made for a text. End to end through the module and the
simulation: names and XML reach the scheduler exactly, and the text of an
error object comes back in the exception exactly as the rules make it.

VELMORA_FUZZ_EXAMPLES scales the number of examples (tools/test --full).
"""

import codecs

import _text_probe as probe
import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

import _velmora_backend as backend
import _winsim
from support import DESCRIBED_TASK_XML, E_ACCESSDENIED, FUZZ_EXAMPLES, display_text
from velmora.errors import TaskPermissionError, TaskSchedulerError

FUZZ = settings(
    max_examples=FUZZ_EXAMPLES,
    derandomize=FUZZ_EXAMPLES <= 300,
    deadline=None,
    suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow],
)
# The end-to-end checks go through the whole module; fewer examples suffice.
END_TO_END = settings(FUZZ, max_examples=max(FUZZ_EXAMPLES // 4, 50))

TRAILING = "\t\n\x0b\x0c\r "

# Malformed input is replaced one byte at a time, and decoding goes on with
# the next byte: the interpreter's decoder with this handler is the reference.
codecs.register_error("velmora-one-byte", lambda error: ("\ufffd", error.start + 1))

# Everything a str can hold, lone surrogates included.
any_char = st.characters(codec=None, exclude_categories=())
surrogate = st.characters(min_codepoint=0xD800, max_codepoint=0xDFFF, exclude_categories=())
# Characters the trimming rule must tell apart: its six, other blanks and
# line separators it must keep, and ordinary ones.
edge_char = st.sampled_from(list(TRAILING) + ["\x1c", "\x1f", "\x85", "\xa0", "\u2028", "\u3000", "a", "\x00"])
utf16_text = st.text(st.one_of(any_char, edge_char, surrogate, st.sampled_from(["\ud83d", "\ude00"])))


def units(text):
    """The UTF-16 code units of a str, lone surrogates as they are."""
    return text.encode("utf-16-le", "surrogatepass")


def utf16_to_utf8(data):
    return data.decode("utf-16-le", "replace").encode("utf-8")


def trimmed(data):
    return units(data.decode("utf-16-le", "surrogatepass").rstrip(TRAILING))


# Well-formed pieces of UTF-8 and the bytes that break it: stray
# continuations, truncated sequences, overlong forms, encoded surrogates,
# values above U+10FFFF and bytes that never occur.
utf8_piece = st.one_of(
    any_char.filter(lambda c: not "\ud800" <= c <= "\udfff").map(lambda c: c.encode("utf-8")),
    st.integers(0x80, 0xFF).map(lambda b: bytes([b])),
    any_char.filter(lambda c: c > "\x7f" and not "\ud800" <= c <= "\udfff").flatmap(
        lambda c: st.integers(1, len(c.encode("utf-8")) - 1).map(lambda n: c.encode("utf-8")[:n])
    ),
    st.sampled_from(
        [
            b"\xc0\xaf",
            b"\xe0\x80\xaf",
            b"\xed\xa0\x80",
            b"\xed\xbf\xbf",
            b"\xf4\x90\x80\x80",
            b"\xf8\x88\x80\x80\x80",
            b"\xef\xbf\xbe",
            b"\x00",
        ]
    ),
)
utf8_bytes = st.lists(utf8_piece, max_size=24).map(b"".join)


@FUZZ
@given(st.text(any_char.filter(lambda c: not "\ud800" <= c <= "\udfff")))
def test_well_formed_utf8_becomes_its_utf16(text):
    assert probe.to_utf16(text.encode("utf-8")) == units(text)


@FUZZ
@given(utf8_bytes)
@example(b"\xe2\x82")
@example(b"a\xf0\x9f\x98")
@example(b"\xed\xa0\x80\xed\xb0\x80")
def test_malformed_utf8_is_replaced_byte_by_byte(data):
    assert probe.to_utf16(data) == units(data.decode("utf-8", "velmora-one-byte"))


@FUZZ
@given(utf16_text)
@example("\ud83d\ude00")
@example("\ud83d\ud83d\ude00")
@example("\ude00\ud83d")
@example("x\ud83d")
@example("\ud83da")
def test_utf16_becomes_utf8_with_replacement_for_unpaired_surrogates(text):
    data = units(text)
    assert probe.to_utf8(data) == utf16_to_utf8(data)


@FUZZ
@given(utf16_text)
@example(" \t\r\n\x0b\x0c")
@example("a\r\n\xa0")
@example("inner\r\nline\r\n")
def test_trimming_removes_only_the_six_trailing_units(text):
    data = units(text)
    assert probe.trim_end(data) == trimmed(data)


@FUZZ
@given(st.integers(-(2**31), 2**32 - 1))
@example(0)
@example(0x8007000E)
@example(-1)
@example(-(2**31))
def test_hresult_text_is_0x_and_eight_upper_case_digits(code):
    text = probe.format_hresult(code)
    assert text == "0x" + format(code & 0xFFFFFFFF, "08X")
    assert len(text) == 10


@FUZZ
@given(st.text(any_char.filter(lambda c: not "\ud800" <= c <= "\udfff")))
@example("")
@example("a\x00b")
def test_bstr_holds_exactly_the_utf16_units(text):
    made = probe.to_bstr(text.encode("utf-8"))
    if text == "":
        assert made is None
    else:
        assert made == units(text)
    assert _winsim.live_objects() == 0


# --- end to end --------------------------------------------------------------

# Names the scheduler takes: no separator, and none of the characters that no
# file name may hold (* ? " < > | and U+0001 to U+001F), which it refuses.
name_text = st.text(
    any_char.filter(lambda c: not "\ud800" <= c <= "\udfff" and c not in '\\*?"<>|' and not "\x01" <= c <= "\x1f"),
    min_size=1,
)
xml_content = st.text(any_char.filter(lambda c: not "\ud800" <= c <= "\udfff" and c not in "<&"))


def balanced():
    return _winsim.live_objects() == 0 and _winsim.violations() == [] and _winsim.init_depth() == 0


@END_TO_END
@given(name_text, xml_content)
@example("t\x00\U0001f600 \xe9", "\U00010348\x00\uffff")
def test_names_and_xml_reach_the_scheduler_exactly(name, content):
    _winsim.reset()
    xml = DESCRIBED_TASK_XML.format(content)
    backend.register_xml(name, xml)
    assert _winsim.tasks() == {name: xml}
    assert backend.task_exists(name) is True
    assert balanced()


def expected_display(description, code):
    return display_text(utf16_to_utf8(trimmed(units(description))).decode("utf-8"), code)


@END_TO_END
@given(utf16_text, utf16_text, st.integers(0x80000000, 0xFFFFFFFF))
@example("unused", "Denied\ud800.\r\n", E_ACCESSDENIED)
@example("Description\udc00\n", "", 0x80004005)
@example("Description", " \r\n", 0x80004005)
def test_error_object_text_comes_back_in_the_exception(description, restricted, code):
    _winsim.reset()
    _winsim.script("Connect", code, error=("restricted", description, code, restricted))
    expected_class = TaskPermissionError if code == E_ACCESSDENIED else TaskSchedulerError
    with pytest.raises(expected_class) as caught:
        backend.delete_task("job")
    assert type(caught.value) is expected_class
    # The restricted description when it has any unit, else the description.
    source = restricted if restricted else description
    assert caught.value.args == (expected_display(source, code), code, "Connect")
    assert balanced()


@END_TO_END
@given(utf16_text, st.integers(0x80000000, 0xFFFFFFFF))
def test_system_message_text_comes_back_in_the_exception(text, code):
    _winsim.reset()
    _winsim.set_message(code, text)
    _winsim.script("DeleteTask", code)
    expected_class = TaskPermissionError if code == E_ACCESSDENIED else TaskSchedulerError
    with pytest.raises(expected_class) as caught:
        backend.delete_task("job")
    assert caught.value.args == (expected_display(text, code), code, "DeleteTask")
    assert balanced()
