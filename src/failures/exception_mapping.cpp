#include "failures/exception_mapping.h"

#include <Python.h>

#include <cstdint>
#include <string_view>
#include <utility>

#include "module/python_errors.h"

namespace velmora::failures {
namespace {

using module::expect_object;
using module::fetch_pending_exception;
using module::PyRef;
using module::restore_fetched_exception;

constexpr std::string_view errors_module = "velmora.errors";
constexpr std::string_view permission_class = "TaskPermissionError";
constexpr std::string_view scheduler_class = "TaskSchedulerError";
constexpr std::uint32_t access_denied = 0x80070005;  // E_ACCESSDENIED

PyRef make_text(std::string_view text) {
    return expect_object(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

// Leaves the exception that an interpreter call reported pending again, so
// that Python sees the import's, the lookup's or the call's own exception.
void reraise_pending() {
    restore_fetched_exception(fetch_pending_exception());
}

}  // namespace

void raise_task_failure(TaskFailure failure) {
    PyRef errors;
    {
        PyRef name = make_text(errors_module);
        errors = PyRef::steal(PyImport_Import(name.get()));
    }
    if (!errors) {
        reraise_pending();
        return;
    }

    const auto code = static_cast<std::uint32_t>(failure.hresult);
    PyRef exception_class;
    {
        PyRef name = make_text(code == access_denied ? permission_class : scheduler_class);
        exception_class = PyRef::steal(PyObject_GetAttr(errors.get(), name.get()));
    }
    errors = PyRef();
    if (!exception_class) {
        reraise_pending();
        return;
    }

    PyRef result;
    {
        PyRef message = make_text(std::exchange(failure.message, {}));
        PyRef hresult = expect_object(PyLong_FromUnsignedLongLong(code));
        PyRef step = make_text(failure.step);
        // PY_VECTORCALL_ARGUMENTS_OFFSET: the slot in front of the
        // arguments may be overwritten by the callee, which lets it prepend
        // `self` without copying them.
        PyObject* arguments[] = {nullptr, message.get(), hresult.get(), step.get()};
        result = PyRef::steal(PyObject_Vectorcall(exception_class.get(), arguments + 1,
                                                  3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    }
    exception_class = PyRef();
    if (!result) {
        reraise_pending();
        return;
    }

    if (PyExceptionInstance_Check(result.get())) {
        PyErr_SetRaisedException(result.release());
    } else if (PyExceptionClass_Check(result.get())) {
        PyRef none = PyRef::borrow(Py_None);
        PyErr_SetObject(result.get(), none.get());
    } else {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    }
}

}  // namespace velmora::failures
