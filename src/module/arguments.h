#pragma once

#include <Python.h>

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace velmora::module {

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

// Binds a fast-call argument vector to `slots` (one per positional parameter,
// then one per keyword-only parameter; borrowed pointers, null when not given).
// Returns false with a TypeError set. Allocates nothing on success.
bool bind_arguments(const ParameterSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, std::span<PyObject*> slots);

// UTF-8 text of a bound str (borrowed from the object, not NUL-limited), or
// nothing with an exception set (TypeError for a non-str, UnicodeEncodeError
// for lone surrogates).
std::optional<std::string_view> read_text_argument(PyObject* object);

// Adds the note "while processing '{name}'" to the pending exception, which
// stays pending. A failure to add it is dropped silently.
void add_parameter_note(std::string_view parameter);

// Raises TypeError "'{type}' object is not an instance of '{target}'" (or
// "'None' is not an instance of '{target}'" for None).
void raise_type_mismatch(PyObject* object, PyTypeObject* target);

}  // namespace velmora::module
