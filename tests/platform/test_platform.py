"""The four functions against the Task Scheduler they run on, as that platform
behaves by itself: nothing here is scripted to fail.

Each case holds the module's contract (the exception class for the code, the
step, the scheduler's code handed on unchanged, the system text of that code
as the message). It asserts a code only where a record gives it for that very
call, naming the record; where no record says or the records disagree, the
case observes what the scheduler answers and the run prints it (register.py
lists those behaviours); where the functions cannot show a behaviour, the case
asks the scheduler through COM itself (the `scheduler` fixture). The
simulation cannot show a message in Windows' words, and a task it runs is only
counted, not started.
"""

import bisect
import concurrent.futures
import inspect
import sys
import threading
import time

import pytest

import _velmora_backend as backend
import register

NOT_FOUND = 0x80070002
PATH_NOT_FOUND = 0x80070003
INVALID_NAME = 0x8007007B
E_INVALIDARG = 0x80070057
RPC_X_NULL_REF_POINTER = 0x800706F4
S_OK = 0
S_FALSE = 1
TASK_NAMESPACE = "http://schemas.microsoft.com/windows/2004/02/mit/task"


def task_xml(description="velmora platform test", enabled="true", policy="IgnoreNew", command="/c exit 0"):
    """A task that nothing starts by itself (no trigger) and whose action ends
    at once, unless told otherwise."""
    return (
        '<?xml version="1.0"?>\n'
        f'<Task version="1.2" xmlns="{TASK_NAMESPACE}">\n'
        f"  <RegistrationInfo><Description>{description}</Description></RegistrationInfo>\n"
        f"  <Settings><MultipleInstancesPolicy>{policy}</MultipleInstancesPolicy><Enabled>{enabled}</Enabled>"
        "<AllowStartOnDemand>true</AllowStartOnDemand><ExecutionTimeLimit>PT1M</ExecutionTimeLimit></Settings>\n"
        f"  <Actions><Exec><Command>cmd.exe</Command><Arguments>{command}</Arguments></Exec></Actions>\n"
        "</Task>\n"
    )


def either(answer, step, value=None):
    """An answer that no record decides: `value`, what the function gives when
    it works, or a failure that holds the module's contract."""
    if answer.error is None:
        assert answer.value is value
    else:
        answer.failure(step)


def test_register_find_update_run_delete(ask, task_name):
    name = task_name()
    assert ask("register_xml", name, task_xml("first")).value is None
    assert ask("task_exists", name).value is True
    # The same name again updates the task in place.
    assert ask("register_xml", name, task_xml("second")).value is None
    assert ask("task_exists", name).value is True
    # Windows starts the task and returns without waiting for it; the
    # simulation counts the run.
    assert ask("run_task", name).value is None
    assert ask("delete_task", name).value is None
    assert ask("task_exists", name).value is False


@pytest.mark.parametrize("path", ["", "no such folder\\"], ids=["missing-task", "missing-folder"])
def test_not_found(ask, task_name, path):
    name = path + task_name()
    assert ask("task_exists", name).value is False
    # scheduler.c test_GetTask: GetTask behind a missing folder is ERROR_PATH_NOT_FOUND
    # and DeleteTask of a missing task ERROR_FILE_NOT_FOUND; the other two are observed.
    found, deleted = ask("run_task", name).failure("GetTask"), ask("delete_task", name).failure("DeleteTask")
    assert (found if path else deleted) == (PATH_NOT_FOUND if path else NOT_FOUND)


@pytest.mark.parametrize(
    "form,recorded",
    [
        # MS-TSCH 2.3.11 (Path Names): no ":" or "/" in a name, no leading space: ERROR_INVALID_NAME.
        ("{name} with:colon", INVALID_NAME),
        ("{name} with/slash", INVALID_NAME),
        (" {name}", INVALID_NAME),
        # No code on record: the file system's rule, and the RegisterTask page's "cannot end with a space".
        ("{name} with|bar", None),
        ("{name} with\x01control", None),
        ("{name} ", None),
    ],
    ids=["colon", "slash", "leading-space", "bar", "control", "trailing-space"],
)
def test_names_no_task_may_have(ask, task_name, form, recorded):
    name = task_name("odd", form)
    code = ask("register_xml", name, task_xml()).failure("RegisterTask")
    assert recorded in (None, code)
    # No record has GetTask meet such a name: it may refuse it, or find no task.
    either(ask("task_exists", name), "GetTask", False)


