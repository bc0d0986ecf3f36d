#include "module/fault_boundary.h"

#include <atomic>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <new>
#include <string>
#include <string_view>

#include "module/py_ref.h"
#include "module/python_errors.h"
#include "platform/attributes.h"
#include "platform/platform.h"
#include "platform/text.h"

namespace velmora::python {
namespace {

using failures::InternalFault;
using failures::throw_internal_fault;

constexpr const char* panic_type_name = "pyo3_runtime.PanicException";
constexpr const char* panic_type_doc =
    "\n"
    "The exception raised when Rust code called from Python panics.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";

constexpr std::string_view untexted_fault_message = "panic from Rust code";
constexpr std::string_view type_creation_message = "Failed to initialize new exception type.";
constexpr std::string_view uncaught_line = "uncaught panic at ffi boundary\n";
constexpr std::string_view out_of_memory_line = "memory allocation failed\n";

// Filled once and never released: the type is shared by every module object
// and every interpreter of the process.
constinit std::atomic<PyObject*> panic_type_slot{nullptr};

// Serialises the creation of the type between threads. A PyMutex is all
// zeroes when unlocked, so it needs no code when the library is loaded or
// unloaded, and a thread that waits for it lets go of the interpreter while it
// waits (PyMutex_Lock), so the creating thread can always take the lock back.
struct CreationMutex {
    void lock() noexcept { PyMutex_Lock(&mutex); }
    void unlock() noexcept { PyMutex_Unlock(&mutex); }
    PyMutex mutex;
};
constinit CreationMutex panic_type_creation{};
// Set while this thread creates the type. Interpreter code that the creation
// runs (a finalizer started by the collector, say) can come back here; it must
// not wait for the mutex that this thread already holds.
constinit thread_local bool creating_on_this_thread = false;

class CreationMark {
public:
    CreationMark() noexcept : outer_(std::exchange(creating_on_this_thread, true)) {}
    ~CreationMark() { creating_on_this_thread = outer_; }
    CreationMark(const CreationMark&) = delete;
    CreationMark& operator=(const CreationMark&) = delete;

private:
    bool outer_;
};

void write_stderr(std::string_view text) noexcept { platform::write_stderr(text.data(), text.size()); }

[[noreturn]] VELMORA_COLD void abort_uncaught() noexcept {
    write_stderr(uncaught_line);
    std::abort();
}

[[noreturn]] VELMORA_COLD void abort_out_of_memory() noexcept {
    write_stderr(out_of_memory_line);
    std::abort();
}

// The pending exception, or the SystemError that stands for a failure
// reported without one.
PyRef take_pending_or_system_error() {
    if (PyRef exception = fetch_pending_exception()) {
        return exception;
    }
    restore_fetched_exception(PyRef());
    return PyRef::steal(PyErr_GetRaisedException());
}

VELMORA_COLD PyObject* create_panic_exception_type() {
    std::unique_lock<CreationMutex> creation;
    if (!creating_on_this_thread) {
        creation = std::unique_lock(panic_type_creation);
        if (panic_type_slot.load(std::memory_order_acquire) != nullptr) {
            creation.unlock();
        }
    }
    if (PyObject* type = panic_type_slot.load(std::memory_order_acquire)) {
        return type;
    }
    const CreationMark mark;
    PyObject* type = PyErr_NewExceptionWithDoc(panic_type_name, panic_type_doc, PyExc_BaseException, nullptr);
    if (PyObject* made = panic_type_slot.load(std::memory_order_acquire)) {
        // Code run by the creation needed the type and made it on this
        // thread first: the slot is never replaced, so that one stays.
        if (type == nullptr) {
            PyRef dropped = take_pending_or_system_error();
        }
        Py_XDECREF(type);
        return made;
    }
    if (type == nullptr) {
        PyRef error = take_pending_or_system_error();
        std::string message(type_creation_message);
        message += ": ";
        message += describe_exception(error.get());
        throw_internal_fault(std::move(message));
    }
    panic_type_slot.store(type, std::memory_order_release);
    return type;
}

}  // namespace

PyObject* panic_exception_type() {
    if (PyObject* type = panic_type_slot.load(std::memory_order_acquire)) {
        return type;
    }
    return create_panic_exception_type();
}

bool is_panic_exception(PyObject* exception) {
    PyObject* type = panic_type_slot.load(std::memory_order_acquire);
    if (type == nullptr) {
        // While this thread creates the type, nothing can be an instance of it.
        if (creating_on_this_thread) {
            return false;
        }
        type = panic_exception_type();
    }
    return reinterpret_cast<PyObject*>(Py_TYPE(exception)) == type;
}

void raise_panic_exception(const InternalFault& fault) {
    const std::string_view message = fault.message() ? std::string_view(*fault.message()) : untexted_fault_message;
    PyRef type = PyRef::borrow(panic_exception_type());
    PyRef text = expect_object(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    PyRef arguments = expect_object(PyTuple_New(1));
    PyTuple_SET_ITEM(arguments.get(), 0, text.release());
    PyErr_SetObject(type.get(), arguments.get());
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
            convert(InternalFault(platform::replace_invalid_utf8(error.what())));
        } catch (...) {
            convert(InternalFault());
        }
    } catch (...) {
        abort_uncaught();
    }
}

}  // namespace velmora::python
