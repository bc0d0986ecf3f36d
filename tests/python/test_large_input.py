"""Large task definitions and names reach the scheduler exactly. What
registering them costs in memory is measured by the benchmark (tools/bench),
not here."""

import pytest

import _velmora_backend as backend
import _winsim
from support import DESCRIBED_TASK_XML

KIB = 1024
MIB = 1024 * KIB
XML_SIZES = [KIB, 64 * KIB, MIB, 16 * MIB, 64 * MIB]
NAME_SIZES = [1, KIB, 64 * KIB, MIB]
XML_HEAD, XML_TAIL = DESCRIBED_TASK_XML.split("{}")
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


def register_and_check(name, xml):
    backend.register_xml(name, xml)
    assert _winsim.tasks() == {name: xml}
    assert backend.task_exists(name) is True
    backend.delete_task(name)
    assert _winsim.tasks() == {}


@pytest.mark.parametrize("size", XML_SIZES, ids=[f"{size // KIB}KiB" for size in XML_SIZES])
def test_large_xml_passes_through_exactly(size):
    xml = xml_of_size(size)
    assert len(xml.encode()) == size
    register_and_check("job", xml)


@pytest.mark.parametrize("size", NAME_SIZES, ids=[f"{size}B" for size in NAME_SIZES])
def test_long_name_passes_through_exactly(size):
    name = text_of_utf8_size(size, NAME_MIXED)
    assert len(name.encode()) == size
    register_and_check(name, XML_HEAD + "cmd" + XML_TAIL)


def test_long_name_with_large_xml():
    name = text_of_utf8_size(MIB, NAME_MIXED)
    xml = xml_of_size(16 * MIB)
    register_and_check(name, xml)
    backend.register_xml(name, xml)
    backend.run_task(name)
    assert _winsim.run_counts() == {name: 1}
