// The least a binding can do: METH_FASTCALL, positional arguments only, the
// interpreter's cached UTF-8 form, the lock released around the operation,
// and no message text of its own. Every other binding is measured against it.
#include <Python.h>

#include <string_view>

#include "scheduler/operations.h"

namespace {

using velmora::scheduler::Outcome;

std::string_view text_of(PyObject* object, bool& ok) noexcept {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(object, &size);
    ok = data != nullptr;
    return ok ? std::string_view(data, static_cast<std::size_t>(size)) : std::string_view();
}

PyObject* raise_failure(const velmora::failures::TaskFailure& failure) noexcept {
    PyObject* message = PyUnicode_FromStringAndSize(failure.message.data(), static_cast<Py_ssize_t>(failure.message.size()));
    if (message != nullptr) {
        PyErr_SetObject(PyExc_RuntimeError, message);
        Py_DECREF(message);
    }
    return nullptr;
}

PyObject* none_or_raise(const Outcome<void>& outcome) noexcept {
    if (!outcome) return raise_failure(outcome.error());
    Py_RETURN_NONE;
}

template <Outcome<void> (*Operation)(std::string_view)>
PyObject* name_only(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    bool ok = nargs == 1;
    const std::string_view name = ok ? text_of(args[0], ok) : std::string_view();
    if (!ok) {
        if (!PyErr_Occurred()) PyErr_BadArgument();
        return nullptr;
    }
    Outcome<void> outcome;
    Py_BEGIN_ALLOW_THREADS
    outcome = Operation(name);
    Py_END_ALLOW_THREADS
    return none_or_raise(outcome);
}

PyObject* task_exists(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    bool ok = nargs == 1;
    const std::string_view name = ok ? text_of(args[0], ok) : std::string_view();
    if (!ok) {
        if (!PyErr_Occurred()) PyErr_BadArgument();
        return nullptr;
    }
    Outcome<bool> outcome;
    Py_BEGIN_ALLOW_THREADS
    outcome = velmora::scheduler::task_exists(name);
    Py_END_ALLOW_THREADS
    if (!outcome) return raise_failure(outcome.error());
    return PyBool_FromLong(*outcome);
}

PyObject* register_xml(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    bool ok = nargs == 2;
    const std::string_view name = ok ? text_of(args[0], ok) : std::string_view();
    const std::string_view xml = ok ? text_of(args[1], ok) : std::string_view();
    if (!ok) {
        if (!PyErr_Occurred()) PyErr_BadArgument();
        return nullptr;
    }
    Outcome<void> outcome;
    Py_BEGIN_ALLOW_THREADS
    outcome = velmora::scheduler::register_xml(name, xml);
    Py_END_ALLOW_THREADS
    return none_or_raise(outcome);
}

// Calls that do nothing: what the interpreter's own call costs in the
// benchmark's loop, with the calling convention of the floor and with that of
// our module (with and without METH_STATIC), which the interpreter dispatches
// differently.
PyObject* noop(PyObject*, PyObject* const*, Py_ssize_t) noexcept { Py_RETURN_NONE; }
PyObject* noop_keywords(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept { Py_RETURN_NONE; }

PyMethodDef methods[] = {
    {"register_xml", _PyCFunction_CAST(register_xml), METH_FASTCALL, nullptr},
    {"delete_task", _PyCFunction_CAST(name_only<velmora::scheduler::delete_task>), METH_FASTCALL, nullptr},
    {"run_task", _PyCFunction_CAST(name_only<velmora::scheduler::run_task>), METH_FASTCALL, nullptr},
    {"task_exists", _PyCFunction_CAST(task_exists), METH_FASTCALL, nullptr},
    {"noop", _PyCFunction_CAST(noop), METH_FASTCALL, nullptr},
    {"noop_keywords", _PyCFunction_CAST(noop_keywords), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// Module method tables refuse METH_STATIC, so this one is made the way our
// module makes its functions.
PyMethodDef noop_keywords_static = {"noop_keywords_static", _PyCFunction_CAST(noop_keywords),
                                    METH_FASTCALL | METH_KEYWORDS | METH_STATIC, nullptr};

int add_static_noop(PyObject* module) noexcept {
    PyObject* name = PyModule_GetNameObject(module);
    if (name == nullptr) return -1;
    PyObject* function = PyCMethod_New(&noop_keywords_static, module, name, nullptr);
    Py_DECREF(name);
    if (function == nullptr) return -1;
    return PyModule_Add(module, noop_keywords_static.ml_name, function);
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(add_static_noop)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_bench_floor",
    .m_doc = nullptr,
    .m_size = 0,
    .m_methods = methods,
    .m_slots = slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__bench_floor() { return PyModuleDef_Init(&definition); }
