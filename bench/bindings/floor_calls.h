// What the floors do in a call, whatever the calling convention: positional
// arguments only, the interpreter's cached UTF-8 form, the lock released
// around the operation, and no message text of their own. floor.cpp and
// limit.cpp wrap these in entry functions of their own flags, so the two
// differ by the flags alone.
#pragma once

#include <Python.h>

#include <string_view>

#include "scheduler/operations.h"

namespace bench_floor {

using velmora::scheduler::Outcome;

inline std::string_view text_of(PyObject* object, bool& ok) noexcept {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(object, &size);
    ok = data != nullptr;
    return ok ? std::string_view(data, static_cast<std::size_t>(size)) : std::string_view();
}

inline PyObject* raise_failure(const velmora::failures::TaskFailure& failure) noexcept {
    PyObject* message =
        PyUnicode_FromStringAndSize(failure.message.data(), static_cast<Py_ssize_t>(failure.message.size()));
    if (message != nullptr) {
        PyErr_SetObject(PyExc_RuntimeError, message);
        Py_DECREF(message);
    }
    return nullptr;
}

inline PyObject* none_or_raise(const Outcome<void>& outcome) noexcept {
    if (!outcome) return raise_failure(outcome.error());
    Py_RETURN_NONE;
}

template <Outcome<void> (*Operation)(std::string_view)>
PyObject* name_only(PyObject* const* args, Py_ssize_t nargs) noexcept {
    bool ok = nargs == 1;
    const std::string_view name = ok ? text_of(args[0], ok) : std::string_view();
    if (!ok) {
        if (!PyErr_Occurred()) PyErr_BadArgument();
        return nullptr;
    }
    Outcome<void> outcome;
    Py_BEGIN_ALLOW_THREADS outcome = Operation(name);
    Py_END_ALLOW_THREADS return none_or_raise(outcome);
}

inline PyObject* task_exists(PyObject* const* args, Py_ssize_t nargs) noexcept {
    bool ok = nargs == 1;
    const std::string_view name = ok ? text_of(args[0], ok) : std::string_view();
    if (!ok) {
        if (!PyErr_Occurred()) PyErr_BadArgument();
        return nullptr;
    }
    Outcome<bool> outcome;
    Py_BEGIN_ALLOW_THREADS outcome = velmora::scheduler::task_exists(name);
    Py_END_ALLOW_THREADS if (!outcome) return raise_failure(outcome.error());
    return PyBool_FromLong(*outcome);
}

inline PyObject* register_xml(PyObject* const* args, Py_ssize_t nargs) noexcept {
    bool ok = nargs == 2;
    const std::string_view name = ok ? text_of(args[0], ok) : std::string_view();
    const std::string_view xml = ok ? text_of(args[1], ok) : std::string_view();
    if (!ok) {
        if (!PyErr_Occurred()) PyErr_BadArgument();
        return nullptr;
    }
    Outcome<void> outcome;
    Py_BEGIN_ALLOW_THREADS outcome = velmora::scheduler::register_xml(name, xml);
    Py_END_ALLOW_THREADS return none_or_raise(outcome);
}

}  // namespace bench_floor
