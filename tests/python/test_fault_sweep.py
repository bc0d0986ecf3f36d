"""Every scripted step of every operation, failing in every shape.

For each case: the exception class and its three arguments exactly, the
scheduler calls made (none after the failing one), the error captured right
after the failing call, the TaskFailure made before anything is released,
the release order, and the balance (checked by conftest after every case).
The text conversions for the scheduler failing (SysAllocStringLen) end as
PanicException with the diagnostic of the error, after the same releases.
"""

import pytest

import _velmora_backend as backend
import _winsim
from support import (
    E_ACCESSDENIED,
    E_OUTOFMEMORY,
    FAILURE_SHAPES,
    OPENING,
    OWN,
    POINTER_STEPS,
    TASK_XML,
    TASK_XML_IN_LOG,
    display_text,
    script_failure,
)
from velmora.errors import TaskPermissionError, TaskSchedulerError

OTHER = 0x80041234
XML = TASK_XML
MEMORY_TEXT = "Memory text for the sweep."
SUCCESS_TEXT = "The operation completed successfully."
SCHEDULER_CALLS = {entry for entry, _ in OPENING} | {entry for own in OWN.values() for entry, _ in own}

ROOT = "SysFreeString(\\)"
NAME = "SysFreeString(job)"
XML_FREE = f"SysFreeString({TASK_XML_IN_LOG})"
FOLDER = "IUnknown::Release(ITaskFolder)"
SERVICE = "IUnknown::Release(ITaskService)"
TASK = "IUnknown::Release(IRegisteredTask)"
LEAVE = "CoUninitialize"
CLOSE = [FOLDER, SERVICE, LEAVE]

# What each operation gives up when a step fails, in order.
RELEASES = {
    "CoInitializeEx": [],
    "CoCreateInstance": [LEAVE],
    "Connect": [SERVICE, LEAVE],
    "GetFolder": [ROOT, SERVICE, LEAVE],
    ("run_task", "GetTask"): [ROOT, NAME, *CLOSE],
    ("run_task", "RunEx"): [ROOT, NAME, TASK, *CLOSE],
    ("delete_task", "DeleteTask"): [ROOT, NAME, *CLOSE],
    ("task_exists", "GetTask"): [ROOT, NAME, *CLOSE],
    ("register_xml", "RegisterTask"): [ROOT, XML_FREE, NAME, *CLOSE],
}
OPERATION_RELEASES = {ROOT, NAME, XML_FREE, FOLDER, SERVICE, TASK, LEAVE, "IUnknown::Release(IRunningTask)"}


def is_release(entry):
    return entry.startswith(("IUnknown::Release(", "SysFreeString(", "LocalFree")) or entry == LEAVE


def call(operation):
    function = getattr(backend, operation)
    return function("job", XML) if operation == "register_xml" else function("job")


CODES = {"E_ACCESSDENIED": E_ACCESSDENIED, "OTHER": OTHER}


def step_cases():
    for operation, own in OWN.items():
        for index, (_entry, step) in enumerate(OPENING + own):
            yield operation, index, step


def failure_cases():
    for operation, index, step in step_cases():
        for shape in FAILURE_SHAPES:
            for code_name, code in CODES.items():
                # Only one code for the shapes that vary the error object's own calls.
                if shape.extra and code_name == "E_ACCESSDENIED":
                    continue
                yield pytest.param(
                    operation, index, step, shape, code, None, id=f"{operation}-{step}-{shape.name}-{code_name}"
                )
        if step in POINTER_STEPS:
            yield pytest.param(operation, index, step, None, 0, True, id=f"{operation}-{step}-null-out")


# The thread's COM state before the call: none, or already in a single- or
# multithreaded apartment. In a single-threaded one the operation works in the
# thread's apartment and never leaves it.
APARTMENTS = [None, "sta", "mta"]


@pytest.fixture(params=APARTMENTS, ids=["no-apartment", "sta", "mta"])
def apartment(request):
    _winsim.set_apartment(request.param)
    yield request.param
    depth = _winsim.init_depth()
    _winsim.set_apartment(None)
    assert depth == (0 if request.param is None else 1)


def own_releases(expected, apartment):
    return [entry for entry in expected if not (apartment == "sta" and entry == LEAVE)]


def prepare(operation):
    """A registered task for the operations that need one; the calls of that
    setup are left out of what is checked."""
    if operation == "run_task" or operation == "delete_task" or operation == "task_exists":
        backend.register_xml("job", XML)
    return len(_winsim.calls())


