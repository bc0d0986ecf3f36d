"""What the platform suite stands on: the real Task Scheduler on Windows, the
project's simulation everywhere else. Only this file knows which; the tests
see the four functions, the package's exception classes, the standard
library and a bare COM client of the scheduler (TaskService).

Every call a test makes through `ask` is kept with what the scheduler
answered, and the run ends with all of them in a table ready to paste into an
issue, followed by the register of unconfirmed behaviours (register.py) with
what the run observed for each.

On Windows the suite changes the machine's Task Scheduler: every task it makes
lives in the root folder under a prefix made for this run, and is deleted again
when its test ends, whether the test passed or not, with the folders their
names made.
"""

import ctypes
import dataclasses
import functools
import pathlib
import platform
import sys
import uuid

import pytest

ON_WINDOWS = sys.platform == "win32"

try:
    import velmora.errors  # noqa: F401  (the package that uses the module provides it)
except ImportError:
    # Run from the source tree: the example package stands in for it.
    sys.path.append(str(pathlib.Path(__file__).resolve().parents[2] / "examples"))

import _velmora_backend as backend
import register
from velmora.errors import TaskPermissionError, TaskSchedulerError

if not ON_WINDOWS:
    import _winsim

E_ACCESSDENIED = 0x80070005
NOT_FOUND = 0x80070002
PATH_NOT_FOUND = 0x80070003
INVALID_NAME = 0x8007007B
RUN_PREFIX = f"velmora-platform-{uuid.uuid4().hex[:12]}"

COINIT = {"sta": 0x2, "mta": 0x0}  # COINIT_APARTMENTTHREADED, COINIT_MULTITHREADED


def platform_library(windows_dll):
    """A library of the platform as native callers reach it: the Windows DLL,
    or here the simulation's library, which exports the same functions."""
    if ON_WINDOWS:
        return ctypes.WinDLL(windows_dll)
    return ctypes.CDLL(str(pathlib.Path(_winsim.__file__).with_name("libwinsim.so")))


@functools.cache
def message_table():
    """FormatMessageW and LocalFree, declared once."""
    kernel32 = platform_library("kernel32")
    kernel32.FormatMessageW.argtypes = [
        ctypes.c_uint32,
        ctypes.c_void_p,
        ctypes.c_uint32,
        ctypes.c_uint32,
        ctypes.c_void_p,
        ctypes.c_uint32,
        ctypes.c_void_p,
    ]
    kernel32.FormatMessageW.restype = ctypes.c_uint32
    kernel32.LocalFree.argtypes = [ctypes.c_void_p]
    kernel32.LocalFree.restype = ctypes.c_void_p
    return kernel32


def system_text(code):
    """The system message table's text for the code, trimmed at the end as the
    module trims it; "" where the table has none."""
    kernel32 = message_table()
    buffer = ctypes.c_void_p()
    # FORMAT_MESSAGE_ALLOCATE_BUFFER | FROM_SYSTEM | IGNORE_INSERTS, the system's language.
    length = kernel32.FormatMessageW(0x1300, None, code, 0, ctypes.byref(buffer), 0, None)
    if not buffer.value:
        return ""
    try:
        text = ctypes.string_at(buffer.value, 2 * length).decode("utf-16-le", "replace")
    finally:
        kernel32.LocalFree(buffer)
    return text.rstrip("\t\n\v\f\r ")


@dataclasses.dataclass
class Answer:
    """What one call of the module gave: a value, or the package's exception."""

    value: object = None
    error: TaskSchedulerError | None = None

    def failure(self, step, described=False):
        """Holds the module's contract for a failed step and returns the code:
        the class that the code selects, the step, the scheduler's code as a
        non-negative int, and as the message the system text of the code and
        the code, or the code alone where the system has no text. Where the
        scheduler leaves an error object of its own (`described`), its
        description stands in place of the system text."""
        assert self.error is not None, f"expected a failure at {step}, got {self.value!r}"
        message, code, label = self.error.args
        assert type(code) is int and 0 <= code <= 0xFFFFFFFF
        assert (label, type(self.error)) == (
            step,
            TaskPermissionError if code == E_ACCESSDENIED else TaskSchedulerError,
        )
        hexadecimal = f"0x{code:08X}"
        if described:
            assert message == hexadecimal or message.endswith(f" ({hexadecimal})"), message
        else:
            text = system_text(code)
            assert message == (f"{text} ({hexadecimal})" if text else hexadecimal)
        return code


ANSWERS = []  # (case, call, Answer), in the order asked


def shown(argument):
    text = repr(argument.replace(RUN_PREFIX, "<run>"))
    return text if len(text) <= 60 else f"{text[:45]}...({len(argument)} characters)"


