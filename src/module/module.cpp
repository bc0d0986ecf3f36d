#include <Python.h>

#if defined(VELMORA_DEBUG_INTERPRETER) && !defined(Py_DEBUG)
#error "built for a debug interpreter, but with a pyconfig.h that does not define Py_DEBUG"
#endif

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "failures/exception_mapping.h"
#include "module/arguments.h"
#include "module/fault_boundary.h"
#include "module/interned_name.h"
#include "module/interpreter_lock.h"
#include "module/py_ref.h"
#include "module/python_errors.h"
#include "platform/attributes.h"
#include "scheduler/operations.h"

namespace velmora::python {
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
static_assert(is_valid(run_task_parameters) && is_valid(delete_task_parameters) && is_valid(task_exists_parameters) &&
              is_valid(register_xml_parameters));

// Names looked up on every module object.
constinit InternedName all_name{"__all__"};
constinit InternedName name_name{"__name__"};

// The result of an operation as Python sees it (None, or True/False), or the
// package's exception.
template <class T>
PyObject* to_result(scheduler::Outcome<T> outcome) {
    if (!outcome) [[unlikely]] {
        failures::raise_task_failure(std::move(outcome.error()));
        return nullptr;
    }
    if constexpr (std::is_void_v<T>) {
        Py_RETURN_NONE;
    } else {
        return PyBool_FromLong(*outcome);
    }
}

// Runs a scheduler operation with the interpreter lock released; the lock is
// back when this returns or throws.
template <class Operation>
auto without_interpreter_lock(Operation&& operation) {
    InterpreterLockRelease released;
    return std::forward<Operation>(operation)();
}

// Reads the text of the argument bound to parameter `Index`; on failure the
// exception is noted with the parameter's name.
template <const ParameterSpec& Parameters, std::size_t Index>
bool read_text_parameter(PyObject* object, std::string_view& text) {
    const std::optional<std::string_view> read = read_text_argument(object);
    if (!read) [[unlikely]] {
        add_parameter_note(Parameters.positional[Index]);
        return false;
    }
    text = *read;
    return true;
}

// The entry functions are the only code of ours on the path of a successful
// call: binding and conversion are inlined into them. Each starts on a cache
// line (VELMORA_ENTRY_ALIGNED), so that how its path falls into lines, and
// into the processor's windows of decoded instructions, stays the same
// whenever code elsewhere in the library grows or shrinks: the same
// instructions placed otherwise took 20 ns a call more.
//
// The entry function of an operation whose parameters are all text: binds and
// converts under the lock, runs the operation without it. The text stays
// borrowed from the argument objects, which the caller keeps alive for the
// whole call. The parameters are read one by one over an index pack, so that
// each read sees its index as a constant and the reads come out as straight
// code, the parameter's name in the failure branch only.
template <auto Operation, const ParameterSpec& Parameters>
VELMORA_ENTRY_ALIGNED PyObject* text_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                           PyObject* kwnames) noexcept {
    return FaultBoundary::run_entry([&]() -> PyObject* {
        return [&]<std::size_t... Index>(std::index_sequence<Index...>) -> PyObject* {
            // NOLINTNEXTLINE(cppcoreguidelines-pro-type-member-init): bind_arguments() fills every slot
            std::array<PyObject*, sizeof...(Index)> bound;
            if (!bind_arguments(Parameters, args, nargs, kwnames, bound)) {
                return nullptr;
            }
            std::array<std::string_view, sizeof...(Index)> texts;
            if (!(read_text_parameter<Parameters, Index>(bound[Index], texts[Index]) && ...)) {
                return nullptr;
            }
            return to_result(without_interpreter_lock([&] { return Operation(texts[Index]...); }));
        }(std::make_index_sequence<Parameters.positional.size()>{});
    });
}

// The method doc: the text signature, "(a, b)", and the interpreter's
// end-of-signature marker, so that Python shows the signature and no doc.
template <const ParameterSpec& Parameters>
struct TextSignature {
    static_assert(Parameters.positional_only == 0 && Parameters.keyword_only.empty(),
                  "the signature text is written for plain positional-or-keyword parameters");
    static constexpr std::string_view end_marker = ")\n--\n\n";

    static consteval std::size_t length() {
        std::size_t size = Parameters.function_name.size() + 1 + end_marker.size();
        for (std::size_t i = 0; i < Parameters.positional.size(); ++i) {
            size += (i == 0 ? 0 : 2) + Parameters.positional[i].size();
        }
        return size;
    }

