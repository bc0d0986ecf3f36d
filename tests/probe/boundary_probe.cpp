// _boundary_probe: a test-only extension that runs made-up bodies through the
// fault boundary, for the faults that the module's own code never produces on
// purpose: a payload without text, exceptions of other kinds, heap exhaustion,
// a null object with or without a pending error.

#include <Python.h>

#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "failures/internal_fault.h"
#include "module/fault_boundary.h"
#include "module/py_ref.h"
#include "module/python_errors.h"

namespace {

using velmora::failures::InternalFault;
using velmora::python::FaultBoundary;
using velmora::python::PyRef;

std::string bytes_of(PyObject* object) {
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(object, &data, &size) < 0) {
        velmora::python::null_object_fault();
    }
    return std::string(data, static_cast<std::size_t>(size));
}

// fault(message: str | None): a fault with that message, or without text.
PyObject* fault(PyObject*, PyObject* message) noexcept {
    return FaultBoundary::run_entry([&]() -> PyObject* {
        if (message == Py_None) {
            throw InternalFault();
        }
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(message, &size);
        if (text == nullptr) {
            velmora::python::restore_fetched_exception(velmora::python::fetch_pending_exception());
            return nullptr;
        }
        throw InternalFault(std::string(text, static_cast<std::size_t>(size)));
    });
}

// standard_exception(what: bytes): a std::runtime_error with those bytes.
PyObject* standard_exception(PyObject*, PyObject* what) noexcept {
    return FaultBoundary::run_entry([&]() -> PyObject* { throw std::runtime_error(bytes_of(what)); });
}

PyObject* foreign_exception(PyObject*, PyObject*) noexcept {
    return FaultBoundary::run_entry([]() -> PyObject* { throw 42; });
}

PyObject* out_of_memory(PyObject*, PyObject*) noexcept {
    return FaultBoundary::run_entry([]() -> PyObject* { throw std::bad_alloc(); });
}

// null_object(pending: BaseException | None): an interpreter call returned
// null with that exception pending (or none).
PyObject* null_object(PyObject*, PyObject* pending) noexcept {
    return FaultBoundary::run_entry([&]() -> PyObject* {
        if (pending != Py_None) {
            PyErr_SetRaisedException(Py_NewRef(pending));
        }
        velmora::python::null_object_fault();
    });
}

// fetch(callable): calls it; when it raises, returns what
// fetch_pending_exception() took (the exception object itself).
PyObject* fetch(PyObject*, PyObject* callable) noexcept {
    return FaultBoundary::run_entry([&]() -> PyObject* {
        PyRef result = PyRef::steal(PyObject_CallNoArgs(callable));
        if (result) {
            return result.release();
        }
        PyRef exception = velmora::python::fetch_pending_exception();
        return exception ? exception.release() : Py_NewRef(Py_None);
    });
}

// restore_nothing(): what an interpreter failure without an exception becomes.
PyObject* restore_nothing(PyObject*, PyObject*) noexcept {
    return FaultBoundary::run_entry([]() -> PyObject* {
        velmora::python::restore_fetched_exception(PyRef());
        return nullptr;
    });
}

// describe(exception | None): None stands for "no exception at all".
PyObject* describe(PyObject*, PyObject* exception) noexcept {
    return FaultBoundary::run_entry([&]() -> PyObject* {
        const std::string text = velmora::python::describe_exception(exception == Py_None ? nullptr : exception);
        return velmora::python::expect_object(
                   PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())))
            .release();
    });
}

// The probe is linked with --wrap=PyErr_NewExceptionWithDoc, so the boundary's
// creation of its PanicException type comes here first: a hook set by
// on_type_creation() runs inside the creation, as a finalizer started by the
// collector there would.
PyObject* creation_hook = nullptr;
long type_creations = 0;

extern "C" PyObject* __real_PyErr_NewExceptionWithDoc(const char* name, const char* doc, PyObject* base,
                                                      PyObject* dict);

extern "C" PyObject* __wrap_PyErr_NewExceptionWithDoc(const char* name, const char* doc, PyObject* base,
                                                      PyObject* dict) {
    if (PyRef hook = PyRef::steal(std::exchange(creation_hook, nullptr))) {
        PyRef outcome = PyRef::steal(PyObject_CallNoArgs(hook.get()));
        if (!outcome) {
            PyErr_WriteUnraisable(hook.get());
        } else if (PyExceptionInstance_Check(outcome.get())) {
            PyErr_SetRaisedException(outcome.release());
            return nullptr;
        }
    }
    ++type_creations;
    return __real_PyErr_NewExceptionWithDoc(name, doc, base, dict);
}

// creations() -> int: how often the type has been created so far (failed
// creations left out).
PyObject* creations(PyObject*, PyObject*) noexcept { return PyLong_FromLong(type_creations); }

// on_type_creation(callable): calls it once, during the next creation of the
// type; when it returns an exception, that creation fails with it.
PyObject* on_type_creation(PyObject*, PyObject* hook) noexcept {
    Py_XSETREF(creation_hook, Py_NewRef(hook));
    Py_RETURN_NONE;
}

// An exec function that faults when the module object carries "fail_exec".
int exec_probe(PyObject* module) noexcept {
    return FaultBoundary::run_exec([&]() -> int {
        PyObject* fail = nullptr;
        if (PyObject_GetOptionalAttrString(module, "fail_exec", &fail) < 0) {
            velmora::python::restore_fetched_exception(velmora::python::fetch_pending_exception());
            return -1;
        }
        PyRef owned = PyRef::steal(fail);
        if (owned) {
            throw InternalFault();
        }
        return 0;
    });
}

PyMethodDef methods[] = {
    {"fault", fault, METH_O, nullptr},
    {"standard_exception", standard_exception, METH_O, nullptr},
    {"foreign_exception", foreign_exception, METH_NOARGS, nullptr},
    {"out_of_memory", out_of_memory, METH_NOARGS, nullptr},
    {"null_object", null_object, METH_O, nullptr},
    {"fetch", fetch, METH_O, nullptr},
    {"restore_nothing", restore_nothing, METH_NOARGS, nullptr},
    {"describe", describe, METH_O, nullptr},
    {"on_type_creation", on_type_creation, METH_O, nullptr},
    {"creations", creations, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_probe)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_boundary_probe",
    .m_doc = nullptr,
    .m_size = 0,
    .m_methods = methods,
    .m_slots = slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__boundary_probe() { return PyModuleDef_Init(&definition); }