@pytest.fixture
def ask(request):
    """Calls a function of the module, keeps what it answered for the report
    and returns it as an Answer."""

    def call(function, *arguments):
        try:
            answer = Answer(value=getattr(backend, function)(*arguments))
        except TaskSchedulerError as error:
            answer = Answer(error=error)
        ANSWERS.append((request.node.name, f"{function}({', '.join(map(shown, arguments))})", answer))
        return answer

    return call


def described(answer):
    if isinstance(answer, str):
        return answer
    if answer.error is None:
        return f"returned {answer.value!r}"
    message, code, step = answer.error.args
    return f"{type(answer.error).__name__} at {step}: 0x{code:08X} {message!r}"


def pytest_terminal_summary(terminalreporter):
    if not ANSWERS:
        return
    where = f"Windows {platform.version()}" if ON_WINDOWS else "the simulation"
    terminalreporter.section(f"what the scheduler answered ({where})")
    terminalreporter.write_line("| case | call | answer |\n|---|---|---|")
    for case, call, answer in ANSWERS:
        terminalreporter.write_line(f"| {case} | `{call}` | {described(answer)} |")
    terminalreporter.section("unconfirmed behaviours (tests/platform/register.py): compare with the cases above")
    run = {case for case, _, _ in ANSWERS} | {case.partition("[")[0] for case, _, _ in ANSWERS}
    for row in register.UNCONFIRMED:
        state = "" if row.observed_by in run else " (not run)"
        terminalreporter.write_line(
            f"- {row.behaviour}; the simulation: {row.simulation}; seen in {row.observed_by}{state}"
        )


class Com:
    """The calling thread's COM initialisation."""

    def __init__(self):
        self._library = platform_library("ole32")
        self._library.CoInitializeEx.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
        self._library.CoInitializeEx.restype = ctypes.c_long
        self._library.CoUninitialize.argtypes = []
        self._library.CoUninitialize.restype = None

    def initialize(self, apartment):
        """CoInitializeEx for "sta" or "mta"; the HRESULT as an unsigned int."""
        return self._library.CoInitializeEx(None, COINIT[apartment]) & 0xFFFFFFFF

    def uninitialize(self):
        self._library.CoUninitialize()


@pytest.fixture(scope="session")
def com():
    return Com()


FUNCTYPE = getattr(ctypes, "WINFUNCTYPE", ctypes.CFUNCTYPE)
OUT = ctypes.POINTER(ctypes.c_void_p)


class Variant(ctypes.Structure):
    """A VT_EMPTY VARIANT, 24 bytes as on 64-bit Windows."""

    _fields_ = [("vt", ctypes.c_uint16), ("reserved", ctypes.c_uint16 * 3), ("value", ctypes.c_void_p * 2)]


def guid(text):
    return (ctypes.c_ubyte * 16).from_buffer_copy(uuid.UUID(text).bytes_le)


