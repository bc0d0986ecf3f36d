"""The interpreter lock is released while the scheduler works."""

import threading
import time

import pytest

import _velmora_backend as backend
import _winsim
from support import TASK_XML
from velmora.errors import TaskSchedulerError

XML = TASK_XML


def wait_until(predicate, what):
    """Polls until the simulation reports the expected state. The deadline
    only keeps a broken build from hanging the suite."""
    deadline = time.monotonic() + 60
    while not predicate():
        if time.monotonic() > deadline:
            pytest.fail(f"gave up waiting for {what}")
        time.sleep(0.001)


class Worker(threading.Thread):
    def __init__(self, call):
        super().__init__()
        self.call = call
        self.result = None
        self.error = None

    def run(self):
        try:
            self.result = self.call()
        except BaseException as error:  # handed to the test thread
            self.error = error


def test_several_calls_wait_in_the_scheduler_at_once():
    backend.register_xml("job", XML)
    _winsim.pause("GetTask")
    workers = [Worker(lambda: backend.task_exists("job")) for _ in range(4)]
    for worker in workers:
        worker.start()
    try:
        wait_until(lambda: _winsim.waiting("GetTask") == 4, "four calls to reach GetTask")
    finally:
        _winsim.resume("GetTask")
        for worker in workers:
            worker.join()
    assert [(w.result, w.error) for w in workers] == [(True, None)] * 4


def test_failure_of_a_waiting_call_is_raised_in_its_own_thread():
    _winsim.script("DeleteTask", 0x80004005)
    _winsim.pause("DeleteTask")
    worker = Worker(lambda: backend.delete_task("job"))
    worker.start()
    try:
        wait_until(lambda: _winsim.waiting("DeleteTask") == 1, "delete_task to reach DeleteTask")
        assert backend.task_exists("job") is False
    finally:
        _winsim.resume("DeleteTask")
        worker.join()
    assert type(worker.error) is TaskSchedulerError
    assert worker.error.args[1:] == (0x80004005, "DeleteTask")
