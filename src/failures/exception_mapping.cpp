#include "failures/exception_mapping.h"

#include <Python.h>

#include <cstdint>
#include <string_view>
#include <utility>

#include "module/interned_name.h"
#include "module/python_errors.h"

namespace velmora::failures {
namespace {

using python::expect_interned;
using python::expect_object;
using python::fetch_pending_exception;
using python::InternedName;
using python::PyRef;
using python::restore_fetched_exception;

// Interned once for the process: the import finds the module in sys.modules
// and the lookup finds the class in the module's dict by a hash the name
// already holds and an identity compare, and the attribute cache of the type
// serves only interned names. Still imported and looked up at every failure,
// so that a replaced module or a rebound class takes effect at the next one.
constinit InternedName errors_module{"velmora.errors"};
constinit InternedName permission_class{"TaskPermissionError"};
constinit InternedName scheduler_class{"TaskSchedulerError"};
constexpr std::uint32_t access_denied = 0x80070005;  // E_ACCESSDENIED

PyRef make_text(std::string_view text) {
    return expect_object(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

// Leaves the exception that an interpreter call reported pending again, so
// that Python sees the import's, the lookup's or the call's own exception.
void reraise_pending() { restore_fetched_exception(fetch_pending_exception()); }

}  // namespace

void raise_task_failure(TaskFailure failure) {
    PyRef errors = PyRef::steal(PyImport_Import(expect_interned(errors_module)));
    if (!errors) {
        reraise_pending();
        return;
    }

    const auto code = static_cast<std::uint32_t>(failure.hresult);
    PyRef exception_class = PyRef::steal(
        PyObject_GetAttr(errors.get(), expect_interned(code == access_denied ? permission_class : scheduler_class)));
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
        result = PyRef::steal(
            PyObject_Vectorcall(exception_class.get(), arguments + 1, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
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
