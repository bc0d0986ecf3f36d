// The binding as the C API tutorials write it: METH_VARARGS | METH_KEYWORDS
// and PyArg_ParseTupleAndKeywords with "s#" (the cached UTF-8 form, no copy).
#include <Python.h>

#include <string_view>

#include "scheduler/operations.h"

namespace {

using velmora::scheduler::Outcome;

PyObject* raise_failure(const velmora::failures::TaskFailure& failure) noexcept {
    PyObject* message =
        PyUnicode_FromStringAndSize(failure.message.data(), static_cast<Py_ssize_t>(failure.message.size()));
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

char task_name_keyword[] = "task_name";
char xml_data_keyword[] = "xml_data";
char* name_keywords[] = {task_name_keyword, nullptr};
char* register_keywords[] = {task_name_keyword, xml_data_keyword, nullptr};

template <Outcome<void> (*Operation)(std::string_view), const char* Format>
PyObject* name_only(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    const char* name = nullptr;
    Py_ssize_t name_size = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, Format, name_keywords, &name, &name_size)) return nullptr;
    Outcome<void> outcome;
    Py_BEGIN_ALLOW_THREADS outcome = Operation(std::string_view(name, static_cast<std::size_t>(name_size)));
    Py_END_ALLOW_THREADS return none_or_raise(outcome);
}

constexpr char run_task_format[] = "s#:run_task";
constexpr char delete_task_format[] = "s#:delete_task";

PyObject* task_exists(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    const char* name = nullptr;
    Py_ssize_t name_size = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "s#:task_exists", name_keywords, &name, &name_size)) return nullptr;
    Outcome<bool> outcome;
    Py_BEGIN_ALLOW_THREADS outcome =
        velmora::scheduler::task_exists(std::string_view(name, static_cast<std::size_t>(name_size)));
    Py_END_ALLOW_THREADS if (!outcome) return raise_failure(outcome.error());
    return PyBool_FromLong(*outcome);
}

PyObject* register_xml(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    const char* name = nullptr;
    Py_ssize_t name_size = 0;
    const char* xml = nullptr;
    Py_ssize_t xml_size = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "s#s#:register_xml", register_keywords, &name, &name_size, &xml,
                                     &xml_size))
        return nullptr;
    Outcome<void> outcome;
    Py_BEGIN_ALLOW_THREADS outcome =
        velmora::scheduler::register_xml(std::string_view(name, static_cast<std::size_t>(name_size)),
                                         std::string_view(xml, static_cast<std::size_t>(xml_size)));
    Py_END_ALLOW_THREADS return none_or_raise(outcome);
}

constexpr int flags = METH_VARARGS | METH_KEYWORDS;

PyMethodDef methods[] = {
    {"register_xml", _PyCFunction_CAST(register_xml), flags, nullptr},
    {"delete_task", _PyCFunction_CAST((name_only<velmora::scheduler::delete_task, delete_task_format>)), flags,
     nullptr},
    {"run_task", _PyCFunction_CAST((name_only<velmora::scheduler::run_task, run_task_format>)), flags, nullptr},
    {"task_exists", _PyCFunction_CAST(task_exists), flags, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_bench_classic",
    .m_doc = nullptr,
    .m_size = 0,
    .m_methods = methods,
    .m_slots = slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__bench_classic() { return PyModuleDef_Init(&definition); }
