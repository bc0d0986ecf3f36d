"""The `_winsim` control module: argument checking, and that what it scripts
and reports is what the simulated platform does. The platform itself is
driven through ctypes, the way native code calls it."""

import ctypes
import pathlib
import threading

import pytest

import _winsim
from support import DESCRIBED_TASK_XML, E_ACCESSDENIED

STEPS = [
    "CoInitializeEx",
    "CoCreateInstance",
    "Connect",
    "GetFolder",
    "GetTask",
    "RunEx",
    "DeleteTask",
    "RegisterTask",
    "SysAllocStringLen",
    "GetErrorDetails",
    "GetDescription",
]

platform = ctypes.CDLL(str(pathlib.Path(_winsim.__file__).with_name("libwinsim.so")))
platform.CoInitializeEx.argtypes = [ctypes.c_void_p, ctypes.c_uint32]
platform.CoInitializeEx.restype = ctypes.c_int32
platform.CoUninitialize.argtypes = []
platform.CoUninitialize.restype = None
platform.GetErrorInfo.argtypes = [ctypes.c_uint32, ctypes.POINTER(ctypes.c_void_p)]
platform.GetErrorInfo.restype = ctypes.c_int32
platform.SysAllocStringLen.argtypes = [ctypes.c_void_p, ctypes.c_uint]
platform.SysAllocStringLen.restype = ctypes.c_void_p
platform.SysStringLen.argtypes = [ctypes.c_void_p]
platform.SysStringLen.restype = ctypes.c_uint
platform.SysFreeString.argtypes = [ctypes.c_void_p]
platform.SysFreeString.restype = None
platform.CoCreateInstance.argtypes = [
    ctypes.c_void_p,
    ctypes.c_void_p,
    ctypes.c_uint32,
    ctypes.c_void_p,
    ctypes.POINTER(ctypes.c_void_p),
]
platform.CoCreateInstance.restype = ctypes.c_int32


class Variant(ctypes.Structure):
    _fields_ = [("vt", ctypes.c_uint16), ("reserved", ctypes.c_uint16 * 3), ("value", ctypes.c_uint64 * 2)]


def signed(code):
    return code - (1 << 32) if code >= 1 << 31 else code


def method(interface, index, restype, *argtypes):
    """The vtable entry `index` of a COM interface pointer, bound to it."""
    vtable = ctypes.cast(interface, ctypes.POINTER(ctypes.POINTER(ctypes.c_void_p))).contents
    prototype = ctypes.CFUNCTYPE(restype, ctypes.c_void_p, *argtypes)
    function = prototype(vtable[index])
    return lambda *args: function(interface, *args)


def release(interface):
    return method(interface, 2, ctypes.c_uint32)()


