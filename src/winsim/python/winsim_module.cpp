// _winsim: scripting and inspection of the simulated Windows platform from
// Python tests. Every function converts its arguments first, then calls the
// C++ control API with the interpreter lock released, so that a thread blocked
// in a paused step can be resumed from another Python thread.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cmath>
#include <cstdint>
#include <exception>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "winsim/control.h"

namespace {

// Runs `work` without the interpreter lock and turns a C++ exception into a
// Python one. Returns false with an exception set on failure.
template <class Work>
bool without_gil(Work&& work) {
    std::exception_ptr failure;
    Py_BEGIN_ALLOW_THREADS try { work(); } catch (...) {
        failure = std::current_exception();
    }
    Py_END_ALLOW_THREADS if (!failure) return true;
    try {
        std::rethrow_exception(failure);
    } catch (const std::invalid_argument& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unexpected failure in the simulated platform");
    }
    return false;
}

// --- Conversions ------------------------------------------------------------------

// str to UTF-16 through its code points, so that lone surrogates survive.
std::optional<std::u16string> to_u16(PyObject* text, const char* what) {
    if (!PyUnicode_Check(text)) {
        PyErr_Format(PyExc_TypeError, "%s must be str, not %.100s", what, Py_TYPE(text)->tp_name);
        return std::nullopt;
    }
    Py_UCS4* points = PyUnicode_AsUCS4Copy(text);
    if (points == nullptr) return std::nullopt;
    const Py_ssize_t length = PyUnicode_GetLength(text);
    std::u16string out;
    try {
        out.reserve(static_cast<std::size_t>(length));
        for (Py_ssize_t i = 0; i < length; ++i) {
            const Py_UCS4 c = points[i];
            if (c >= 0x10000) {
                out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
                out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
            } else {
                out += static_cast<char16_t>(c);
            }
        }
    } catch (const std::bad_alloc&) {
        PyMem_Free(points);
        PyErr_NoMemory();
        return std::nullopt;
    }
    PyMem_Free(points);
    return out;
}

// UTF-16 to str: pairs become one code point, lone surrogates stay as they are.
PyObject* from_u16(std::u16string_view text) {
    Py_UCS4* points = PyMem_New(Py_UCS4, text.size() + 1);
    if (points == nullptr) return PyErr_NoMemory();
    Py_ssize_t n = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            points[n++] = 0x10000 + ((static_cast<Py_UCS4>(c) - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else {
            points[n++] = c;
        }
    }
    PyObject* result = PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, points, n);
    PyMem_Free(points);
    return result;
}

// An HRESULT or message code given as 0..0xFFFFFFFF, or as a negative 32-bit value.
bool to_code(PyObject* value, const char* what, std::uint32_t& out) {
    if (!PyLong_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be int, not %.100s", what, Py_TYPE(value)->tp_name);
        return false;
    }
    int overflow = 0;
    const long long number = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (number == -1 && PyErr_Occurred()) return false;
    if (overflow != 0 || number < -0x80000000LL || number > 0xFFFFFFFFLL) {
        PyErr_Format(PyExc_ValueError, "%s must be in 0..0xFFFFFFFF (or a negative 32-bit value)", what);
        return false;
    }
    out = static_cast<std::uint32_t>(number);
    return true;
}

bool to_bool(PyObject* value, const char* what, bool& out) {
    if (!PyBool_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be bool, not %.100s", what, Py_TYPE(value)->tp_name);
        return false;
    }
    out = value == Py_True;
    return true;
}

// A step name: str, and one of the scriptable steps.
std::optional<std::string> to_step(PyObject* value) {
    if (!PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "step must be str, not %.100s", Py_TYPE(value)->tp_name);
        return std::nullopt;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
    if (utf8 == nullptr) {
        PyErr_Clear();
        PyErr_SetString(PyExc_ValueError, "unknown step");
        return std::nullopt;
    }
    std::string step(utf8, static_cast<std::size_t>(size));
    if (!winsim::is_step(step)) {
        PyErr_Format(PyExc_ValueError, "unknown step: %R", value);
        return std::nullopt;
    }
    return step;
}

// None or str.
bool to_description(PyObject* value, const char* what, std::optional<std::u16string>& out) {
    if (value == Py_None) {
        out.reset();
        return true;
    }
    auto text = to_u16(value, what);
    if (!text) return false;
    out = std::move(*text);
    return true;
}

// None, ("plain", description) or ("restricted", description, code, restricted_description).
bool to_error_object(PyObject* value, winsim::ErrorObject& out) {
    if (value == Py_None) return true;
    if (!PyTuple_Check(value)) {
        PyErr_Format(PyExc_TypeError, "error must be None or a tuple, not %.100s", Py_TYPE(value)->tp_name);
        return false;
    }
    const Py_ssize_t size = PyTuple_GET_SIZE(value);
    if (size < 1) {
        PyErr_SetString(PyExc_ValueError, "error must name its kind, \"plain\" or \"restricted\"");
        return false;
    }
    PyObject* kind = PyTuple_GET_ITEM(value, 0);
    if (!PyUnicode_Check(kind)) {
        PyErr_Format(PyExc_TypeError, "error kind must be str, not %.100s", Py_TYPE(kind)->tp_name);
        return false;
    }
    if (PyUnicode_CompareWithASCIIString(kind, "plain") == 0) {
        if (size != 2) {
            PyErr_SetString(PyExc_ValueError, "a plain error is (\"plain\", description)");
            return false;
        }
        out.kind = winsim::ErrorObject::Kind::plain;
        return to_description(PyTuple_GET_ITEM(value, 1), "description", out.description);
    }
    if (PyUnicode_CompareWithASCIIString(kind, "restricted") == 0) {
        if (size != 4) {
            PyErr_SetString(PyExc_ValueError,
                            "a restricted error is (\"restricted\", description, code, restricted_description)");
            return false;
        }
        out.kind = winsim::ErrorObject::Kind::restricted;
        std::uint32_t code = 0;
        if (!to_description(PyTuple_GET_ITEM(value, 1), "description", out.description) ||
            !to_code(PyTuple_GET_ITEM(value, 2), "code", code) ||
            !to_description(PyTuple_GET_ITEM(value, 3), "restricted_description", out.restricted_description))
            return false;
        out.code = static_cast<HRESULT>(code);
        return true;
    }
    PyErr_Format(PyExc_ValueError, "unknown error kind: %R", kind);
    return false;
}

PyObject* string_list(const std::vector<std::string>& items) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(items.size()));
    if (list == nullptr) return nullptr;
    for (std::size_t i = 0; i < items.size(); ++i) {
        PyObject* item = PyUnicode_DecodeUTF8(items[i].data(), static_cast<Py_ssize_t>(items[i].size()), "replace");
        if (item == nullptr) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
    }
    return list;
}

