"""The four functions end to end against the simulated Task Scheduler."""

import pytest

import _velmora_backend as backend
import _winsim
from support import E_ACCESSDENIED, E_FAIL, OPENING_STEPS, OWN_STEPS, POINTER_STEPS
from velmora.errors import TaskPermissionError, TaskSchedulerError

XML = '<?xml version="1.0" encoding="UTF-16"?><Task><Actions><Exec><Command>cmd</Command></Exec></Actions></Task>'


def call(operation, name="job"):
    """Runs one operation on a registered task named `name`."""
    function = getattr(backend, operation)
    if operation == "register_xml":
        return function(name, XML)
    return function(name)


def operation_steps():
    for operation, own in OWN_STEPS.items():
        for step in OPENING_STEPS + own:
            yield pytest.param(operation, step, id=f"{operation}-{step}")




def test_run_task_starts_the_task_once_per_call():
    backend.register_xml("job", XML)
    assert backend.run_task("job") is None
    assert backend.run_task("job") is None
    assert _winsim.run_counts() == {"job": 2}



def test_text_reaches_the_scheduler_exactly():
    name = "t\x00\U0001f600 é"
    xml = XML.replace("cmd", "c\U00010348d")
    backend.register_xml(name, xml)
    assert _winsim.tasks() == {name: xml}
    assert backend.task_exists(name) is True
    assert backend.task_exists(name[:-1]) is False



@pytest.mark.parametrize("operation,step", list(operation_steps()))
@pytest.mark.parametrize(
    "code,expected_class",
    [(E_FAIL, TaskSchedulerError), (E_ACCESSDENIED, TaskPermissionError)],
    ids=["E_FAIL", "E_ACCESSDENIED"],
)
def test_failed_step_raises_the_package_exception(operation, step, code, expected_class):
    backend.register_xml("job", XML)
    _winsim.set_message(code, "Scripted failure text.\r\n")
    _winsim.script(step, code)
    with pytest.raises(expected_class) as caught:
        call(operation)
    assert type(caught.value) is expected_class
    assert caught.value.args == (f"Scripted failure text. (0x{code:08X})", code, step)


@pytest.mark.parametrize(
    "operation,step",
    [p for p in operation_steps() if p.values[1] in POINTER_STEPS],
)
def test_success_without_an_interface_fails_with_code_zero(operation, step):
    backend.register_xml("job", XML)
    _winsim.set_message(0, "The operation completed successfully.\r\n")
    _winsim.script(step, 0, null_out=True)
    with pytest.raises(TaskSchedulerError) as caught:
        call(operation)
    assert type(caught.value) is TaskSchedulerError
    assert caught.value.args == ("The operation completed successfully. (0x00000000)", 0, step)



def test_run_of_a_missing_task_never_calls_run_ex():
    with pytest.raises(TaskSchedulerError):
        backend.run_task("missing")
    assert "IRegisteredTask::RunEx" not in _winsim.calls()


def test_code_without_system_text_is_shown_alone():
    _winsim.set_message(0x80041234, None)
    _winsim.script("Connect", 0x80041234)
    with pytest.raises(TaskSchedulerError) as caught:
        backend.task_exists("job")
    assert caught.value.args == ("0x80041234", 0x80041234, "Connect")


def test_restricted_error_object_gives_its_restricted_description():
    _winsim.script(
        "RegisterTask",
        E_ACCESSDENIED,
        error=("restricted", "plain description", E_ACCESSDENIED, "Refused by policy.\r\n"),
    )
    with pytest.raises(TaskPermissionError) as caught:
        backend.register_xml("job", XML)
    assert caught.value.args == ("Refused by policy. (0x80070005)", E_ACCESSDENIED, "RegisterTask")
    assert _winsim.tasks() == {}




def test_failure_is_raised_after_the_session_is_closed():
    _winsim.script("GetTask", E_FAIL)
    with pytest.raises(TaskSchedulerError):
        backend.task_exists("job")
    calls = _winsim.calls()
    assert calls[-1] == "CoUninitialize"
    assert _winsim.init_depth() == 0
