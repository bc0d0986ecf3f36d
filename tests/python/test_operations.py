"""The four functions end to end against the simulated Task Scheduler."""

import pytest

import _velmora_backend as backend
import _winsim
from support import E_ACCESSDENIED, TASK_XML
from velmora.errors import TaskPermissionError, TaskSchedulerError

XML = '<?xml version="1.0" encoding="UTF-16"?>' + TASK_XML


def call(operation, name="job"):
    """Runs one operation on a registered task named `name`."""
    function = getattr(backend, operation)
    if operation == "register_xml":
        return function(name, XML)
    return function(name)


def test_run_task_starts_the_task_once_per_call():
    backend.register_xml("job", XML)
    assert backend.run_task("job") is None
    assert backend.run_task("job") is None
    assert _winsim.run_counts() == {"job": 2}


def test_text_reaches_the_scheduler_exactly():
    name = "t\x00\U0001f600 éé"
    xml = XML.replace("cmd", "c\U00010348d")
    backend.register_xml(name, xml)
    assert _winsim.tasks() == {name: xml}
    assert backend.task_exists(name) is True
    assert backend.task_exists(name[:-1]) is False


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
