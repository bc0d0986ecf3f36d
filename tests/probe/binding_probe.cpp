// _binding_probe: a test-only extension that drives the argument binder with
// parameter descriptions and argument vectors made up by the tests, including
// the shapes (positional-only, keyword-only, class names, duplicate or
// non-str keyword names) that none of the module's own functions can produce.

#include <Python.h>

#include <cstddef>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "module/arguments.h"

namespace {

// The compile-time check of parameter descriptions refuses each fault it is
// there for.
using velmora::python::is_valid;
using velmora::python::KeywordOnlyParameter;
using velmora::python::ParameterSpec;
constexpr std::string_view checked_ab[] = {"a", "b"};
constexpr std::string_view checked_aa[] = {"x", "a", "a"};
constexpr std::string_view checked_unnamed[] = {"a", ""};
constexpr KeywordOnlyParameter checked_kw_a[] = {{"a", true}};
constexpr KeywordOnlyParameter checked_kw_c[] = {{"c", true}};
constexpr ParameterSpec checked(std::span<const std::string_view> positional, std::size_t positional_only,
                                std::size_t required, std::span<const KeywordOnlyParameter> keyword_only = {}) {
    return {"f", std::nullopt, positional, positional_only, required, keyword_only};
}
static_assert(is_valid(checked(checked_ab, 2, 2, checked_kw_c)));
static_assert(!is_valid(checked(checked_ab, 0, 3)), "more required than positional");
static_assert(!is_valid(checked(checked_ab, 3, 0)), "more positional-only than positional");
static_assert(!is_valid(checked(checked_aa, 0, 0)), "a name twice");
static_assert(!is_valid(checked(checked_unnamed, 0, 0)), "an empty name");
static_assert(!is_valid(checked(checked_ab, 0, 0, checked_kw_a)), "a keyword-only name that is positional too");

}  // namespace
#include "module/fault_boundary.h"
#include "module/interned_name.h"
#include "module/lenient_text.h"
#include "module/py_ref.h"
#include "module/python_errors.h"
#include "platform/text.h"

namespace {

using velmora::python::FaultBoundary;
using velmora::python::KeywordOnlyParameter;
using velmora::python::ParameterSpec;
using velmora::python::PyRef;

// Owns the texts that a ParameterSpec views.
struct ProbeSpec {
    std::deque<std::string> texts;
    std::vector<std::string_view> positional;
    std::vector<KeywordOnlyParameter> keyword_only;
    ParameterSpec params{};
};

std::optional<std::string_view> utf8_of(PyObject* object) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(object, &size);
    if (data == nullptr) {
        return std::nullopt;
    }
    return std::string_view(data, static_cast<std::size_t>(size));
}

// (function_name, class_name | None, positional names, positional_only,
//  required_positional, ((name, required), ...))
bool parse_spec(PyObject* description, ProbeSpec& out) {
    PyObject *function_name = nullptr, *class_name = nullptr, *positional = nullptr, *keyword_only = nullptr;
    Py_ssize_t positional_only = 0, required = 0;
    if (!PyArg_ParseTuple(description, "UOO!nnO!", &function_name, &class_name, &PyTuple_Type, &positional,
                          &positional_only, &required, &PyTuple_Type, &keyword_only)) {
        return false;
    }
    const auto keep = [&](PyObject* text) -> std::optional<std::string_view> {
        const auto utf8 = utf8_of(text);
        if (!utf8) {
            return std::nullopt;
        }
        return out.texts.emplace_back(*utf8);
    };
    const auto function = keep(function_name);
    if (!function) {
        return false;
    }
    out.params.function_name = *function;
    if (class_name != Py_None) {
        const auto text = keep(class_name);
        if (!text) {
            return false;
        }
        out.params.class_name = *text;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(positional); ++i) {
        const auto text = keep(PyTuple_GET_ITEM(positional, i));
        if (!text) {
            return false;
        }
        out.positional.push_back(*text);
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(keyword_only); ++i) {
        PyObject* name = nullptr;
        int is_required = 0;
        if (!PyArg_ParseTuple(PyTuple_GET_ITEM(keyword_only, i), "Up", &name, &is_required)) {
            return false;
        }
        const auto text = keep(name);
        if (!text) {
            return false;
        }
        out.keyword_only.push_back({*text, is_required != 0});
    }
    out.params.positional = out.positional;
    out.params.keyword_only = out.keyword_only;
    out.params.positional_only = static_cast<std::size_t>(positional_only);
    out.params.required_positional = static_cast<std::size_t>(required);
    return true;
}

