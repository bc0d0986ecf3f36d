// The least a binding can do: METH_FASTCALL, positional arguments only, the
// interpreter's cached UTF-8 form, the lock released around the operation,
// and no message text of its own (floor_calls.h). Every other binding is
// measured against it.
#include <Python.h>

#include "floor_calls.h"

namespace {

template <PyObject* (*Call)(PyObject* const*, Py_ssize_t)>
PyObject* entry(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    return Call(args, nargs);
}

// Calls that do nothing: what the interpreter's own call costs in the
// benchmark's loop, with the calling convention of the floor and with that of
// our module (with and without METH_STATIC), which the interpreter dispatches
// differently.
PyObject* noop(PyObject*, PyObject* const*, Py_ssize_t) noexcept { Py_RETURN_NONE; }
PyObject* noop_keywords(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept { Py_RETURN_NONE; }

PyMethodDef methods[] = {
    {"register_xml", _PyCFunction_CAST(entry<bench_floor::register_xml>), METH_FASTCALL, nullptr},
    {"delete_task", _PyCFunction_CAST(entry<bench_floor::name_only<velmora::scheduler::delete_task>>), METH_FASTCALL,
     nullptr},
    {"run_task", _PyCFunction_CAST(entry<bench_floor::name_only<velmora::scheduler::run_task>>), METH_FASTCALL,
     nullptr},
    {"task_exists", _PyCFunction_CAST(entry<bench_floor::task_exists>), METH_FASTCALL, nullptr},
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
