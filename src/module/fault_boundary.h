#pragma once

#include <Python.h>

#include <string_view>

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
    // Sets a new PanicException for the fault's payload. Never returns on a
    // fault of its own: that aborts the process.
    static void convert(const InternalFault& fault) noexcept;
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

// The object itself when it is not null, otherwise null_object_fault().
inline PyRef expect_object(PyObject* object) {
    if (object == nullptr) {
        null_object_fault();
    }
    return PyRef::steal(object);
}

}  // namespace velmora::module

// Template bodies of run_entry / run_exec follow below (owned by the fault boundary).
