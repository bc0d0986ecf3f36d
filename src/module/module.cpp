#include <Python.h>

#if defined(VELMORA_DEBUG_INTERPRETER) && !defined(Py_DEBUG)
#error "built for a debug interpreter, but with a pyconfig.h that does not define Py_DEBUG"
#endif

#include <array>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "failures/exception_mapping.h"
#include "failures/task_failure.h"
#include "module/arguments.h"
#include "module/fault_boundary.h"
#include "module/interpreter_lock.h"
#include "module/py_ref.h"
#include "scheduler/operations.h"

namespace velmora::module {
namespace {

constexpr std::string_view task_name_parameter = "task_name";
constexpr std::string_view xml_data_parameter = "xml_data";
constexpr std::string_view append_fault_message = "could not append __name__ to __all__";

constexpr std::array<std::string_view, 1> task_name_only = {task_name_parameter};
constexpr std::array<std::string_view, 2> task_name_and_xml = {task_name_parameter, xml_data_parameter};

constexpr ParameterSpec task_name_spec(std::string_view function_name) {
    return ParameterSpec{
        .function_name = function_name,
        .class_name = std::nullopt,
        .positional = task_name_only,
        .positional_only = 0,
        .required_positional = 1,
        .keyword_only = {},
    };
}

constexpr ParameterSpec run_task_parameters = task_name_spec("run_task");
constexpr ParameterSpec delete_task_parameters = task_name_spec("delete_task");
constexpr ParameterSpec task_exists_parameters = task_name_spec("task_exists");
constexpr ParameterSpec register_xml_parameters{
    .function_name = "register_xml",
    .class_name = std::nullopt,
    .positional = task_name_and_xml,
    .positional_only = 0,
    .required_positional = 2,
    .keyword_only = {},
};
static_assert(is_valid(run_task_parameters) && is_valid(delete_task_parameters) &&
              is_valid(task_exists_parameters) && is_valid(register_xml_parameters));

// Names looked up on every module object, made once per process.
PyObject* interned(const char* text) {
    PyObject* name = expect_object(PyUnicode_FromString(text)).release();
    PyUnicode_InternInPlace(&name);
    return name;
}

PyObject* all_name() {
    static PyObject* const name = interned("__all__");
    return name;
}

PyObject* name_name() {
    static PyObject* const name = interned("__name__");
    return name;
}

// The result of an operation as Python sees it, or the package's exception.
PyObject* to_result(scheduler::Outcome<void> outcome) {
    if (!outcome) {
        failures::raise_task_failure(std::move(outcome.error()));
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* to_result(scheduler::Outcome<bool> outcome) {
    if (!outcome) {
        failures::raise_task_failure(std::move(outcome.error()));
        return nullptr;
    }
    return PyBool_FromLong(*outcome);
}

// Runs a scheduler operation with the interpreter lock released; the lock is
// back when this returns or throws.
template <class Operation>
auto without_interpreter_lock(Operation&& operation) {
    InterpreterLockRelease released;
    return std::forward<Operation>(operation)();
}

std::optional<std::string_view> read_text_parameter(PyObject* object, std::string_view parameter) {
    std::optional<std::string_view> text = read_text_argument(object);
    if (!text) {
        add_parameter_note(parameter);
    }
    return text;
}

// Entry functions: bind and convert under the lock, run the operation
// without it. The text stays borrowed from the argument objects, which the
// caller keeps alive for the whole call.

PyObject* run_task_impl(std::string_view task_name) {
    return to_result(without_interpreter_lock([&] { return scheduler::run_task(task_name); }));
}

PyObject* delete_task_impl(std::string_view task_name) {
    return to_result(without_interpreter_lock([&] { return scheduler::delete_task(task_name); }));
}

PyObject* task_exists_impl(std::string_view task_name) {
    return to_result(without_interpreter_lock([&] { return scheduler::task_exists(task_name); }));
}

PyObject* register_xml_impl(std::string_view task_name, std::string_view xml_data) {
    return to_result(without_interpreter_lock([&] { return scheduler::register_xml(task_name, xml_data); }));
}

template <PyObject* (*Impl)(std::string_view), const ParameterSpec& Parameters>
PyObject* task_name_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return FaultBoundary::run_entry([&]() -> PyObject* {
        std::array<PyObject*, 1> slots{};
        if (!bind_arguments(Parameters, args, nargs, kwnames, slots)) {
            return nullptr;
        }
        const std::optional<std::string_view> task_name = read_text_parameter(slots[0], task_name_parameter);
        if (!task_name) {
            return nullptr;
        }
        return Impl(*task_name);
    });
}

PyObject* register_xml_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return FaultBoundary::run_entry([&]() -> PyObject* {
        std::array<PyObject*, 2> slots{};
        if (!bind_arguments(register_xml_parameters, args, nargs, kwnames, slots)) {
            return nullptr;
        }
        const std::optional<std::string_view> task_name = read_text_parameter(slots[0], task_name_parameter);
        if (!task_name) {
            return nullptr;
        }
        const std::optional<std::string_view> xml_data = read_text_parameter(slots[1], xml_data_parameter);
        if (!xml_data) {
            return nullptr;
        }
        return register_xml_impl(*task_name, *xml_data);
    });
}

constexpr int entry_flags = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;

// The module and its function objects point at these records, so they live
// for the process and are never copied.
PyMethodDef methods[] = {
    {"register_xml", _PyCFunction_CAST(register_xml_entry), entry_flags, "register_xml(task_name, xml_data)\n--\n\n"},
    {"delete_task", _PyCFunction_CAST((task_name_entry<delete_task_impl, delete_task_parameters>)), entry_flags,
     "delete_task(task_name)\n--\n\n"},
    {"run_task", _PyCFunction_CAST((task_name_entry<run_task_impl, run_task_parameters>)), entry_flags,
     "run_task(task_name)\n--\n\n"},
    {"task_exists", _PyCFunction_CAST((task_name_entry<task_exists_impl, task_exists_parameters>)), entry_flags,
     "task_exists(task_name)\n--\n\n"},
};

// Ends the exec with the exception that the failed interpreter call left.
int fail_with_pending() {
    restore_fetched_exception(fetch_pending_exception());
    return -1;
}

[[noreturn]] void append_fault() {
    PyRef error = fetch_pending_exception();
    std::string message(append_fault_message);
    message += ": ";
    message += describe_exception(error.get());
    raise_internal_fault(std::move(message));
}

// The module's __all__, created empty when the module has none yet.
PyRef module_all_list(PyObject* module) {
    PyRef all = PyRef::steal(PyObject_GetAttr(module, all_name()));
    if (all) {
        if (!PyList_Check(all.get())) {
            raise_type_mismatch(all.get(), &PyList_Type);
            return PyRef();
        }
        return all;
    }
    PyRef error = fetch_pending_exception();
    if (!error || !PyErr_GivenExceptionMatches(error.get(), PyExc_AttributeError)) {
        restore_fetched_exception(std::move(error));
        return PyRef();
    }
    error = PyRef();
    all = expect_object(PyList_New(0));
    if (PyObject_SetAttr(module, all_name(), all.get()) < 0) {
        fail_with_pending();
        return PyRef();
    }
    return all;
}

int add_function(PyObject* module, PyMethodDef& method) {
    PyRef function;
    {
        PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
        if (!module_name) {
            return fail_with_pending();
        }
        function = PyRef::steal(PyCMethod_New(&method, module, module_name.get(), nullptr));
    }
    if (!function) {
        return fail_with_pending();
    }
    PyRef name = PyRef::steal(PyObject_GetAttr(function.get(), name_name()));
    if (!name) {
        return fail_with_pending();
    }
    if (!PyUnicode_Check(name.get())) {
        raise_type_mismatch(name.get(), &PyUnicode_Type);
        return -1;
    }
    PyRef all = module_all_list(module);
    if (!all) {
        return -1;
    }
    if (PyList_Append(all.get(), name.get()) < 0) {
        append_fault();
    }
    if (PyObject_SetAttr(module, name.get(), function.get()) < 0) {
        return fail_with_pending();
    }
    return 0;
}

int init_module_functions(PyObject* module) noexcept {
    return FaultBoundary::run_exec([&]() -> int {
        if (module == nullptr) {
            return fail_with_pending();
        }
        if (!PyModule_Check(module)) {
            raise_type_mismatch(module, &PyModule_Type);
            return -1;
        }
        for (PyMethodDef& method : methods) {
            if (add_function(module, method) < 0) {
                return -1;
            }
        }
        return 0;
    });
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(init_module_functions)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_velmora_backend",
    .m_doc = "",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace
}  // namespace velmora::module

PyMODINIT_FUNC PyInit__velmora_backend() {
    return PyModuleDef_Init(&velmora::module::definition);
}