def make_bstr(text):
    units = text.encode("utf-16-le", "surrogatepass")
    return platform.SysAllocStringLen(units, len(units) // 2)


def bstr_text(bstr):
    if not bstr:
        return None
    length = platform.SysStringLen(bstr)
    return ctypes.string_at(bstr, 2 * length).decode("utf-16-le", "surrogatepass")


def take_description():
    """The description of the thread's error object, taken and released."""
    info = ctypes.c_void_p()
    if platform.GetErrorInfo(0, ctypes.byref(info)) != 0:
        return "<none>"
    bstr = ctypes.c_void_p()
    assert method(info, 5, ctypes.c_int32, ctypes.POINTER(ctypes.c_void_p))(ctypes.byref(bstr)) == 0
    release(info)
    text = bstr_text(bstr.value)
    platform.SysFreeString(bstr)
    return text


def guid(text):
    import uuid

    return (ctypes.c_char * 16).from_buffer_copy(uuid.UUID(text).bytes_le)


CLSID_TASK_SCHEDULER = guid("0F87369F-A4E5-4CFC-BD3E-73E6154572DD")
IID_ITASK_SERVICE = guid("2FABA4C7-4DA9-4013-9697-20CC3FD40F85")


def register(name, xml):
    """Registers a task through the platform's own interfaces; returns the HRESULT."""
    assert platform.CoInitializeEx(None, 0) == 0
    service = ctypes.c_void_p()
    assert platform.CoCreateInstance(CLSID_TASK_SCHEDULER, None, 1, IID_ITASK_SERVICE, ctypes.byref(service)) == 0
    empty = Variant()
    # ITaskService: IDispatch (7 entries), then GetFolder, GetRunningTasks, NewTask, Connect.
    assert method(service, 10, ctypes.c_int32, Variant, Variant, Variant, Variant)(empty, empty, empty, empty) == 0
    root = make_bstr("\\")
    folder = ctypes.c_void_p()
    assert (
        method(service, 7, ctypes.c_int32, ctypes.c_void_p, ctypes.POINTER(ctypes.c_void_p))(root, ctypes.byref(folder))
        == 0
    )
    platform.SysFreeString(root)
    name_bstr = make_bstr(name)
    xml_bstr = make_bstr(xml)
    # ITaskFolder: IDispatch (7 entries), then 6 folder methods, GetTask, GetTasks, DeleteTask, RegisterTask.
    register_task = method(
        folder,
        16,
        ctypes.c_int32,
        ctypes.c_void_p,
        ctypes.c_void_p,
        ctypes.c_int32,
        Variant,
        Variant,
        ctypes.c_int,
        Variant,
        ctypes.POINTER(ctypes.c_void_p),
    )
    hr = register_task(name_bstr, xml_bstr, 6, empty, empty, 3, empty, None)
    platform.SysFreeString(xml_bstr)
    platform.SysFreeString(name_bstr)
    release(folder)
    release(service)
    platform.CoUninitialize()
    return hr


# --- Argument checking ----------------------------------------------------------------


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda: _winsim.script("Nope"), ValueError),
        (lambda: _winsim.script("gettask"), ValueError),
        (lambda: _winsim.script("Get\ud800Task"), ValueError),
        (lambda: _winsim.script(b"GetTask"), TypeError),
        (lambda: _winsim.script("GetTask", "0x80070005"), TypeError),
        (lambda: _winsim.script("GetTask", 1.0), TypeError),
        (lambda: _winsim.script("GetTask", 0x1_0000_0000), ValueError),
        (lambda: _winsim.script("GetTask", -0x8000_0001), ValueError),
        (lambda: _winsim.script("GetTask", 2**80), ValueError),
        (lambda: _winsim.script("GetTask", count=-1), ValueError),
        (lambda: _winsim.script("GetTask", count=2**40), ValueError),
        (lambda: _winsim.script("GetTask", count="1"), TypeError),
        (lambda: _winsim.script("GetTask", null_out=1), TypeError),
        (lambda: _winsim.script("Connect", null_out=True), ValueError),
        (lambda: _winsim.script("GetTask", E_ACCESSDENIED, E_ACCESSDENIED), TypeError),
        (lambda: _winsim.script("GetTask", error=["plain", "x"]), TypeError),
        (lambda: _winsim.script("GetTask", error=()), ValueError),
        (lambda: _winsim.script("GetTask", error=("odd", "x")), ValueError),
        (lambda: _winsim.script("GetTask", error=("plain",)), ValueError),
        (lambda: _winsim.script("GetTask", error=("plain", b"x")), TypeError),
        (lambda: _winsim.script("GetTask", error=("restricted", "x", E_ACCESSDENIED)), ValueError),
        (lambda: _winsim.script("GetTask", error=("restricted", "x", "code", None)), TypeError),
        (lambda: _winsim.script("GetTask", error=("restricted", "x", 2**32, None)), ValueError),
        (lambda: _winsim.script("GetTask", unknown=1), TypeError),
        (lambda: _winsim.script(), TypeError),
        (lambda: _winsim.set_apartment("both"), ValueError),
        (lambda: _winsim.set_apartment(1), TypeError),
        (lambda: _winsim.set_message(-0x8000_0001, "x"), ValueError),
        (lambda: _winsim.set_message(5, 5), TypeError),
        (lambda: _winsim.set_message(5), TypeError),
        (lambda: _winsim.set_combase(loads=None), TypeError),
        (lambda: _winsim.set_latency("GetTask", -1), ValueError),
        (lambda: _winsim.set_latency("GetTask", float("nan")), ValueError),
        (lambda: _winsim.set_latency("GetTask", "1"), TypeError),
        (lambda: _winsim.pause("Nope"), ValueError),
        (lambda: _winsim.resume(None), TypeError),
        (lambda: _winsim.waiting("Nope"), ValueError),
    ],
)
def test_bad_arguments_raise(call, error):
    with pytest.raises(error):
        call()


