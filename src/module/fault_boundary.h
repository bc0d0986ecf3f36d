#pragma once

#include <Python.h>

#include <string>
#include <string_view>
#include <utility>

#include "failures/internal_fault.h"
#include "module/py_ref.h"

namespace velmora::module {

// The one place where internal faults (velmora::InternalFault) are caught:
// each function that the interpreter calls runs its body through here, so that
// a fault becomes a "pyo3_runtime.PanicException" instead of unwinding into
// the interpreter. A fault that escapes the conversion aborts the process.
class FaultBoundary {
public:
    // Body returns a new reference, or null with an exception set.
    template <class Body>
    static PyObject* run_entry(Body&& body) noexcept;
    // Body returns 0, or -1 with an exception set.
    template <class Body>
    static int run_exec(Body&& body) noexcept;

private:
    // Runs the body; on a fault sets the PanicException and returns `failed`.
    template <class Result, class Body>
    static Result guarded(Body&& body, Result failed) noexcept;

    // Sets a new PanicException for the fault's payload. Never returns on a
    // fault of its own: that aborts the process.
    static void convert(const InternalFault& fault) noexcept;
    // The same for anything else thrown out of a body, from inside its catch
    // handler: heap exhaustion aborts, a standard exception becomes a fault
    // with its what() text, anything else a fault without text.
    static void convert_foreign() noexcept;
};

// The PanicException type (borrowed, lives for the process), created on first use.
PyObject* panic_exception_type();

// Sets a new PanicException for the payload as the pending exception.
void raise_panic_exception(const InternalFault& fault);

// Takes the pending exception (clearing it); an empty PyRef when none is
// pending. A PanicException raised by Python code that the module called does
// not come back: it resumes as an internal fault with the same message.
PyRef fetch_pending_exception();

// The reaction to an interpreter call that returned null where an object must
// come back: reports the pending exception as unraisable, then faults with
// "PyObject pointer is null".
[[noreturn]] void null_object_fault();

// Sets the pending exception to what fetch_pending_exception() returned, or to
// SystemError("attempted to fetch exception but none was set") when empty.
void restore_fetched_exception(PyRef exception) noexcept;

// A one-line rendering of an exception object showing its type, value and
// traceback, for the messages of internal faults. Never fails: a part that
// cannot be rendered is shown by a placeholder.
std::string describe_exception(PyObject* exception) noexcept;

// The object itself when it is not null, otherwise null_object_fault().
inline PyRef expect_object(PyObject* object) {
    if (object == nullptr) {
        null_object_fault();
    }
    return PyRef::steal(object);
}

// A noexcept function cannot let anything unwind into the interpreter: what
// the handlers below do not convert ends in convert_foreign(), which aborts
// when even that fails. The handlers sit outside the body so that only the
// body is inside the catch region.
template <class Result, class Body>
Result FaultBoundary::guarded(Body&& body, Result failed) noexcept {
    try {
        return std::forward<Body>(body)();
    } catch (const InternalFault& fault) {
        convert(fault);
    } catch (...) {
        convert_foreign();
    }
    return failed;
}

template <class Body>
PyObject* FaultBoundary::run_entry(Body&& body) noexcept {
    return guarded<PyObject*>(std::forward<Body>(body), nullptr);
}

template <class Body>
int FaultBoundary::run_exec(Body&& body) noexcept {
    return guarded<int>(std::forward<Body>(body), -1);
}

}  // namespace velmora::module