// The probe is linked with --wrap for the message writer's functions, so a
// test can make the n-th write of a message fail as it does when the
// interpreter has no memory left, and count the writers still alive after.
// PyUnicode_InternFromString is wrapped too, for the names made once below.
long writes_until_failure = 0;
long live_writers = 0;

}  // namespace

extern "C" {
PyUnicodeWriter* __real_PyUnicodeWriter_Create(Py_ssize_t length);
void __real_PyUnicodeWriter_Discard(PyUnicodeWriter* writer);
PyObject* __real_PyUnicodeWriter_Finish(PyUnicodeWriter* writer);
int __real_PyUnicodeWriter_WriteUTF8(PyUnicodeWriter* writer, const char* text, Py_ssize_t size);

PyObject* __real_PyUnicode_InternFromString(const char* text);
PyObject* __wrap_PyUnicode_InternFromString(const char* text);

PyUnicodeWriter* __wrap_PyUnicodeWriter_Create(Py_ssize_t length) {
    PyUnicodeWriter* writer = __real_PyUnicodeWriter_Create(length);
    live_writers += writer != nullptr;
    return writer;
}

void __wrap_PyUnicodeWriter_Discard(PyUnicodeWriter* writer) {
    live_writers -= writer != nullptr;
    __real_PyUnicodeWriter_Discard(writer);
}

PyObject* __wrap_PyUnicodeWriter_Finish(PyUnicodeWriter* writer) {
    live_writers -= writer != nullptr;
    return __real_PyUnicodeWriter_Finish(writer);
}

int __wrap_PyUnicodeWriter_WriteUTF8(PyUnicodeWriter* writer, const char* text, Py_ssize_t size) {
    if (writes_until_failure > 0 && --writes_until_failure == 0) {
        PyErr_NoMemory();
        return -1;
    }
    return __real_PyUnicodeWriter_WriteUTF8(writer, text, size);
}
}

namespace {

// Two names made once, from texts of their own. The first one's interning
// makes it a second time from inside, as another thread would have done
// after both saw the empty slot, so the outer call loses the race.
constexpr const char* raced_text = "velmora probe: raced name";
velmora::python::InternedName raced_name{raced_text};
velmora::python::InternedName calm_name{"velmora probe: calm name"};
bool race_pending = true;

}  // namespace

PyObject* __wrap_PyUnicode_InternFromString(const char* text) {
    if (text == raced_text && std::exchange(race_pending, false) && raced_name.get() == nullptr) {
        return nullptr;
    }
    return __real_PyUnicode_InternFromString(text);
}

namespace {

// names() -> (raced, calm): the two names, each from its slot.
PyObject* probe_names(PyObject*, PyObject*) noexcept {
    PyObject* raced = raced_name.get();
    PyObject* calm = raced == nullptr ? nullptr : calm_name.get();
    return calm == nullptr ? nullptr : PyTuple_Pack(2, raced, calm);
}

// fail_write(n): the n-th message write from now fails with MemoryError.
PyObject* probe_fail_write(PyObject*, PyObject* count) noexcept {
    writes_until_failure = PyLong_AsLong(count);
    return PyErr_Occurred() ? nullptr : Py_NewRef(Py_None);
}

// live_writers() -> int: message writers made and neither finished nor discarded.
PyObject* probe_live_writers(PyObject*, PyObject*) noexcept { return PyLong_FromLong(live_writers); }

// bind(params, args, kwnames, kwvalues[, extra_slots]) -> one tuple per slot:
// (value,) when filled, () when empty. kwnames is None or a tuple, passed on
// unchanged. extra_slots gives the binder that many slots more than the
// description has, as a caller with the wrong slot array would.
PyObject* probe_bind(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return FaultBoundary::run_entry([&]() -> PyObject* {
        if ((nargs != 4 && nargs != 5) || !PyTuple_Check(args[1]) || !PyTuple_Check(args[3]) ||
            (args[2] != Py_None && !PyTuple_Check(args[2]))) {
            PyErr_SetString(PyExc_TypeError,
                            "bind(params, args: tuple, kwnames: tuple | None, kwvalues: tuple[, extra_slots: int])");
            return nullptr;
        }
        const Py_ssize_t extra_slots = nargs == 5 ? PyLong_AsSsize_t(args[4]) : 0;
        if (extra_slots == -1 && PyErr_Occurred()) {
            return nullptr;
        }
        ProbeSpec probe;
        if (!parse_spec(args[0], probe)) {
            return nullptr;
        }
        PyObject* const kwnames = args[2] == Py_None ? nullptr : args[2];
        const Py_ssize_t positional = PyTuple_GET_SIZE(args[1]);
        std::vector<PyObject*> vector;
        for (Py_ssize_t i = 0; i < positional; ++i) {
            vector.push_back(PyTuple_GET_ITEM(args[1], i));
        }
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(args[3]); ++i) {
            vector.push_back(PyTuple_GET_ITEM(args[3], i));
        }
        if (static_cast<Py_ssize_t>(vector.size()) != positional + (kwnames ? PyTuple_GET_SIZE(kwnames) : 0)) {
            PyErr_SetString(PyExc_ValueError, "one value per keyword name");
            return nullptr;
        }
        // Filled with a marker so that the test sees the binder clear every slot.
        std::vector<PyObject*> slots(
            probe.positional.size() + probe.keyword_only.size() + static_cast<std::size_t>(extra_slots), Py_Ellipsis);
        if (!velmora::python::bind_arguments(probe.params, vector.data(), positional, kwnames, slots)) {
            return nullptr;
        }
        PyRef result = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(slots.size())));
        if (!result) {
            return nullptr;
        }
        for (std::size_t i = 0; i < slots.size(); ++i) {
            PyObject* entry = slots[i] == nullptr ? PyTuple_New(0) : PyTuple_Pack(1, slots[i]);
            if (entry == nullptr) {
                return nullptr;
            }
            PyTuple_SET_ITEM(result.get(), static_cast<Py_ssize_t>(i), entry);
        }
        return result.release();
    });
}

