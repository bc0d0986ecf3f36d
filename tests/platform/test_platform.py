"""The four functions against the Task Scheduler they run on, as that platform
behaves by itself: nothing here is scripted to fail.

Every expectation is what Windows does. Where the simulation must differ, the
test says so: it cannot show a message text the way Windows words it, and a
task it runs is only counted, not started.
"""

import bisect
import concurrent.futures
import sys
import sysconfig
import threading
import time

import pytest

import _velmora_backend as backend
from velmora.errors import TaskSchedulerError

NOT_FOUND = 0x80070002
PATH_NOT_FOUND = 0x80070003
INVALID_NAME = 0x8007007B
MALFORMED_XML = 0x8004131A
S_OK = 0
S_FALSE = 1


def harmless_xml(description="velmora platform test"):
    """A task that nothing starts by itself (no trigger) and whose action ends
    at once."""
    return (
        '<?xml version="1.0"?>\n'
        '<Task version="1.2" xmlns="http://schemas.microsoft.com/windows/2004/02/mit/task">\n'
        f"  <RegistrationInfo><Description>{description}</Description></RegistrationInfo>\n"
        "  <Settings><Enabled>true</Enabled><AllowStartOnDemand>true</AllowStartOnDemand>"
        "<ExecutionTimeLimit>PT1M</ExecutionTimeLimit></Settings>\n"
        '  <Actions><Exec><Command>cmd.exe</Command><Arguments>/c exit 0</Arguments></Exec></Actions>\n'
        "</Task>\n"
    )


def expect_failure(call, code, step):
    """The call raises exactly TaskSchedulerError with (message, HRESULT, step):
    the HRESULT a non-negative int, the message the Windows text for the code
    followed by it, or the code alone where the system has no text."""
    with pytest.raises(TaskSchedulerError) as caught:
        call()
    assert type(caught.value) is TaskSchedulerError
    message, hresult, label = caught.value.args
    assert (hresult, label) == (code, step)
    assert type(hresult) is int and hresult >= 0
    assert message == f"0x{code:08X}" or message.endswith(f" (0x{code:08X})")
    return message


def test_register_find_update_run_delete(task_name):
    name = task_name()
    assert backend.register_xml(name, harmless_xml("first")) is None
    assert backend.task_exists(name) is True
    # The same name again updates the task in place.
    assert backend.register_xml(name, harmless_xml("second")) is None
    assert backend.task_exists(name) is True
    # Windows starts the task and returns without waiting for it; the
    # simulation counts the run.
    assert backend.run_task(name) is None
    assert backend.delete_task(name) is None
    assert backend.task_exists(name) is False


@pytest.mark.parametrize(
    "path,code",
    [pytest.param("", NOT_FOUND, id="missing-task"), pytest.param("no such folder\\", PATH_NOT_FOUND, id="missing-folder")],
)
def test_not_found(task_name, path, code):
    name = path + task_name()
    assert backend.task_exists(name) is False
    expect_failure(lambda: backend.run_task(name), code, "GetTask")
    expect_failure(lambda: backend.delete_task(name), code, "DeleteTask")


def test_malformed_xml_is_rejected_at_register_task(task_name):
    name = task_name()
    message = expect_failure(lambda: backend.register_xml(name, "<Task><Actions>"), MALFORMED_XML, "RegisterTask")
    # The scheduler's error object names where the parse failed.
    assert message.startswith("(1,")
    assert backend.task_exists(name) is False


def test_a_name_no_task_may_have(task_name):
    name = task_name("with|bar")
    expect_failure(lambda: backend.register_xml(name, harmless_xml()), INVALID_NAME, "RegisterTask")
    expect_failure(lambda: backend.task_exists(name), INVALID_NAME, "GetTask")


def test_names_that_differ_only_in_case_find_the_same_task(task_name):
    name = task_name("MixedCase")
    backend.register_xml(name, harmless_xml())
    assert backend.task_exists(name.upper()) is True
    assert backend.task_exists(name.lower()) is True
    backend.delete_task(name.swapcase())
    assert backend.task_exists(name) is False