    static consteval std::array<char, length() + 1> make() {
        std::array<char, length() + 1> signature{};
        std::size_t at = 0;
        const auto append = [&](std::string_view part) {
            for (char c : part) signature[at++] = c;
        };
        append(Parameters.function_name);
        append("(");
        for (std::size_t i = 0; i < Parameters.positional.size(); ++i) {
            if (i > 0) append(", ");
            append(Parameters.positional[i]);
        }
        append(end_marker);
        return signature;
    }

    static constexpr std::array<char, length() + 1> text = make();
    static_assert(text[length() - 1] == end_marker.back(), "the signature text fills its array exactly");
};

constexpr int entry_flags = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;

// The parts of one method record, each a constant. ml_name is read as a C
// string: the name must end where the literal does.
template <auto Operation, const ParameterSpec& Parameters>
struct Method {
    static_assert(Parameters.function_name.data()[Parameters.function_name.size()] == '\0');
    static constexpr const char* name = Parameters.function_name.data();
    static constexpr auto entry = text_entry<Operation, Parameters>;
    static constexpr const char* doc = TextSignature<Parameters>::text.data();
};

using RegisterXml = Method<scheduler::register_xml, register_xml_parameters>;
using DeleteTask = Method<scheduler::delete_task, delete_task_parameters>;
using RunTask = Method<scheduler::run_task, run_task_parameters>;
using TaskExists = Method<scheduler::task_exists, task_exists_parameters>;

// The module and its function objects point at these records, so they live
// for the process and are never copied. A literal aggregate of addresses and
// constants, laid out when the module is built: nothing runs when the library
// is loaded.
PyMethodDef methods[] = {
    {RegisterXml::name, _PyCFunction_CAST(RegisterXml::entry), entry_flags, RegisterXml::doc},
    {DeleteTask::name, _PyCFunction_CAST(DeleteTask::entry), entry_flags, DeleteTask::doc},
    {RunTask::name, _PyCFunction_CAST(RunTask::entry), entry_flags, RunTask::doc},
    {TaskExists::name, _PyCFunction_CAST(TaskExists::entry), entry_flags, TaskExists::doc},
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
    failures::throw_internal_fault(std::move(message));
}

// The module's __all__, created empty when the module has none yet.
PyRef module_all_list(PyObject* module_object) {
    PyRef all = PyRef::steal(PyObject_GetAttr(module_object, expect_interned(all_name)));
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
    if (PyObject_SetAttr(module_object, expect_interned(all_name), all.get()) < 0) {
        fail_with_pending();
        return PyRef();
    }
    return all;
}

int add_function(PyObject* module_object, PyMethodDef& method) {
    PyRef function;
    {
        PyRef module_name = PyRef::steal(PyModule_GetNameObject(module_object));
        if (!module_name) {
            return fail_with_pending();
        }
        function = PyRef::steal(PyCMethod_New(&method, module_object, module_name.get(), nullptr));
    }
    if (!function) {
        return fail_with_pending();
    }
    PyRef name = PyRef::steal(PyObject_GetAttr(function.get(), expect_interned(name_name)));
    if (!name) {
        return fail_with_pending();
    }
    if (!PyUnicode_Check(name.get())) {
        raise_type_mismatch(name.get(), &PyUnicode_Type);
        return -1;
    }
    PyRef all = module_all_list(module_object);
    if (!all) {
        return -1;
    }
    if (PyList_Append(all.get(), name.get()) < 0) {
        append_fault();
    }
    if (PyObject_SetAttr(module_object, name.get(), function.get()) < 0) {
        return fail_with_pending();
    }
    return 0;
}

int init_module_functions(PyObject* module_object) noexcept {
    return FaultBoundary::run_exec([&]() -> int {
        if (module_object == nullptr) {
            return fail_with_pending();
        }
        if (!PyModule_Check(module_object)) {
            raise_type_mismatch(module_object, &PyModule_Type);
            return -1;
        }
        for (PyMethodDef& method : methods) {
            if (add_function(module_object, method) < 0) {
                return -1;
            }
        }
        return 0;
    });
}

PyModuleDef_Slot module_slots[] = {
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
    .m_slots = module_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace
}  // namespace velmora::python

// The name the import system looks for: PyInit_ and the module's name.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
PyMODINIT_FUNC PyInit__velmora_backend() { return PyModuleDef_Init(&velmora::python::definition); }