template <class Map, class ValueToPy>
PyObject* u16_dict(const Map& map, ValueToPy value_to_py) {
    PyObject* dict = PyDict_New();
    if (dict == nullptr) return nullptr;
    for (const auto& [name, value] : map) {
        PyObject* key = from_u16(name);
        PyObject* item = key == nullptr ? nullptr : value_to_py(value);
        const int status = item == nullptr ? -1 : PyDict_SetItem(dict, key, item);
        Py_XDECREF(key);
        Py_XDECREF(item);
        if (status < 0) {
            Py_DECREF(dict);
            return nullptr;
        }
    }
    return dict;
}

// --- Functions --------------------------------------------------------------------

PyObject* winsim_reset(PyObject*, PyObject*) {
    if (!without_gil([] { winsim::reset(); })) return nullptr;
    Py_RETURN_NONE;
}

PyObject* winsim_script(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"step", "hresult", "null_out", "error", "count", nullptr};
    PyObject* step_obj = nullptr;
    PyObject* hresult_obj = nullptr;
    PyObject* null_out_obj = Py_False;
    PyObject* error_obj = Py_None;
    PyObject* count_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O$OOO:script", const_cast<char**>(keywords), &step_obj,
                                     &hresult_obj, &null_out_obj, &error_obj, &count_obj))
        return nullptr;
    auto step = to_step(step_obj);
    if (!step) return nullptr;
    std::uint32_t hresult = 0;
    if (hresult_obj != nullptr && !to_code(hresult_obj, "hresult", hresult)) return nullptr;
    bool null_out = false;
    if (!to_bool(null_out_obj, "null_out", null_out)) return nullptr;
    winsim::ErrorObject error;
    if (!to_error_object(error_obj, error)) return nullptr;
    long count = 1;
    if (count_obj != nullptr) {
        if (!PyLong_Check(count_obj) || PyBool_Check(count_obj)) {
            PyErr_Format(PyExc_TypeError, "count must be int, not %.100s", Py_TYPE(count_obj)->tp_name);
            return nullptr;
        }
        int overflow = 0;
        count = PyLong_AsLongAndOverflow(count_obj, &overflow);
        if (count == -1 && PyErr_Occurred()) return nullptr;
        if (overflow != 0 || count < 0 || count > 0x7FFFFFFF) {
            PyErr_SetString(PyExc_ValueError, "count must be in 0..2147483647");
            return nullptr;
        }
    }
    if (!without_gil([&] {
            winsim::script(*step, static_cast<HRESULT>(hresult), null_out, std::move(error), static_cast<int>(count));
        }))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* winsim_set_apartment(PyObject*, PyObject* arg) {
    winsim::Apartment apartment;
    if (arg == Py_None) {
        apartment = winsim::Apartment::none;
    } else if (!PyUnicode_Check(arg)) {
        PyErr_Format(PyExc_TypeError, "apartment must be \"sta\", \"mta\" or None, not %.100s", Py_TYPE(arg)->tp_name);
        return nullptr;
    } else if (PyUnicode_CompareWithASCIIString(arg, "sta") == 0) {
        apartment = winsim::Apartment::sta;
    } else if (PyUnicode_CompareWithASCIIString(arg, "mta") == 0) {
        apartment = winsim::Apartment::mta;
    } else {
        PyErr_Format(PyExc_ValueError, "apartment must be \"sta\", \"mta\" or None, not %R", arg);
        return nullptr;
    }
    // Per-thread state of the calling thread: no lock to wait for.
    winsim::set_apartment(apartment);
    Py_RETURN_NONE;
}