def check_releases(log, expected, failing_entry):
    """The operation's own releases are exactly `expected`, and everything
    given up for the error itself happens before the operation releases an
    interface or leaves the apartment after the failing call. (task_exists
    frees its name as soon as GetTask returns, before the message is made.)"""
    releases = [entry for entry in log if is_release(entry)]
    assert [entry for entry in releases if entry in OPERATION_RELEASES] == expected
    after = log[log.index(failing_entry) + 1 :] if failing_entry else log
    own_seen = False
    for entry in after:
        if not is_release(entry):
            continue
        if entry in OPERATION_RELEASES:
            own_seen = own_seen or not entry.startswith("SysFreeString(")
        else:
            assert not own_seen, f"{entry} released after the operation began to release its own objects"


@pytest.mark.parametrize("operation,index,step,shape,code,null_out", list(failure_cases()))
def test_failing_step(operation, index, step, shape, code, null_out, apartment):
    mark = prepare(operation)
    calls = OPENING + OWN[operation]
    failing_entry = calls[index][0]
    if null_out:
        _winsim.script(step, 0, null_out=True)
        expected_args = (display_text(SUCCESS_TEXT, 0), 0, step)
    else:
        script_failure(step, code, shape)
        expected_args = (shape.message(code), code, step)
    expected_class = TaskPermissionError if code == E_ACCESSDENIED else TaskSchedulerError

    with pytest.raises(expected_class) as caught:
        call(operation)
    assert type(caught.value) is expected_class
    assert caught.value.args == expected_args
    message, hresult, label = caught.value.args
    assert type(message) is str and type(hresult) is int and type(label) is str

    log = _winsim.calls()[mark:]
    assert [entry for entry in log if entry in SCHEDULER_CALLS] == [entry for entry, _ in calls[: index + 1]]
    after_failure = log[log.index(failing_entry) + 1 :]
    if null_out:
        assert "GetErrorInfo" not in after_failure
    else:
        # The error object is taken at once, before any other call.
        assert after_failure[0] == "GetErrorInfo"
    if index < len(OPENING):
        assert not any(entry.startswith("SysAllocStringLen(job") for entry in log)
    key = step if step in RELEASES else (operation, step)
    check_releases(log, own_releases(RELEASES[key], apartment), failing_entry)


# The text conversions for the scheduler, in the order an operation makes them.
ALLOCATIONS = {
    "run_task": ["\\", "job"],
    "delete_task": ["\\", "job"],
    "task_exists": ["\\", "job"],
    "register_xml": ["\\", "job", TASK_XML_IN_LOG],
}
ALLOCATION_RELEASES = {
    "\\": [SERVICE, LEAVE],
    "job": [ROOT, *CLOSE],
    TASK_XML_IN_LOG: [ROOT, NAME, *CLOSE],
}
ALLOCATION_SHAPES = {
    "no-error-object": (lambda: {"hresult": E_OUTOFMEMORY}, MEMORY_TEXT),
    "restricted-same-code": (
        lambda: {"hresult": E_OUTOFMEMORY, "error": ("restricted", "", E_OUTOFMEMORY, "No room for the string.\r\n")},
        "No room for the string.",
    ),
    "null-result": (lambda: {"null_out": True}, MEMORY_TEXT),
}


def allocation_cases():
    for operation, texts in ALLOCATIONS.items():
        for position, text in enumerate(texts):
            for shape in ALLOCATION_SHAPES:
                yield pytest.param(operation, position, text, shape, id=f"{operation}-{position}-{shape}")


@pytest.mark.parametrize("operation,position,text,shape", list(allocation_cases()))
def test_failing_text_conversion(operation, position, text, shape, panic_type, apartment):
    mark = prepare(operation)
    script, message = ALLOCATION_SHAPES[shape]
    _winsim.set_message(E_OUTOFMEMORY, MEMORY_TEXT + "\r\n")
    if position:
        _winsim.script("SysAllocStringLen", 0, count=position)
    _winsim.script("SysAllocStringLen", **script())

    with pytest.raises(BaseException) as caught:
        call(operation)
    assert type(caught.value) is panic_type
    assert caught.value.args == (
        f'called `Result::unwrap()` on an `Err` value: Error {{ code: HRESULT(0x8007000E), message: "{message}" }}',
    )

    log = _winsim.calls()[mark:]
    allocations = [entry for entry in log if entry.startswith("SysAllocStringLen(")]
    assert allocations == [f"SysAllocStringLen({t})" for t in ALLOCATIONS[operation][: position + 1]]
    # Nothing reaches the scheduler after a text failed to convert.
    own_entries = {entry for entry, _ in OWN[operation]}
    assert not any(entry in own_entries for entry in log)
    if position == 0:
        assert "ITaskService::GetFolder" not in log
    check_releases(log, own_releases(ALLOCATION_RELEASES[text], apartment), f"SysAllocStringLen({text})")