def test_names_that_differ_only_in_case_find_the_same_task(ask, task_name):
    name = task_name("MixedCase")
    ask("register_xml", name, task_xml())
    assert ask("task_exists", name.upper()).value is True
    assert ask("task_exists", name.lower()).value is True
    ask("delete_task", name.swapcase())
    assert ask("task_exists", name).value is False


def test_a_name_holding_nul(ask, task_name):
    name = task_name("before\0after")
    whole = ask("register_xml", name, task_xml())
    if whole.error is None:
        task_name("before")  # where the name may have been cut, for the cleanup
        ask("task_exists", name)
        ask("task_exists", name.partition("\0")[0])
    else:
        whole.failure("RegisterTask")


def test_empty_names(ask):
    # scheduler.c test_GetTask: GetTask with a null name, as "" reaches it, is E_INVALIDARG.
    assert ask("task_exists", "").failure("GetTask") == E_INVALIDARG
    ask("delete_task", "").failure("DeleteTask")


@pytest.mark.parametrize(
    "label",
    [
        pytest.param("fid\u00e9lit\u00e9 Gr\u00f6\u00dfe \u65e5\u672c\u8a9e", id="non-ascii"),
        pytest.param("\U0001f600 \U0001d11e\U00020b9f", id="non-bmp"),
    ],
)
def test_text_outside_ascii_passes_through(ask, task_name, label):
    name = task_name(label)
    ask("register_xml", name, task_xml(f"velmora platform test {label}"))
    assert ask("task_exists", name).value is True
    # One character less is another name: the characters arrived whole.
    assert ask("task_exists", name[:-1]).value is False
    ask("run_task", name)
    ask("delete_task", name)
    assert ask("task_exists", name).value is False


def test_an_empty_task_definition(ask, task_name):
    # The empty text reaches RegisterTask as a null BSTR (scheduler.c test_GetTask:
    # RPC_X_NULL_REF_POINTER, with TASK_CREATE; MS-TSCH's IDL makes xml a [string]
    # reference pointer, which RPC refuses null whatever the flags).
    assert ask("register_xml", task_name(), "").failure("RegisterTask") == RPC_X_NULL_REF_POINTER


REFUSED = {
    # As scheduler.c test_TaskDefinition xml2, xml3, xml5, xml7 and xml6, which
    # ITaskDefinition::put_XmlText refuses with the code after each. No record
    # registers one: RegisterTask's code is observed.
    "no-namespace": "<Task><Actions><Exec><Command>a</Command></Exec></Actions></Task>",  # SCHED_E_NAMESPACE
    "root-TASK": "<TASK><Actions><Exec><Command>a</Command></Exec></Actions></TASK>",  # SCHED_E_UNEXPECTEDNODE
    "no-action": f'<Task xmlns="{TASK_NAMESPACE}"><Actions/></Task>',  # SCHED_E_MISSINGNODE
    "upper-case-FALSE": task_xml(enabled="FALSE"),  # SCHED_E_INVALIDVALUE
    "unclosed": task_xml()[:-8],  # SCHED_E_MALFORMEDXML
    "unclosed-and-no-namespace": "<Task><Actions>",
}


@pytest.mark.parametrize("document", REFUSED.values(), ids=REFUSED.keys())
def test_task_definitions_windows_refuses(ask, task_name, document):
    name = task_name()
    ask("register_xml", name, document).failure("RegisterTask", described=True)
    assert ask("task_exists", name).value is False


def definition(settings="", extra="", version="1.2", actions="<Exec><Command>cmd.exe</Command></Exec>", context=""):
    return (
        f'<Task version="{version}" xmlns="{TASK_NAMESPACE}"><Settings>{settings}</Settings>{extra}'
        f"<Actions{context}>{actions}</Actions></Task>"
    )