PyObject* winsim_set_message(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2) {
        PyErr_Format(PyExc_TypeError, "set_message() takes 2 arguments (%zd given)", nargs);
        return nullptr;
    }
    std::uint32_t code = 0;
    if (!to_code(args[0], "code", code)) return nullptr;
    std::optional<std::u16string> text;
    if (!to_description(args[1], "text", text)) return nullptr;
    if (!without_gil([&] { winsim::set_message(code, std::move(text)); })) return nullptr;
    Py_RETURN_NONE;
}

PyObject* winsim_set_combase(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"loads", "has_ro_originate_error", nullptr};
    PyObject* loads_obj = Py_True;
    PyObject* has_obj = Py_True;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OO:set_combase", const_cast<char**>(keywords), &loads_obj,
                                     &has_obj))
        return nullptr;
    bool loads = true;
    bool has = true;
    if (!to_bool(loads_obj, "loads", loads) || !to_bool(has_obj, "has_ro_originate_error", has)) return nullptr;
    if (!without_gil([&] { winsim::set_combase(loads, has); })) return nullptr;
    Py_RETURN_NONE;
}

PyObject* winsim_set_latency(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2) {
        PyErr_Format(PyExc_TypeError, "set_latency() takes 2 arguments (%zd given)", nargs);
        return nullptr;
    }
    auto step = to_step(args[0]);
    if (!step) return nullptr;
    if (!PyFloat_Check(args[1]) && !PyLong_Check(args[1])) {
        PyErr_Format(PyExc_TypeError, "seconds must be a number, not %.100s", Py_TYPE(args[1])->tp_name);
        return nullptr;
    }
    const double seconds = PyFloat_AsDouble(args[1]);
    if (seconds == -1.0 && PyErr_Occurred()) return nullptr;
    if (!std::isfinite(seconds) || seconds < 0 || seconds > 3600) {
        PyErr_SetString(PyExc_ValueError, "seconds must be between 0 and 3600");
        return nullptr;
    }
    if (!without_gil([&] { winsim::set_latency(*step, seconds); })) return nullptr;
    Py_RETURN_NONE;
}

template <void (*Action)(std::string_view)>
PyObject* step_action(PyObject*, PyObject* arg) {
    auto step = to_step(arg);
    if (!step) return nullptr;
    if (!without_gil([&] { Action(*step); })) return nullptr;
    Py_RETURN_NONE;
}

