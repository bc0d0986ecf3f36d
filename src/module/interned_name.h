#pragma once

#include <Python.h>

#include <atomic>

namespace velmora::python {

// A str made once per process for a name that the module looks up often.
// Never waits: threads that meet an empty slot each intern the text, the
// first to store wins and the others drop theirs (interning maps equal texts
// of one interpreter to one object, so they are the same object anyway).
// The slot's reference is never released.
// NOLINTNEXTLINE(cppcoreguidelines-special-member-functions): copies deleted, moves with them; no destructor
class InternedName {
public:
    explicit constexpr InternedName(const char* text) noexcept : text_(text) {}
    InternedName(const InternedName&) = delete;
    InternedName& operator=(const InternedName&) = delete;

    // The str (borrowed, lives for the process), or null with an exception set.
    PyObject* get() noexcept {
        if (PyObject* name = slot_.load(std::memory_order_acquire)) {
            return name;
        }
        PyObject* name = PyUnicode_InternFromString(text_);
        if (name == nullptr) {
            return nullptr;
        }
        PyObject* stored = nullptr;
        if (!slot_.compare_exchange_strong(stored, name, std::memory_order_acq_rel, std::memory_order_acquire)) {
            Py_DECREF(name);
            return stored;
        }
        return name;
    }

private:
    const char* text_;
    std::atomic<PyObject*> slot_{nullptr};
};

}  // namespace velmora::python
