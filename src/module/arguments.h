#pragma once

#include <Python.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/attributes.h"

namespace velmora::python {

struct KeywordOnlyParameter {
    std::string_view name;
    bool required;
};

// Static description of one function's parameters.
struct ParameterSpec {
    std::string_view function_name;
    std::optional<std::string_view> class_name;  // messages say "Class.function()"
    std::span<const std::string_view> positional;
    std::size_t positional_only;
    std::size_t required_positional;
    std::span<const KeywordOnlyParameter> keyword_only;
};

// Whether binding can use the description: the required and positional-only
// counts lie within the positional parameters, and no name is given twice.
// Binding reads as many slots as the description promises, so the module's
// descriptions are checked when it is compiled.
consteval bool is_valid(const ParameterSpec& params) {
    if (params.required_positional > params.positional.size() || params.positional_only > params.positional.size())
        return false;
    const std::size_t count = params.positional.size() + params.keyword_only.size();
    const auto name_at = [&](std::size_t i) {
        return i < params.positional.size() ? params.positional[i]
                                            : params.keyword_only[i - params.positional.size()].name;
    };
    for (std::size_t i = 0; i < count; ++i) {
        if (name_at(i).empty()) return false;
        for (std::size_t j = i + 1; j < count; ++j) {
            if (name_at(i) == name_at(j)) return false;
        }
    }
    return true;
}

// Every call but the common ones: a wrong count, a keyword that names no
// parameter or one already given, keyword-only parameters. Same contract as
// bind_arguments().
bool bind_arguments_in_full(const ParameterSpec& params, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                            std::span<PyObject*> slots);

// Names are compared by length, then by bytes.
inline bool same_name(std::string_view a, std::string_view b) noexcept {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size()) == 0;
}

// The common call with keywords: every parameter given once, the first ones
// by position and the rest by keyword in any order, each keyword a compact
// ASCII str (as the names in a call's source are) naming a parameter that
// may be given by keyword. Returns false for anything else, with nothing
// raised: the full binder then decides, and raises what it finds.
inline bool bind_keywords(const ParameterSpec& params, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                          std::span<PyObject*> slots) {
    const std::size_t count = params.positional.size();
    const auto given = static_cast<std::size_t>(nargs);
    if (given > count || given + static_cast<std::size_t>(PyTuple_GET_SIZE(kwnames)) != count) {
        return false;
    }
    std::copy_n(args, given, slots.begin());
    std::fill(slots.begin() + static_cast<std::ptrdiff_t>(given), slots.end(), nullptr);
    for (std::size_t k = 0; given + k < count; ++k) {
        PyObject* const key = PyTuple_GET_ITEM(kwnames, static_cast<Py_ssize_t>(k));
        if (!PyUnicode_CheckExact(key) || !PyUnicode_IS_COMPACT_ASCII(key)) {
            return false;
        }
        const std::string_view text(static_cast<const char*>(PyUnicode_DATA(key)),
                                    static_cast<std::size_t>(PyUnicode_GET_LENGTH(key)));
        std::size_t slot = count;
        for (std::size_t i = 0; i < count; ++i) {
            if (i >= given && i >= params.positional_only && same_name(params.positional[i], text)) {
                slot = i;
                break;
            }
        }
        if (slot == count || slots[slot] != nullptr) {
            return false;
        }
        slots[slot] = args[given + k];
    }
    return true;
}

// Binds a fast-call argument vector to `slots` (one per positional parameter,
// then one per keyword-only parameter; borrowed pointers, null when not given).
// Returns false with a TypeError set. Allocates nothing on success.
// The common calls (every parameter by position, or the last ones by
// keyword) are bound here, inline, where the entry function's constant
// description folds them down: a count check and a copy, or compares with
// names of known length and bytes.
inline bool bind_arguments(const ParameterSpec& params, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                           std::span<PyObject*> slots) {
    const std::size_t count = params.positional.size();
    if (params.keyword_only.empty() && slots.size() == count) [[likely]] {
        if (kwnames == nullptr && static_cast<std::size_t>(nargs) == count) [[likely]] {
            std::copy_n(args, count, slots.begin());
            return true;
        }
        if (kwnames != nullptr && bind_keywords(params, args, nargs, kwnames, slots)) {
            return true;
        }
    }
    return bind_arguments_in_full(params, args, nargs, kwnames, slots);
}

// Raises the failure of read_text_argument() for an object that is no str,
// or a str without a UTF-8 form (whose exception is pending).
VELMORA_COLD void reject_text_argument(PyObject* object);

// UTF-8 text of a bound str (borrowed from the object, not NUL-limited), or
// nothing with an exception set (TypeError for a non-str, UnicodeEncodeError
// for lone surrogates).
inline std::optional<std::string_view> read_text_argument(PyObject* object) {
    if (PyUnicode_Check(object)) [[likely]] {
        Py_ssize_t size = 0;
        if (const char* data = PyUnicode_AsUTF8AndSize(object, &size)) [[likely]] {
            return std::string_view(data, static_cast<std::size_t>(size));
        }
    }
    reject_text_argument(object);
    return std::nullopt;
}

// Adds the note "while processing '{name}'" to the pending exception, which
// stays pending. A failure to add it is dropped silently.
void add_parameter_note(std::string_view parameter);

// Raises TypeError "'{type}' object is not an instance of '{target}'" (or
// "'None' is not an instance of '{target}'" for None).
void raise_type_mismatch(PyObject* object, PyTypeObject* target);

}  // namespace velmora::python