class TaskService:
    """The Task Scheduler through COM, for what the four functions cannot
    do: remove a folder that the suite made, and read the thread's error
    object after a call. Interface slots in the SDK's vtable order; every
    call gives its HRESULT as an unsigned int."""

    def __enter__(self):
        self._ole32, self._oleaut32 = platform_library("ole32"), platform_library("oleaut32")
        for function, argtypes, restype in [
            (self._ole32.CoInitializeEx, [ctypes.c_void_p, ctypes.c_uint32], ctypes.c_int32),
            (self._ole32.CoUninitialize, [], None),
            (
                self._ole32.CoCreateInstance,
                [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_uint32, ctypes.c_void_p, OUT],
                ctypes.c_int32,
            ),
            (self._oleaut32.SysAllocStringLen, [ctypes.c_char_p, ctypes.c_uint32], ctypes.c_void_p),
            (self._oleaut32.SysStringLen, [ctypes.c_void_p], ctypes.c_uint32),
            (self._oleaut32.SysFreeString, [ctypes.c_void_p], None),
            (self._oleaut32.GetErrorInfo, [ctypes.c_uint32, OUT], ctypes.c_int32),
        ]:
            function.argtypes, function.restype = argtypes, restype
        # S_OK or S_FALSE; in another apartment already, the thread stays in it.
        self._initialized = self._ole32.CoInitializeEx(None, COINIT["mta"]) >= 0
        self._service, self._root = ctypes.c_void_p(), ctypes.c_void_p()
        clsid, iid = guid("0f87369f-a4e5-4cfc-bd3e-73e6154572dd"), guid("2faba4c7-4da9-4013-9697-20cc3fd40f85")
        try:
            assert self._ole32.CoCreateInstance(clsid, None, 1, iid, ctypes.byref(self._service)) == 0
            assert self._call(self._service, 10, [Variant] * 4, Variant(), Variant(), Variant(), Variant()) == 0
            assert self._with_name(self._service, 7, "\\", [OUT], ctypes.byref(self._root)) == 0
        except BaseException:
            self.__exit__()
            raise
        return self

    def __exit__(self, *exception):
        for interface in (self._root, self._service):
            self._release(interface)
        if self._initialized:
            self._ole32.CoUninitialize()

    def _call(self, interface, slot, argtypes, *arguments):
        table = ctypes.cast(interface, ctypes.POINTER(ctypes.POINTER(ctypes.c_void_p))).contents
        return FUNCTYPE(ctypes.c_int32, ctypes.c_void_p, *argtypes)(table[slot])(interface, *arguments) & 0xFFFFFFFF

    def _release(self, interface):
        if interface.value:
            self._call(interface, 2, [])  # IUnknown::Release

    def _with_name(self, interface, slot, name, argtypes, *arguments):
        units = name.encode("utf-16-le")
        bstr = self._oleaut32.SysAllocStringLen(units, len(units) // 2)
        try:
            return self._call(interface, slot, [ctypes.c_void_p, *argtypes], bstr, *arguments)
        finally:
            self._oleaut32.SysFreeString(bstr)

    def register(self, path, xml):
        """RegisterTask as the module calls it, from the root folder."""
        task = ctypes.c_void_p()
        units = xml.encode("utf-16-le")
        document = self._oleaut32.SysAllocStringLen(units, len(units) // 2)
        try:
            return self._with_name(
                self._root,
                16,
                path,
                [ctypes.c_void_p, ctypes.c_int32, Variant, Variant, ctypes.c_int32, Variant, OUT],
                document,
                6,
                Variant(),
                Variant(),
                3,
                Variant(),
                ctypes.byref(task),
            )
        finally:
            self._oleaut32.SysFreeString(document)
            self._release(task)

    def get_task(self, path):
        task = ctypes.c_void_p()
        try:
            return self._with_name(self._root, 13, path, [OUT], ctypes.byref(task))
        finally:
            self._release(task)

    def delete_folder(self, path):
        return self._with_name(self._root, 12, path, [ctypes.c_int32], 0)

    def error_description(self):
        """The description of the thread's error object, taking it off the
        thread; None where there is none."""
        error, description = ctypes.c_void_p(), ctypes.c_void_p()
        if self._oleaut32.GetErrorInfo(0, ctypes.byref(error)) != 0 or not error.value:
            return None
        try:
            self._call(error, 5, [OUT], ctypes.byref(description))  # IErrorInfo::GetDescription
            length = self._oleaut32.SysStringLen(description)
            return ctypes.string_at(description, 2 * length).decode("utf-16-le", "replace") if length else ""
        finally:
            self._oleaut32.SysFreeString(description)
            self._release(error)


@pytest.fixture(autouse=True)
def platform_state():
    """The simulation starts each test empty and must end it with no platform
    object alive and no misuse of the platform recorded. Windows keeps its
    state; the task_name fixture cleans up there."""
    if ON_WINDOWS:
        yield
        return
    _winsim.reset()
    yield
    assert _winsim.live_objects() == 0
    assert _winsim.violations() == []


@pytest.fixture
def scheduler_takes_time():
    """The real service answers in about a millisecond per request; the
    simulation answers at once unless told to take as long."""
    if not ON_WINDOWS:
        for step in ("GetTask", "RegisterTask", "RunEx", "DeleteTask"):
            _winsim.set_latency(step, 0.002)


@pytest.fixture
def task_name(request):
    """Makes task names under this run's prefix ("{run} {test} {label}", or
    `form` with {name} in it), and deletes every task of those names when the
    test ends, whatever the test did."""
    made = []

    def make(label="task", form="{name}"):
        name = form.format(name=f"{RUN_PREFIX} {request.node.name} {label}")
        made.append(name)
        return name

    yield make
    for name in made:
        try:
            backend.delete_task(name)
        except TaskSchedulerError as error:
            # Never registered, already deleted, or a name no task may have.
            if error.hresult not in (NOT_FOUND, PATH_NOT_FOUND, INVALID_NAME):
                raise
    # Then the folders those names made under this run's prefix, deepest first.
    folders = {
        "\\".join(parts[:end])
        for parts in (name.split("\\")[:-1] for name in made)
        if parts and parts[0].startswith(RUN_PREFIX)
        for end in range(1, len(parts) + 1)
    }
    if folders:
        with TaskService() as service:
            for folder in sorted(folders, key=len, reverse=True):
                assert service.delete_folder(folder) in (0, NOT_FOUND, PATH_NOT_FOUND), folder


@pytest.fixture
def scheduler(request):
    """TaskService, to open with `with`; `note(call, answer)` puts what it
    answered into the report."""

    class Noting(TaskService):
        def note(self, call, answer):
            ANSWERS.append((request.node.name, call, answer))

    return Noting
