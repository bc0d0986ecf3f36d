"""Large task definitions and names reach the scheduler exactly, and the
memory that registering takes stays in proportion to the input.

The figures (extra peak resident memory while `register_xml` runs, against
the input's size) are printed at the end of the module; they are reported,
not asserted, since the allocator and the interpreter decide the details.
"""

import os

import pytest

import _velmora_backend as backend
import _winsim

KIB = 1024
MIB = 1024 * KIB
XML_SIZES = [KIB, 64 * KIB, MIB, 16 * MIB, 64 * MIB]
NAME_SIZES = [1, KIB, 64 * KIB, MIB]
XML_HEAD = "<Task><Actions><Exec><Command>"
XML_TAIL = "</Command></Exec></Actions></Task>"
# Characters of one, two, three and four UTF-8 bytes (four: a surrogate pair
# in UTF-16) that the XML check and task names take as they are. A name may
# hold NUL but no other control character.
XML_MIXED = "a\u00e9\u20ac\U0001f600 \U00010348z\u4e2d\t"
NAME_MIXED = "a\u00e9\u20ac\U0001f600 \U00010348z\u4e2d\x00"


def text_of_utf8_size(size, unit=XML_MIXED):
    """Mixed text whose UTF-8 form is exactly `size` bytes long."""
    unit_size = len(unit.encode())
    text = unit * (size // unit_size)
    return text + "x" * (size - len(text.encode()))


def xml_of_size(size):
    filler = size - len((XML_HEAD + XML_TAIL).encode())
    return XML_HEAD + text_of_utf8_size(filler) + XML_TAIL


def _status(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * KIB
    raise LookupError(field)


def peak_during(call):
    """The resident memory that `call` added at its peak, in bytes, or None
    where the peak cannot be reset."""
    try:
        with open("/proc/self/clear_refs", "w") as clear_refs:
            clear_refs.write("5")  # resets the peak resident set size
    except OSError:
        call()
        return None
    before = _status("VmRSS")
    call()
    return _status("VmHWM") - before


FIGURES = []


@pytest.fixture(scope="module", autouse=True)
def report_figures(request):
    yield
    reporter = request.config.pluginmanager.getplugin("terminalreporter")
    if reporter is None or not FIGURES:
        return
    reporter.write_line("")
    reporter.write_line("register_xml with large input: extra peak resident memory")
    reporter.write_line(f"{'input':>28} {'UTF-8 bytes':>12} {'UTF-16 units':>13} {'peak MiB':>9} {'peak/UTF-8':>10}")
    for label, utf8_size, units, peak in FIGURES:
        shown = "n/a" if peak is None else f"{peak / MIB:9.1f}"
        ratio = "n/a" if peak is None else f"{peak / utf8_size:10.2f}"
        reporter.write_line(f"{label:>28} {utf8_size:>12} {units:>13} {shown:>9} {ratio:>10}")


def utf16_units(text):
    return len(text.encode("utf-16-le")) // 2


def register_and_check(name, xml, label):
    peak = peak_during(lambda: backend.register_xml(name, xml))
    assert _winsim.tasks() == {name: xml}
    FIGURES.append((label, len(name.encode()) + len(xml.encode()), utf16_units(name) + utf16_units(xml), peak))
    assert backend.task_exists(name) is True
    backend.delete_task(name)
    assert _winsim.tasks() == {}


@pytest.mark.parametrize("size", XML_SIZES, ids=[f"{size // KIB}KiB" for size in XML_SIZES])
def test_large_xml_passes_through_exactly(size):
    xml = xml_of_size(size)
    assert len(xml.encode()) == size
    register_and_check("job", xml, f"xml {size // KIB} KiB")


@pytest.mark.parametrize("size", NAME_SIZES, ids=[f"{size}B" for size in NAME_SIZES])
def test_long_name_passes_through_exactly(size):
    name = text_of_utf8_size(size, NAME_MIXED)
    assert len(name.encode()) == size
    register_and_check(name, XML_HEAD + "cmd" + XML_TAIL, f"name {size} B")


def test_long_name_with_large_xml():
    name = text_of_utf8_size(MIB, NAME_MIXED)
    xml = xml_of_size(16 * MIB)
    register_and_check(name, xml, "name 1 MiB + xml 16 MiB")
    backend.register_xml(name, xml)
    backend.run_task(name)
    assert _winsim.run_counts() == {name: 1}


@pytest.mark.skipif(not os.path.exists("/proc/self/clear_refs"), reason="needs Linux's peak reset")
def test_peak_memory_is_measured():
    """The figures above mean something only if a big allocation shows."""
    peak = peak_during(lambda: b"x" * (64 * MIB))
    assert peak is not None and peak >= 60 * MIB