# Definitions on which no record says what Windows does: the simulation's
# choices, one per kind of rule (src/winsim/task_definition.cpp).
NO_RECORD = {
    "children-out-of-order": definition(
        extra="<Triggers><TimeTrigger><StartBoundary>2030-01-01T00:00:00"
        "</StartBoundary><Enabled>false</Enabled></TimeTrigger></Triggers>"
    ),
    "duplicated-child": definition("<Hidden>false</Hidden><Hidden>false</Hidden>"),
    "exec-without-command": definition(actions="<Exec/>"),
    "duration-not-a-duration": definition("<ExecutionTimeLimit>soon</ExecutionTimeLimit>"),
    "boolean-one": definition("<Hidden>1</Hidden>"),
    "unknown-child": definition(extra="<Velmora/>"),
    "child-in-another-namespace": definition('<x:Hidden xmlns:x="urn:velmora">false</x:Hidden>'),
    "newer-than-its-version": definition("<Volatile>false</Volatile>"),
    "version-1.7": definition(version="1.7"),
    "context-of-no-principal": definition(context=' Context="Nobody"'),
    "message-without-title": definition(actions="<ShowMessage><Body>velmora</Body></ShowMessage>"),
}


@pytest.mark.parametrize("document", NO_RECORD.values(), ids=NO_RECORD.keys())
def test_task_definitions_no_record_decides(ask, task_name, document):
    name = task_name()
    registered = ask("register_xml", name, document)
    if registered.error is not None:
        registered.failure("RegisterTask", described=True)
    assert ask("task_exists", name).value is (registered.error is None)


def test_running_a_disabled_task(ask, task_name):
    name = task_name()
    ask("register_xml", name, task_xml(enabled="false"))
    # The RunEx page says S_OK and no run, the Run page (Run is this RunEx) SCHED_E_TASK_DISABLED.
    either(ask("run_task", name), "RunEx")


def test_running_a_task_that_still_runs(ask, task_name):
    name = task_name()
    # About two seconds of work, so that the second run meets the first.
    ask("register_xml", name, task_xml(command="/c ping -n 3 127.0.0.1 &gt; nul"))
    assert ask("run_task", name).value is None
    either(ask("run_task", name), "RunEx")


def test_a_path_makes_its_folders(ask, task_name):
    name = task_name("in", "{name} folder\\task")
    folder = name.rpartition("\\")[0]
    assert ask("register_xml", name, task_xml()).value is None
    assert ask("task_exists", name).value is True
    # A folder's name is no task's (scheduler.c test_GetTask: ERROR_PATH_NOT_FOUND).
    assert ask("task_exists", folder).value is False
    either(ask("delete_task", folder), "DeleteTask")
    assert ask("delete_task", name).value is None
    either(ask("delete_task", folder), "DeleteTask")
    # Onto an empty folder's name: scheduler.c test_GetTask gives E_ACCESSDENIED (todo_wine)
    # for TASK_CREATE only, and the module registers with TASK_CREATE_OR_UPDATE.
    assert ask("register_xml", name, task_xml()).value is None
    assert ask("delete_task", name).value is None
    either(ask("register_xml", folder, task_xml()), "RegisterTask")
    either(ask("delete_task", folder), "DeleteTask")
    plain = task_name("plain")
    ask("register_xml", plain, task_xml())
    either(ask("register_xml", task_name("plain", "{name}\\inner"), task_xml()), "RegisterTask")


def test_a_failed_call_and_an_earlier_error_object(scheduler, task_name):
    name = task_name()
    with scheduler() as service:
        refused, missing = service.register(name, "<Task"), service.get_task(name)
        left = service.error_description()
    service.note(
        "RegisterTask(name, '<Task'), GetTask(name), GetErrorInfo",
        f"0x{refused:08X}, 0x{missing:08X}, error object {left!r}",
    )
    # Both fail (the severity bit); no record gives either code for these calls.
    assert min(refused, missing) >= 0x80000000


def test_sixteen_threads_at_once(task_name):
    names = [task_name(f"thread {index}") for index in range(16)]
    start = threading.Barrier(len(names))
    # Parallel: a run never meets the policy for an instance that still runs.
    xml = task_xml(policy="Parallel")

    def lifecycle(name):
        start.wait()
        for _ in range(5):
            backend.register_xml(name, xml)
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
            backend.register_xml(name, task_xml())
            assert backend.task_exists(name) is True
            backend.run_task(name)
            backend.delete_task(name)
            # Still in that apartment: joining it again only counts up (CoInitializeEx: S_FALSE).
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
    backend.register_xml(name, task_xml())
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


def test_every_register_row_is_observed_by_a_case_that_asks():
    for row in register.UNCONFIRMED:
        name, _, parameter = row.observed_by.partition("[")
        assert {"ask", "scheduler"} & set(inspect.signature(globals()[name]).parameters), row
        assert parameter.removesuffix("]") in ("", *NO_RECORD), row
