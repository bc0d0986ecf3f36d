// _text_probe: a test-only extension that exposes the module's text helpers
// (UTF-8 to UTF-16 and back, trimming, the HRESULT text, BSTR making) to
// property tests that hold them against the interpreter's own codecs.
// UTF-16 travels as bytes in the machine's order (little-endian here), so
// that lone surrogates pass unchanged in both directions.

#include <Python.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "failures/failure_record.h"
#include "failures/internal_fault.h"
#include "platform/text.h"
#include "scheduler/session.h"

namespace {

using velmora::platform::Utf16;
using velmora::platform::Utf16View;

std::optional<std::string_view> bytes_view(PyObject* object) {
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(object, &data, &size) < 0) return std::nullopt;
    return std::string_view(data, static_cast<std::size_t>(size));
}

std::optional<Utf16> units_of(PyObject* object) {
    auto bytes = bytes_view(object);
    if (!bytes) return std::nullopt;
    if (bytes->size() % 2 != 0) {
        PyErr_SetString(PyExc_ValueError, "UTF-16 text must have an even number of bytes");
        return std::nullopt;
    }
    Utf16 units(bytes->size() / 2, 0);
    std::memcpy(units.data(), bytes->data(), bytes->size());
    return units;
}

PyObject* bytes_of(Utf16View units) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(units.data()),
                                     static_cast<Py_ssize_t>(units.size() * sizeof(units[0])));
}

// The helpers allocate; running out of memory here is the test's problem.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (const velmora::failures::InternalFault& fault) {
        PyErr_SetString(PyExc_RuntimeError, fault.message().value_or("internal fault").c_str());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unexpected C++ exception");
    }
    return nullptr;
}

// to_utf16(utf8: bytes) -> bytes
PyObject* to_utf16(PyObject*, PyObject* arg) noexcept {
    return guarded([&]() -> PyObject* {
        auto text = bytes_view(arg);
        if (!text) return nullptr;
        return bytes_of(velmora::platform::to_utf16(*text));
    });
}

// to_utf8(utf16: bytes) -> bytes
PyObject* to_utf8(PyObject*, PyObject* arg) noexcept {
    return guarded([&]() -> PyObject* {
        auto units = units_of(arg);
        if (!units) return nullptr;
        const std::string text = velmora::platform::to_utf8(*units);
        return PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    });
}

// trim_end(utf16: bytes) -> bytes
PyObject* trim_end(PyObject*, PyObject* arg) noexcept {
    return guarded([&]() -> PyObject* {
        auto units = units_of(arg);
        if (!units) return nullptr;
        return bytes_of(velmora::platform::trim_end(*units));
    });
}

// format_hresult(code: int) -> str; the code as signed or unsigned 32-bit.
PyObject* format_hresult(PyObject*, PyObject* arg) noexcept {
    return guarded([&]() -> PyObject* {
        const long long code = PyLong_AsLongLong(arg);
        if (code == -1 && PyErr_Occurred()) return nullptr;
        if (code < INT32_MIN || code > UINT32_MAX) {
            PyErr_SetString(PyExc_OverflowError, "code out of 32-bit range");
            return nullptr;
        }
        const std::string text =
            velmora::platform::format_hresult(static_cast<HRESULT>(static_cast<std::uint32_t>(code)));
        return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    });
}

// to_bstr(utf8: bytes) -> bytes | None: the units of the BSTR made for the
// text (freed again), None for a null BSTR.
PyObject* to_bstr(PyObject*, PyObject* arg) noexcept {
    return guarded([&]() -> PyObject* {
        auto text = bytes_view(arg);
        if (!text) return nullptr;
        const velmora::platform::Bstr bstr = velmora::scheduler::to_bstr(*text);
        if (!bstr) Py_RETURN_NONE;
        return bytes_of(bstr.view());
    });
}

PyMethodDef methods[] = {
    {"to_utf16", to_utf16, METH_O, nullptr}, {"to_utf8", to_utf8, METH_O, nullptr},
    {"trim_end", trim_end, METH_O, nullptr}, {"format_hresult", format_hresult, METH_O, nullptr},
    {"to_bstr", to_bstr, METH_O, nullptr},   {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_text_probe",
    .m_doc = nullptr,
    .m_size = 0,
    .m_methods = methods,
    .m_slots = slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__text_probe() { return PyModuleDef_Init(&definition); }