PyObject* winsim_waiting(PyObject*, PyObject* arg) {
    auto step = to_step(arg);
    if (!step) return nullptr;
    int count = 0;
    if (!without_gil([&] { count = winsim::waiting(*step); })) return nullptr;
    return PyLong_FromLong(count);
}

PyObject* winsim_tasks(PyObject*, PyObject*) {
    std::map<std::u16string, std::u16string> tasks;
    if (!without_gil([&] { tasks = winsim::tasks(); })) return nullptr;
    return u16_dict(tasks, [](const std::u16string& xml) { return from_u16(xml); });
}

PyObject* winsim_run_counts(PyObject*, PyObject*) {
    std::map<std::u16string, long> runs;
    if (!without_gil([&] { runs = winsim::run_counts(); })) return nullptr;
    return u16_dict(runs, [](long count) { return PyLong_FromLong(count); });
}

PyObject* winsim_live_objects(PyObject*, PyObject*) { return PyLong_FromLong(winsim::live_objects()); }

PyObject* winsim_init_depth(PyObject*, PyObject*) { return PyLong_FromLong(winsim::init_depth()); }

PyObject* winsim_calls(PyObject*, PyObject*) {
    std::vector<std::string> calls;
    if (!without_gil([&] { calls = winsim::calls(); })) return nullptr;
    return string_list(calls);
}

PyObject* winsim_violations(PyObject*, PyObject*) {
    std::vector<std::string> violations;
    if (!without_gil([&] { violations = winsim::violations(); })) return nullptr;
    return string_list(violations);
}

PyMethodDef winsim_methods[] = {
    {"reset", winsim_reset, METH_NOARGS, PyDoc_STR("reset()\n--\n\nEmpties the store and clears every script.")},
    {"script", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(winsim_script)), METH_VARARGS | METH_KEYWORDS,
     PyDoc_STR("script(step, hresult=0, *, null_out=False, error=None, count=1)\n--\n\n"
               "Makes the next count calls of step fail with hresult.")},
    {"set_apartment", winsim_set_apartment, METH_O,
     PyDoc_STR("set_apartment(apartment, /)\n--\n\nPuts the calling thread into \"sta\", \"mta\" or none.")},
    {"set_message", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(winsim_set_message)), METH_FASTCALL,
     PyDoc_STR("set_message(code, text, /)\n--\n\nSets or removes the system message text of a code.")},
    {"set_combase", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(winsim_set_combase)),
     METH_VARARGS | METH_KEYWORDS, PyDoc_STR("set_combase(loads=True, has_ro_originate_error=True)\n--\n\n")},
    {"set_latency", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(winsim_set_latency)), METH_FASTCALL,
     PyDoc_STR("set_latency(step, seconds, /)\n--\n\n")},
    {"pause", step_action<winsim::pause>, METH_O, PyDoc_STR("pause(step, /)\n--\n\n")},
    {"resume", step_action<winsim::resume>, METH_O, PyDoc_STR("resume(step, /)\n--\n\n")},
    {"waiting", winsim_waiting, METH_O, PyDoc_STR("waiting(step, /)\n--\n\n")},
    {"tasks", winsim_tasks, METH_NOARGS, PyDoc_STR("tasks()\n--\n\nName to XML of every registered task.")},
    {"run_counts", winsim_run_counts, METH_NOARGS, PyDoc_STR("run_counts()\n--\n\n")},
    {"live_objects", winsim_live_objects, METH_NOARGS, PyDoc_STR("live_objects()\n--\n\n")},
    {"init_depth", winsim_init_depth, METH_NOARGS, PyDoc_STR("init_depth()\n--\n\n")},
    {"calls", winsim_calls, METH_NOARGS, PyDoc_STR("calls()\n--\n\n")},
    {"violations", winsim_violations, METH_NOARGS, PyDoc_STR("violations()\n--\n\n")},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot winsim_slots[] = {
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef winsim_module = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_winsim",
    .m_doc = "Scripting and inspection of the simulated Windows platform.",
    .m_size = 0,
    .m_methods = winsim_methods,
    .m_slots = winsim_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__winsim() { return PyModuleDef_Init(&winsim_module); }
