#pragma once

#include <Python.h>

#include <string>

#include "module/interned_name.h"
#include "module/py_ref.h"

// Working with the interpreter's pending exception. Every place that gets a
// failure back from an interpreter call goes through these, so that a
// PanicException coming back out of Python code is never mistaken for an
// ordinary error.
namespace velmora::python {

// Takes the pending exception (clearing it); an empty PyRef when none is
// pending. A PanicException raised by Python code that the module called does
// not come back: it resumes as an internal fault with the same message.
PyRef fetch_pending_exception();

// Sets the pending exception to what fetch_pending_exception() returned, or to
// SystemError("attempted to fetch exception but none was set") when empty.
void restore_fetched_exception(PyRef exception) noexcept;

// The reaction to an interpreter call that returned null where an object must
// come back: reports the pending exception as unraisable, then throws the
// internal fault "PyObject pointer is null".
[[noreturn]] void null_object_fault();

// The object itself when it is not null, otherwise null_object_fault().
inline PyRef expect_object(PyObject* object) {
    if (object == nullptr) {
        null_object_fault();
    }
    return PyRef::steal(object);
}

// The name's str (borrowed, lives for the process) when it can be made,
// otherwise null_object_fault().
inline PyObject* expect_interned(InternedName& name) {
    PyObject* object = name.get();
    if (object == nullptr) {
        null_object_fault();
    }
    return object;
}

// A one-line rendering of an exception object showing its type, value and
// traceback, for the messages of internal faults. Never fails: a part that
// cannot be rendered is shown by a placeholder.
std::string describe_exception(PyObject* exception) noexcept;

}  // namespace velmora::python
