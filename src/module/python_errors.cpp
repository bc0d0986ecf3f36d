#include "module/python_errors.h"

#include <string>
#include <string_view>
#include <utility>

#include "failures/internal_fault.h"
#include "module/fault_boundary.h"
#include "module/lenient_text.h"
#include "platform/attributes.h"
#include "platform/platform.h"

namespace velmora::python {
namespace {

using failures::throw_internal_fault;

constexpr std::string_view null_object_message = "PyObject pointer is null";
constexpr std::string_view unprintable_panic_message = "Unwrapped panic from Python code";
constexpr const char* no_exception_message = "attempted to fetch exception but none was set";
constexpr std::string_view resume_header =
    "--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n";
constexpr std::string_view resume_traceback_header = "Python stack trace below:\n";

void write_stderr(std::string_view text) noexcept { platform::write_stderr(text.data(), text.size()); }

// Drops the pending exception, if any. Used only where composing a message
// fails: that failure must never replace the error being reported.
void discard_pending_exception() noexcept { PyRef dropped = PyRef::steal(PyErr_GetRaisedException()); }

std::string repr_or_placeholder(PyObject* object) noexcept {
    if (object == nullptr) return "None";
    PyRef repr = PyRef::steal(PyObject_Repr(object));
    if (!repr) {
        discard_pending_exception();
        return "<unprintable>";
    }
    try {
        return lenient_text(repr.get());
    } catch (const failures::InternalFault&) {
        return "<unprintable>";
    }
}

// A PanicException that came back out of Python code: show it where the
// user will see it, then let the fault it stands for go on.
[[noreturn]] VELMORA_COLD void resume_panic(PyRef exception) {
    std::string message;
    if (PyRef text = PyRef::steal(PyObject_Str(exception.get()))) {
        message = lenient_text(text.get());
    } else {
        discard_pending_exception();
        message = unprintable_panic_message;
    }
    write_stderr(resume_header);
    write_stderr(resume_traceback_header);
    PyErr_SetRaisedException(exception.release());
    PyErr_PrintEx(0);
    throw_internal_fault(std::move(message));
}

}  // namespace

PyRef fetch_pending_exception() {
    PyRef exception = PyRef::steal(PyErr_GetRaisedException());
    if (!exception || !is_panic_exception(exception.get())) {
        return exception;
    }
    resume_panic(std::move(exception));
}

void restore_fetched_exception(PyRef exception) noexcept {
    if (exception) {
        PyErr_SetRaisedException(exception.release());
    } else {
        PyErr_SetString(PyExc_SystemError, no_exception_message);
    }
}

void null_object_fault() {
    if (PyRef pending = fetch_pending_exception()) {
        PyErr_SetRaisedException(pending.release());
        PyErr_WriteUnraisable(nullptr);
    }
    throw_internal_fault(std::string(null_object_message));
}

std::string describe_exception(PyObject* exception) noexcept {
    if (exception == nullptr) return "None";
    std::string text = "type ";
    text += repr_or_placeholder(reinterpret_cast<PyObject*>(Py_TYPE(exception)));
    text += ", value ";
    text += repr_or_placeholder(exception);
    text += ", traceback ";
    PyRef traceback = PyRef::steal(PyException_GetTraceback(exception));
    text += repr_or_placeholder(traceback.get());
    return text;
}

}  // namespace velmora::python
