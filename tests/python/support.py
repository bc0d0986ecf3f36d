"""Helpers shared by the test modules: module objects made outside the
import statement, and a way to make the module meet an internal fault."""

import importlib.machinery
import importlib.util
import os

import pytest

import _velmora_backend
import _winsim

E_FAIL = 0x80004005
E_ACCESSDENIED = 0x80070005
E_OUTOFMEMORY = 0x8007000E
# What the module writes to standard error before it resumes a PanicException
# that came back out of Python code.
RESUME_HEADER = (
    "--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n"
    "Python stack trace below:\n"
)
# Examples each property test draws; tools/test --full raises it. Runs of the
# default size are derandomized, so they try the same examples every time.
FUZZ_EXAMPLES = int(os.environ.get("VELMORA_FUZZ_EXAMPLES", "300"))

# The scheduler steps every operation opens with, then each operation's own.
OPENING_STEPS = ["CoInitializeEx", "CoCreateInstance", "Connect", "GetFolder"]
OWN_STEPS = {
    "run_task": ["GetTask", "RunEx"],
    "delete_task": ["DeleteTask"],
    "task_exists": ["GetTask"],
    "register_xml": ["RegisterTask"],
}
# Steps whose call hands back an interface pointer.
POINTER_STEPS = {"CoCreateInstance", "GetFolder", "GetTask", "RunEx", "RegisterTask"}


def extension_spec(name="_velmora_backend"):
    origin = _velmora_backend.__file__
    module_spec = importlib.util.spec_from_file_location(name, origin)
    assert isinstance(module_spec.loader, importlib.machinery.ExtensionFileLoader)
    return module_spec


def fresh_module(name="_velmora_backend", prepare=None):
    """A new module object made from the extension; `prepare` gets it before
    the extension's exec function runs."""
    module_spec = extension_spec(name)
    module = importlib.util.module_from_spec(module_spec)
    if prepare is not None:
        prepare(module)
    module_spec.loader.exec_module(module)
    return module


def trigger_fault(function=None):
    """Makes the next text conversion for the scheduler fail, which the
    operation treats as an internal fault, and returns what was raised."""
    function = function or _velmora_backend.task_exists
    _winsim.set_message(E_OUTOFMEMORY, "No memory for the string.\r\n")
    _winsim.script("SysAllocStringLen", E_OUTOFMEMORY)
    with pytest.raises(BaseException) as caught:
        function("job")
    return caught.value
