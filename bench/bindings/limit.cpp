// The floor under our module's contract: the floor's calls (floor_calls.h)
// behind entry functions with our flags, METH_FASTCALL | METH_KEYWORDS |
// METH_STATIC, made with PyCMethod_New as our module makes its functions, so
// that the interpreter dispatches them exactly as it dispatches ours. The
// least a binding can do with those flags; positional arguments only.
#include <Python.h>

#include "floor_calls.h"

namespace {

// A call with keywords is refused as a wrong count: the floor takes none.
template <PyObject* (*Call)(PyObject* const*, Py_ssize_t)>
PyObject* entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return Call(args, kwnames == nullptr ? nargs : -1);
}

constexpr int flags = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;

// Module method tables refuse METH_STATIC: the functions are made in the exec
// slot, from records that live as long as the process.
PyMethodDef methods[] = {
    {"register_xml", _PyCFunction_CAST(entry<bench_floor::register_xml>), flags, nullptr},
    {"delete_task", _PyCFunction_CAST(entry<bench_floor::name_only<velmora::scheduler::delete_task>>), flags, nullptr},
    {"run_task", _PyCFunction_CAST(entry<bench_floor::name_only<velmora::scheduler::run_task>>), flags, nullptr},
    {"task_exists", _PyCFunction_CAST(entry<bench_floor::task_exists>), flags, nullptr},
};

int add_functions(PyObject* module) noexcept {
    PyObject* name = PyModule_GetNameObject(module);
    if (name == nullptr) return -1;
    int result = 0;
    for (PyMethodDef& method : methods) {
        PyObject* function = PyCMethod_New(&method, module, name, nullptr);
        if (function == nullptr || PyModule_Add(module, method.ml_name, function) < 0) {
            result = -1;
            break;
        }
    }
    Py_DECREF(name);
    return result;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(add_functions)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_bench_limit",
    .m_doc = nullptr,
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__bench_limit() { return PyModuleDef_Init(&definition); }
