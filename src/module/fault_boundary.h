#pragma once

#include <Python.h>

#include <utility>

#include "failures/internal_fault.h"

namespace velmora::python {

// The one place where internal faults (failures::InternalFault) are caught:
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
    static void convert(const failures::InternalFault& fault) noexcept;
    // The same for anything else thrown out of a body, from inside its catch
    // handler: heap exhaustion aborts, a standard exception becomes a fault
    // with its what() text, anything else a fault without text.
    static void convert_foreign() noexcept;
};

// The PanicException type (borrowed, lives for the process), created on first
// use; throws an internal fault when it cannot be created.
PyObject* panic_exception_type();

// Whether the exception's type is exactly the PanicException type.
bool is_panic_exception(PyObject* exception);

// Sets a new PanicException for the payload as the pending exception.
void raise_panic_exception(const failures::InternalFault& fault);

// A noexcept function cannot let anything unwind into the interpreter: what
// the handlers below do not convert ends in convert_foreign(), which aborts
// when even that fails. The handlers sit outside the body so that only the
// body is inside the catch region.
template <class Result, class Body>
Result FaultBoundary::guarded(Body&& body, Result failed) noexcept {
    try {
        return std::forward<Body>(body)();
    } catch (const failures::InternalFault& fault) {
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

}  // namespace velmora::python