def test_every_step_can_be_scripted_paused_and_delayed():
    for step in STEPS:
        _winsim.script(step, 0x80004005, count=0)
        _winsim.set_latency(step, 0)
        _winsim.pause(step)
        assert _winsim.waiting(step) == 0
        _winsim.resume(step)


# --- What the platform then does ----------------------------------------------------


@pytest.mark.parametrize("hresult", [E_ACCESSDENIED, signed(E_ACCESSDENIED)])
def test_scripted_failure_with_unsigned_or_signed_code(hresult):
    _winsim.script("CoInitializeEx", hresult, error=("plain", "denied \ud800 \U0001f600"))
    assert platform.CoInitializeEx(None, 0) == signed(E_ACCESSDENIED)
    assert _winsim.init_depth() == 0
    assert take_description() == "denied \ud800 \U0001f600"
    assert _winsim.calls()[:2] == ["CoInitializeEx", "GetErrorInfo"]


def test_count_and_reset():
    _winsim.script("CoInitializeEx", E_ACCESSDENIED, count=2)
    assert platform.CoInitializeEx(None, 0) == signed(E_ACCESSDENIED)
    _winsim.reset()
    assert _winsim.calls() == []
    assert platform.CoInitializeEx(None, 0) == 0
    platform.CoUninitialize()


def test_apartment_and_depth_are_per_thread():
    _winsim.set_apartment("sta")
    assert _winsim.init_depth() == 1
    depths = []
    worker = threading.Thread(target=lambda: depths.append(_winsim.init_depth()))
    worker.start()
    worker.join()
    assert depths == [0]
    _winsim.set_apartment(None)
    assert _winsim.init_depth() == 0


def test_live_objects_and_calls_log_text():
    bstr = make_bstr("x" * 40)
    assert _winsim.live_objects() == 1
    platform.SysFreeString(bstr)
    platform.SysFreeString(None)
    assert _winsim.calls() == [
        "SysAllocStringLen(" + "x" * 32 + "...)",
        "SysFreeString(" + "x" * 32 + "...)",
        "SysFreeString(null)",
    ]


def test_violations_are_listed_until_reset():
    bstr = make_bstr("twice")
    platform.SysFreeString(bstr)
    platform.SysFreeString(bstr)
    assert _winsim.violations() == ["SysFreeString of a BSTR that was already freed"]
    _winsim.reset()
    assert _winsim.violations() == []


def test_tasks_and_names_come_back_exactly():
    name = "n\x00\ud800\U0001f600"
    xml = DESCRIBED_TASK_XML.format("\udc00\x00")
    assert register(name, xml) == 0
    assert _winsim.tasks() == {name: xml}
    assert _winsim.run_counts() == {}


def test_paused_step_is_resumed_from_another_thread():
    _winsim.pause("CoInitializeEx")
    results = []

    def caller():
        # ctypes releases the interpreter lock around the call, as the module under test does.
        results.append(platform.CoInitializeEx(None, 0))
        platform.CoUninitialize()

    worker = threading.Thread(target=caller)
    worker.start()
    while _winsim.waiting("CoInitializeEx") == 0:
        pass
    assert results == []
    _winsim.resume("CoInitializeEx")
    worker.join()
    assert results == [0]
    assert _winsim.waiting("CoInitializeEx") == 0
