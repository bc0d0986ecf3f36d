#include "module/fault_boundary.h"

#include <atomic>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <new>
#include <string>
#include <string_view>

#include "module/interpreter_lock.h"
#include "module/lenient_text.h"
#include "platform/attributes.h"
#include "platform/platform.h"

namespace velmora::module {
namespace {

constexpr const char* panic_type_name = "pyo3_runtime.PanicException";
constexpr const char* panic_type_doc =
    "\n"
    "The exception raised when Rust code called from Python panics.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

constexpr std::string_view untexted_fault_message = "panic from Rust code";
constexpr std::string_view null_object_message = "PyObject pointer is null";
constexpr std::string_view unprintable_panic_message = "Unwrapped panic from Python code";
constexpr std::string_view type_creation_message = "Failed to initialize new exception type.";
constexpr const char* no_exception_message = "attempted to fetch exception but none was set";
constexpr std::string_view resume_header =
    "--- PyO3 is resuming a panic after fetching a PanicException from Python. ---\n";
constexpr std::string_view resume_traceback_header = "Python stack trace below:\n";
constexpr std::string_view uncaught_line = "uncaught panic at ffi boundary\n";
constexpr std::string_view out_of_memory_line = "memory allocation failed\n";

// Filled once and never released: the type is shared by every module object
// and every interpreter of the process.
std::atomic<PyObject*> panic_type_slot{nullptr};
// Serialises the creation of the type. Never waited on with the interpreter
// lock held, so the creating thread can always take the lock back.
std::mutex panic_type_creation;

void write_stderr(std::string_view text) noexcept {
    platform::write_stderr(text.data(), text.size());
}

[[noreturn]] VELMORA_COLD void abort_uncaught() noexcept {
    write_stderr(uncaught_line);
    std::abort();
}

[[noreturn]] VELMORA_COLD void abort_out_of_memory() noexcept {
    write_stderr(out_of_memory_line);
    std::abort();
}

// Drops the pending exception, if any. Used only where composing a message
// fails: that failure must never replace the error being reported.
void discard_pending_exception() noexcept {
    PyRef dropped = PyRef::steal(PyErr_GetRaisedException());
}

std::string repr_or_placeholder(PyObject* object) noexcept {
    if (object == nullptr) return "None";
    PyRef repr = PyRef::steal(PyObject_Repr(object));
    if (!repr) {
        discard_pending_exception();
        return "<unprintable>";
    }
    try {
        return lenient_text(repr.get());
    } catch (const InternalFault&) {
        return "<unprintable>";
    }
}

// The pending exception, or the SystemError that stands for a failure
// reported without one.
PyRef take_pending_or_system_error() {
    PyRef exception = PyRef::steal(PyErr_GetRaisedException());
    if (!exception) {
        PyErr_SetString(PyExc_SystemError, no_exception_message);
        exception = PyRef::steal(PyErr_GetRaisedException());
    }
    return exception;
}

VELMORA_COLD PyObject* create_panic_exception_type() {
    std::unique_lock<std::mutex> creation;
    {
        InterpreterLockRelease released;
        creation = std::unique_lock(panic_type_creation);
        if (panic_type_slot.load(std::memory_order_acquire) != nullptr) {
            creation.unlock();
        }
    }
    if (PyObject* type = panic_type_slot.load(std::memory_order_acquire)) {
        return type;
    }
    PyObject* type = PyErr_NewExceptionWithDoc(panic_type_name, panic_type_doc, PyExc_BaseException, nullptr);
    if (type == nullptr) {
        // The slot is empty, so the pending error cannot be a PanicException
        // and needs no check against the type (which would wait on ourselves).
        PyRef error = take_pending_or_system_error();
        std::string message(type_creation_message);
        message += ": ";
        message += describe_exception(error.get());
        raise_internal_fault(std::move(message));
    }
    panic_type_slot.store(type, std::memory_order_release);
    return type;
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
    raise_internal_fault(std::move(message));
}

}  // namespace

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

PyObject* panic_exception_type() {
    if (PyObject* type = panic_type_slot.load(std::memory_order_acquire)) {
        return type;
    }
    return create_panic_exception_type();
}

void raise_panic_exception(const InternalFault& fault) {
    const std::string_view message = fault.message() ? std::string_view(*fault.message()) : untexted_fault_message;
    PyRef type = PyRef::borrow(panic_exception_type());
    PyRef text = expect_object(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    PyRef arguments = expect_object(PyTuple_New(1));
    PyTuple_SET_ITEM(arguments.get(), 0, text.release());
    PyErr_SetObject(type.get(), arguments.get());
}

PyRef fetch_pending_exception() {
    PyRef exception = PyRef::steal(PyErr_GetRaisedException());
    if (!exception) {
        return exception;
    }
    if (reinterpret_cast<PyObject*>(Py_TYPE(exception.get())) != panic_exception_type()) {
        return exception;
    }
    resume_panic(std::move(exception));
}

void null_object_fault() {
    if (PyRef pending = fetch_pending_exception()) {
        PyErr_SetRaisedException(pending.release());
        PyErr_WriteUnraisable(nullptr);
    }
    raise_internal_fault(std::string(null_object_message));
}

void restore_fetched_exception(PyRef exception) noexcept {
    if (exception) {
        PyErr_SetRaisedException(exception.release());
    } else {
        PyErr_SetString(PyExc_SystemError, no_exception_message);
    }
}

void FaultBoundary::convert(const InternalFault& fault) noexcept {
    try {
        raise_panic_exception(fault);
    } catch (...) {
        abort_uncaught();
    }
}

VELMORA_COLD void FaultBoundary::convert_foreign() noexcept {
    try {
        try {
            throw;
        } catch (const std::bad_alloc&) {
            abort_out_of_memory();
        } catch (const std::exception& error) {
            convert(InternalFault(replace_invalid_utf8(error.what())));
        } catch (...) {
            convert(InternalFault());
        }
    } catch (...) {
        abort_uncaught();
    }
}

}  // namespace velmora::module
