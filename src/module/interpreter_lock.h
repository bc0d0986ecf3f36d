#pragma once

#include <Python.h>

namespace velmora::python {

// Releases the interpreter lock for the lifetime of the object and takes it
// back on every way out, a thrown fault included, so that nothing above ever
// runs Python code without the lock.
class InterpreterLockRelease {
public:
    InterpreterLockRelease() noexcept : state_(PyEval_SaveThread()) {}
    ~InterpreterLockRelease() { PyEval_RestoreThread(state_); }
    InterpreterLockRelease(const InterpreterLockRelease&) = delete;
    InterpreterLockRelease& operator=(const InterpreterLockRelease&) = delete;

private:
    PyThreadState* state_;
};

}  // namespace velmora::python
