"""Helpers shared by the test modules: the fixed texts and codes, the
scheduler calls of each operation and the shapes a failing one can take,
module objects made outside the import statement, and a way to make the
module meet an internal fault."""

import importlib.machinery
import importlib.util
import os
from collections.abc import Callable
from dataclasses import dataclass

import pytest

import _velmora_backend
import _winsim

E_FAIL = 0x80004005
E_ACCESSDENIED = 0x80070005
E_OUTOFMEMORY = 0x8007000E
# What the module writes to standard error before it resumes a PanicException
# that came back out of Python code.
RESUME_HEADER = (
    "--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\nPython stack trace below:\n"
)
# A minimal valid task definition, one action, and how the call log shows it:
# its first 32 characters and "...". DESCRIBED_TASK_XML takes a description
# through str.format.
TASK_XML = (
    '<Task xmlns="http://schemas.microsoft.com/windows/2004/02/mit/task">'
    "<Actions><Exec><Command>cmd</Command></Exec></Actions></Task>"
)
TASK_XML_IN_LOG = TASK_XML[:32] + "..."
DESCRIBED_TASK_XML = TASK_XML.replace(
    "<Actions>", "<RegistrationInfo><Description>{}</Description></RegistrationInfo><Actions>"
)
# Examples each property test draws; tools/test --full raises it. Runs of the
# default size are derandomized, so they try the same examples every time.
FUZZ_EXAMPLES = int(os.environ.get("VELMORA_FUZZ_EXAMPLES", "300"))

# The scheduler calls of each operation in order, as call-log entry and step
# label: the ones every operation opens with, then each operation's own.
OPENING = [
    ("CoInitializeEx", "CoInitializeEx"),
    ("CoCreateInstance", "CoCreateInstance"),
    ("ITaskService::Connect", "Connect"),
    ("ITaskService::GetFolder", "GetFolder"),
]
OWN = {
    "run_task": [("ITaskFolder::GetTask", "GetTask"), ("IRegisteredTask::RunEx", "RunEx")],
    "delete_task": [("ITaskFolder::DeleteTask", "DeleteTask")],
    "task_exists": [("ITaskFolder::GetTask", "GetTask")],
    "register_xml": [("ITaskFolder::RegisterTask", "RegisterTask")],
}
OPENING_STEPS = [step for _, step in OPENING]
OWN_STEPS = {operation: [step for _, step in own] for operation, own in OWN.items()}
# Steps whose call hands back an interface pointer.
POINTER_STEPS = {"CoCreateInstance", "GetFolder", "GetTask", "RunEx", "RegisterTask"}


def hex_code(code):
    return f"0x{code:08X}"


def display_text(message, code):
    """The first argument of a TaskSchedulerError: the message and the code,
    or the code alone for an empty message."""
    return f"{message} ({hex_code(code)})" if message else hex_code(code)


# The ways a failing scheduler step can leave its error behind, each with the
# message it must give. The system message table holds SYSTEM_TEXT for the
# failing code (script_failure puts it there).
SYSTEM_TEXT = "System text for the failure."


@dataclass(frozen=True)
class FailureShape:
    name: str
    error: Callable  # code -> error object for _winsim.script
    message: Callable  # code -> display text
    combase: bool = True  # whether RoOriginateError is there
    extra: str | None = None  # a further scripted step: the error object's own call failing


def with_system_text(code):
    return display_text(SYSTEM_TEXT, code)


FAILURE_SHAPES = [
    FailureShape("no-error-object", lambda code: None, with_system_text),
    FailureShape(
        "plain", lambda code: ("plain", "Plain description.\r\n"), lambda code: display_text("Plain description.", code)
    ),
    FailureShape("plain-null-description", lambda code: ("plain", None), with_system_text),
    FailureShape(
        "plain-without-RoOriginateError",
        lambda code: ("plain", "Plain description.\r\n"),
        with_system_text,
        combase=False,
    ),
    # The restricted error originated without a text carries the system text
    # as its description.
    FailureShape(
        "plain-GetDescription-fails",
        lambda code: ("plain", "Plain description."),
        with_system_text,
        extra="GetDescription",
    ),
    FailureShape(
        "restricted-same-code",
        lambda code: ("restricted", "Description.", code, "Restricted description. \r\n"),
        lambda code: display_text("Restricted description.", code),
    ),
    FailureShape(
        "restricted-same-code-no-restricted-text",
        lambda code: ("restricted", "Description.\n", code, None),
        lambda code: display_text("Description.", code),
    ),
    FailureShape(
        "restricted-other-code",
        lambda code: ("restricted", "Description.", code ^ 0x10, "Restricted description."),
        with_system_text,
    ),
    FailureShape(
        "restricted-GetErrorDetails-fails",
        lambda code: ("restricted", "Description.", code, "Restricted description."),
        with_system_text,
        extra="GetErrorDetails",
    ),
]


def script_failure(step, code, shape):
    """Makes the next call of `step` fail with `code`, leaving its error as
    `shape` says."""
    _winsim.set_message(code, SYSTEM_TEXT + "\r\n")
    _winsim.set_combase(True, shape.combase)
    _winsim.script(step, code, error=shape.error(code))
    if shape.extra:
        _winsim.script(shape.extra, E_FAIL)


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