// read_text(object, parameter) -> the bound text as bytes, or the exception
// with its note, as an entry function raises it.
PyObject* probe_read_text(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return FaultBoundary::run_entry([&]() -> PyObject* {
        if (nargs != 2) {
            PyErr_SetString(PyExc_TypeError, "read_text(object, parameter)");
            return nullptr;
        }
        const auto parameter = utf8_of(args[1]);
        if (!parameter) {
            return nullptr;
        }
        const auto text = velmora::python::read_text_argument(args[0]);
        if (!text) {
            velmora::python::add_parameter_note(*parameter);
            return nullptr;
        }
        return PyBytes_FromStringAndSize(text->data(), static_cast<Py_ssize_t>(text->size()));
    });
}

// type_mismatch(object, target_type): always raises.
PyObject* probe_type_mismatch(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return FaultBoundary::run_entry([&]() -> PyObject* {
        if (nargs != 2 || !PyType_Check(args[1])) {
            PyErr_SetString(PyExc_TypeError, "type_mismatch(object, target_type)");
            return nullptr;
        }
        velmora::python::raise_type_mismatch(args[0], reinterpret_cast<PyTypeObject*>(args[1]));
        return nullptr;
    });
}

// add_note(exception, parameter): raises `exception` with the parameter note
// added as an entry function does after a failed text conversion.
PyObject* probe_add_note(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return FaultBoundary::run_entry([&]() -> PyObject* {
        if (nargs != 2 || !PyExceptionInstance_Check(args[0])) {
            PyErr_SetString(PyExc_TypeError, "add_note(exception, parameter)");
            return nullptr;
        }
        const auto parameter = utf8_of(args[1]);
        if (!parameter) {
            return nullptr;
        }
        PyErr_SetRaisedException(Py_NewRef(args[0]));
        velmora::python::add_parameter_note(*parameter);
        return nullptr;
    });
}

// replace_invalid_utf8(bytes) -> bytes
PyObject* probe_replace_invalid_utf8(PyObject*, PyObject* bytes) {
    return FaultBoundary::run_entry([&]() -> PyObject* {
        if (!PyBytes_Check(bytes)) {
            PyErr_SetString(PyExc_TypeError, "replace_invalid_utf8(bytes)");
            return nullptr;
        }
        const std::string repaired = velmora::platform::replace_invalid_utf8(
            std::string_view(PyBytes_AS_STRING(bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes))));
        return PyBytes_FromStringAndSize(repaired.data(), static_cast<Py_ssize_t>(repaired.size()));
    });
}

PyMethodDef probe_methods[] = {
    {"bind", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(probe_bind)), METH_FASTCALL, nullptr},
    {"read_text", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(probe_read_text)), METH_FASTCALL, nullptr},
    {"type_mismatch", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(probe_type_mismatch)), METH_FASTCALL,
     nullptr},
    {"add_note", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(probe_add_note)), METH_FASTCALL, nullptr},
    {"replace_invalid_utf8", probe_replace_invalid_utf8, METH_O, nullptr},
    {"fail_write", probe_fail_write, METH_O, nullptr},
    {"live_writers", probe_live_writers, METH_NOARGS, nullptr},
    {"names", probe_names, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot probe_slots[] = {
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef probe_module = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_binding_probe",
    .m_doc = nullptr,
    .m_size = 0,
    .m_methods = probe_methods,
    .m_slots = probe_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__binding_probe() { return PyModuleDef_Init(&probe_module); }
