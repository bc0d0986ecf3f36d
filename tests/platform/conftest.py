"""What the platform suite stands on: the real Task Scheduler on Windows, the
project's simulation everywhere else. Only this file knows which; the tests
see the four functions, the package's exception classes and the standard
library.

On Windows the suite changes the machine's Task Scheduler: every task it makes
lives in the root folder under a prefix made for this run, and is deleted again
when its test ends, whether the test passed or not.
"""

import ctypes
import pathlib
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
from velmora.errors import TaskSchedulerError

if not ON_WINDOWS:
    import _winsim

NOT_FOUND = 0x80070002
PATH_NOT_FOUND = 0x80070003
INVALID_NAME = 0x8007007B
RUN_PREFIX = f"velmora-platform-{uuid.uuid4().hex[:12]}"

COINIT = {"sta": 0x2, "mta": 0x0}  # COINIT_APARTMENTTHREADED, COINIT_MULTITHREADED


def _com_library():
    """CoInitializeEx and CoUninitialize as native callers reach them: from
    ole32 on Windows, from the simulation's library here."""
    if ON_WINDOWS:
        library = ctypes.WinDLL("ole32")
    else:
        library = ctypes.CDLL(str(pathlib.Path(_winsim.__file__).with_name("libwinsim.so")))
    library.CoInitializeEx.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
    library.CoInitializeEx.restype = ctypes.c_long
    library.CoUninitialize.argtypes = []
    library.CoUninitialize.restype = None
    return library


class Com:
    """The calling thread's COM initialisation."""

    def __init__(self):
        self._library = _com_library()

    def initialize(self, apartment):
        """CoInitializeEx for "sta" or "mta"; the HRESULT as an unsigned int."""
        return self._library.CoInitializeEx(None, COINIT[apartment]) & 0xFFFFFFFF

    def uninitialize(self):
        self._library.CoUninitialize()


@pytest.fixture(scope="session")
def com():
    return Com()


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
    """Makes task names under this run's prefix, and deletes every task of
    those names when the test ends, whatever the test did."""
    made = []

    def make(label="task"):
        name = f"{RUN_PREFIX} {request.node.name} {label}"
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