@pytest.mark.parametrize(
    "label",
    [
        pytest.param("fid\u00e9lit\u00e9 Gr\u00f6\u00dfe \u65e5\u672c\u8a9e", id="non-ascii"),
        pytest.param("\U0001f600 \U0001d11e \U00020b9f", id="non-bmp"),
    ],
)
def test_text_outside_ascii_passes_through(task_name, label):
    name = task_name(label)
    backend.register_xml(name, harmless_xml(f"velmora platform test {label}"))
    assert backend.task_exists(name) is True
    # One character less is another name: the characters arrived whole.
    assert backend.task_exists(name[:-1]) is False
    backend.run_task(name)
    backend.delete_task(name)
    assert backend.task_exists(name) is False


def test_sixteen_threads_at_once(task_name):
    names = [task_name(f"thread {index}") for index in range(16)]
    start = threading.Barrier(len(names))

    def lifecycle(name):
        start.wait()
        for _ in range(5):
            backend.register_xml(name, harmless_xml())
            assert backend.task_exists(name) is True
            backend.run_task(name)
            backend.delete_task(name)
            assert backend.task_exists(name) is False
        return name

    with concurrent.futures.ThreadPoolExecutor(len(names)) as pool:
        assert list(pool.map(lifecycle, names)) == names


@pytest.mark.parametrize("apartment", ["sta", "mta"])
def test_a_thread_in_an_apartment_keeps_it(task_name, com, apartment):
    """In a single-threaded apartment the call works in it; in the
    multithreaded one it joins once more and leaves again. Either way the
    thread is afterwards in the same apartment, initialised once."""
    name = task_name()
    seen = {}

    def in_apartment():
        assert com.initialize(apartment) == S_OK
        try:
            backend.register_xml(name, harmless_xml())
            assert backend.task_exists(name) is True
            backend.run_task(name)
            backend.delete_task(name)
            # Still in that apartment: joining it again only counts up.
            seen["again"] = com.initialize(apartment)
            com.uninitialize()
        finally:
            com.uninitialize()
        # Initialised exactly once: the thread is free to join any apartment.
        other = "mta" if apartment == "sta" else "sta"
        seen["after"] = com.initialize(other)
        com.uninitialize()

    worker = concurrent.futures.ThreadPoolExecutor(1)
    worker.submit(in_apartment).result()
    worker.shutdown()
    assert seen == {"again": S_FALSE, "after": S_OK}


def test_other_threads_run_while_a_call_is_in_the_scheduler(task_name, scheduler_takes_time):
    """A tick of another thread that falls inside a call proves the call let
    the interpreter go: with forced switches pushed out of reach, a thread
    that held the lock through its call would leave no such tick."""
    name = task_name()
    backend.register_xml(name, harmless_xml())
    calls, ticks = [], []
    done = threading.Event()

    def caller():
        deadline = time.monotonic() + 10
        while not done.is_set() and time.monotonic() < deadline:
            began = time.perf_counter_ns()
            backend.task_exists(name)
            calls.append((began, time.perf_counter_ns()))

    def ticker():
        while not done.is_set():
            ticks.append(time.perf_counter_ns())
            time.sleep(0.0002)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(60)
    threads = [threading.Thread(target=caller), threading.Thread(target=ticker)]
    try:
        for thread in threads:
            thread.start()
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline and not tick_inside_a_call(calls[-20:], ticks[-200:]):
            time.sleep(0.01)
    finally:
        done.set()
        for thread in threads:
            thread.join()
        sys.setswitchinterval(interval)
    assert tick_inside_a_call(calls, ticks)


def tick_inside_a_call(calls, ticks):
    """Whether a tick (in the order taken) falls strictly inside a call."""
    for began, ended in calls:
        after = bisect.bisect_right(ticks, began)
        if after < len(ticks) and ticks[after] < ended:
            return True
    return False


def test_importing_the_module_keeps_a_free_threaded_interpreter_free():
    """The module declares that it does not need the GIL. On an interpreter
    with the GIL this only restates that build's nature."""
    free_threaded = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
    assert sys._is_gil_enabled() is not free_threaded

