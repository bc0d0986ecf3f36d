#include "module/arguments.h"

#include <algorithm>
#include <charconv>
#include <utility>
#include <vector>

#include "failures/internal_fault.h"
#include "module/interned_name.h"
#include "module/lenient_text.h"
#include "module/py_ref.h"
#include "module/python_errors.h"
#include "platform/attributes.h"

namespace velmora::python {
namespace {

constexpr std::string_view failed_type_name = "<failed to extract type name>";
constexpr std::string_view unprintable_object = "<unprintable object>";

// A message under construction. Any failure of the interpreter to grow the
// text is null_object_fault(): the message of an error must come back.
class MessageWriter {
public:
    MessageWriter() : writer_(PyUnicodeWriter_Create(0)) {
        if (writer_ == nullptr) {
            null_object_fault();
        }
    }
    MessageWriter(const MessageWriter&) = delete;
    MessageWriter& operator=(const MessageWriter&) = delete;
    ~MessageWriter() {
        if (writer_ != nullptr) {
            PyUnicodeWriter_Discard(writer_);
        }
    }

    MessageWriter& text(std::string_view utf8) {
        if (PyUnicodeWriter_WriteUTF8(writer_, utf8.data(), static_cast<Py_ssize_t>(utf8.size())) < 0) {
            null_object_fault();
        }
        return *this;
    }

    MessageWriter& number(std::size_t value) {
        char digits[24];
        const auto end = std::to_chars(std::begin(digits), std::end(digits), value).ptr;
        return text(std::string_view(digits, static_cast<std::size_t>(end - digits)));
    }

    MessageWriter& quoted(std::string_view utf8) { return text("'").text(utf8).text("'"); }

    // 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
    MessageWriter& quoted_list(std::span<const std::string_view> names) {
        for (std::size_t i = 0; i < names.size(); ++i) {
            if (i > 0) {
                if (names.size() == 2) {
                    text(" and ");
                } else {
                    text(i + 1 == names.size() ? ", and " : ", ");
                }
            }
            quoted(names[i]);
        }
        return *this;
    }

    PyRef finish() { return expect_object(PyUnicodeWriter_Finish(std::exchange(writer_, nullptr))); }

private:
    PyUnicodeWriter* writer_;
};

VELMORA_COLD void raise_type_error(MessageWriter& message) {
    const PyRef text = message.finish();
    PyErr_SetObject(PyExc_TypeError, text.get());
}

MessageWriter& full_name(MessageWriter& message, const ParameterSpec& params) {
    if (params.class_name) {
        message.text(*params.class_name).text(".");
    }
    return message.text(params.function_name).text("()");
}

template <class Names, class Projection>
std::optional<std::size_t> find_name(const Names& names, std::string_view wanted, Projection name_of) noexcept {
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (same_name(name_of(names[i]), wanted)) {
            return i;
        }
    }
    return std::nullopt;
}

std::optional<std::size_t> find_keyword_only(const ParameterSpec& params, std::string_view name) noexcept {
    return find_name(params.keyword_only, name, [](const KeywordOnlyParameter& p) { return p.name; });
}

std::optional<std::size_t> find_positional(const ParameterSpec& params, std::string_view name) noexcept {
    return find_name(params.positional, name, [](std::string_view p) { return p; });
}

// The UTF-8 text of a keyword name, or nothing when it has none (a lone
// surrogate): such a name can match no parameter.
std::optional<std::string_view> keyword_text(PyObject* key) {
    // Keyword names are nearly always compact ASCII strings, whose characters
    // are their UTF-8 form: read them in place, without a call.
    if (PyUnicode_CheckExact(key) && PyUnicode_IS_COMPACT_ASCII(key)) [[likely]] {
        return std::string_view(static_cast<const char*>(PyUnicode_DATA(key)),
                                static_cast<std::size_t>(PyUnicode_GET_LENGTH(key)));
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(key, &size);
    if (data == nullptr) {
        (void)fetch_pending_exception();
        return std::nullopt;
    }
    return std::string_view(data, static_cast<std::size_t>(size));
}

VELMORA_COLD void raise_too_many_positional(const ParameterSpec& params, std::size_t given) {
    MessageWriter message;
    full_name(message, params).text(" takes ");
    if (params.required_positional < params.positional.size()) {
        message.text("from ").number(params.required_positional).text(" to ");
    }
    message.number(params.positional.size())
        .text(" positional arguments but ")
        .number(given)
        .text(given == 1 ? " was given" : " were given");
    raise_type_error(message);
}

// "<unprintable {type} object>" for a key whose str() failed, the failure
// having gone to the unraisable hook.
VELMORA_COLD void write_unprintable_key(MessageWriter& message, PyObject* key) {
    restore_fetched_exception(fetch_pending_exception());
    PyErr_WriteUnraisable(key);

    const PyRef type_name = PyRef::steal(PyType_GetName(Py_TYPE(key)));
    PyRef shown = type_name ? PyRef::steal(PyObject_Str(type_name.get())) : PyRef();
    if (!shown) {
        (void)fetch_pending_exception();
        message.text(unprintable_object);
        return;
    }
    message.text("<unprintable ").text(lenient_text(shown.get())).text(" object>");
}

VELMORA_COLD void raise_unexpected_keyword(const ParameterSpec& params, PyObject* key) {
    MessageWriter message;
    full_name(message, params).text(" got an unexpected keyword argument '");
    if (const PyRef shown = PyRef::steal(PyObject_Str(key))) {
        message.text(lenient_text(shown.get()));
    } else {
        write_unprintable_key(message, key);
    }
    message.text("'");
    raise_type_error(message);
}

VELMORA_COLD void raise_multiple_values(const ParameterSpec& params, std::string_view name) {
    MessageWriter message;
    full_name(message, params).text(" got multiple values for argument ").quoted(name);
    raise_type_error(message);
}

// Lists the positional-only parameters that were given by keyword, in the order
// of the keywords. Walks the names again so that binding itself needs no list.
VELMORA_COLD void raise_positional_only_by_keyword(const ParameterSpec& params, PyObject* kwnames) {
    std::vector<std::string_view> names;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i) {
        const auto text = keyword_text(PyTuple_GET_ITEM(kwnames, i));
        if (!text || find_keyword_only(params, *text)) {
            continue;
        }
        if (const auto index = find_positional(params, *text); index && *index < params.positional_only) {
            names.push_back(params.positional[*index]);
        }
    }
    MessageWriter message;
    full_name(message, params)
        .text(" got some positional-only arguments passed as keyword arguments: ")
        .quoted_list(names);
    raise_type_error(message);
}

VELMORA_COLD void raise_missing(const ParameterSpec& params, std::string_view kind,
                                std::span<const std::string_view> names) {
    MessageWriter message;
    full_name(message, params)
        .text(" missing ")
        .number(names.size())
        .text(" required ")
        .text(kind)
        .text(names.size() == 1 ? " argument: " : " arguments: ")
        .quoted_list(names);
    raise_type_error(message);
}

VELMORA_COLD void raise_missing_positional(const ParameterSpec& params, std::span<PyObject* const> slots) {
    std::vector<std::string_view> names;
    for (std::size_t i = 0; i < params.required_positional; ++i) {
        if (slots[i] == nullptr) {
            names.push_back(params.positional[i]);
        }
    }
    raise_missing(params, "positional", names);
}

VELMORA_COLD void raise_missing_keyword(const ParameterSpec& params, std::span<PyObject* const> slots) {
    std::vector<std::string_view> names;
    for (std::size_t i = 0; i < params.keyword_only.size(); ++i) {
        if (params.keyword_only[i].required && slots[i] == nullptr) {
            names.push_back(params.keyword_only[i].name);
        }
    }
    raise_missing(params, "keyword", names);
}

VELMORA_COLD void write_type_name(MessageWriter& message, PyTypeObject* type) {
    const PyRef name = PyRef::steal(PyType_GetQualName(type));
    if (!name) {
        (void)fetch_pending_exception();
        message.text(failed_type_name);
        return;
    }
    message.text(lenient_text(name.get()));
}

constinit InternedName add_note_name{"add_note"};

// Whatever goes wrong here is dropped: the note is a courtesy and must never
// replace the exception it annotates.
VELMORA_COLD void try_add_note(PyObject* exception, std::string_view parameter) {
    std::string note = "while processing '";
    note.append(parameter).append("'");
    const PyRef text = PyRef::steal(PyUnicode_FromStringAndSize(note.data(), static_cast<Py_ssize_t>(note.size())));
    PyObject* const method = text ? add_note_name.get() : nullptr;
    if (method == nullptr) {
        (void)fetch_pending_exception();
        return;
    }
    PyObject* const call[] = {exception, text.get()};
    if (!PyRef::steal(PyObject_VectorcallMethod(method, call, 2, nullptr))) {
        (void)fetch_pending_exception();
    }
}

}  // namespace

bool bind_arguments_in_full(const ParameterSpec& params, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                            std::span<PyObject*> slots) {
    const std::size_t positional_count = params.positional.size();
    if (slots.size() != positional_count + params.keyword_only.size()) [[unlikely]] {
        failures::throw_internal_fault("argument slots do not match the parameters of " +
                                       std::string(params.function_name));
    }
    const auto given = static_cast<std::size_t>(nargs);

    std::ranges::fill(slots, nullptr);
    std::copy_n(args, std::min(given, positional_count), slots.begin());
    if (given > positional_count) {
        raise_too_many_positional(params, given);
        return false;
    }

    bool positional_only_by_keyword = false;
    const Py_ssize_t keyword_count = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < keyword_count; ++i) {
        PyObject* const key = PyTuple_GET_ITEM(kwnames, i);
        PyObject* const value = args[nargs + i];
        const auto text = keyword_text(key);
        if (!text) {
            raise_unexpected_keyword(params, key);
            return false;
        }
        if (const auto index = find_keyword_only(params, *text)) {
            PyObject*& slot = slots[positional_count + *index];
            if (slot != nullptr) {
                raise_multiple_values(params, params.keyword_only[*index].name);
                return false;
            }
            slot = value;
            continue;
        }
        const auto index = find_positional(params, *text);
        if (!index) {
            raise_unexpected_keyword(params, key);
            return false;
        }
        if (*index < params.positional_only) {
            positional_only_by_keyword = true;
            continue;
        }
        if (slots[*index] != nullptr) {
            raise_multiple_values(params, params.positional[*index]);
            return false;
        }
        slots[*index] = value;
    }

    if (positional_only_by_keyword) {
        raise_positional_only_by_keyword(params, kwnames);
        return false;
    }
    if (given < params.required_positional &&
        std::ranges::any_of(
            slots.subspan(given, params.required_positional - given), [](PyObject* slot) { return slot == nullptr; })) {
        raise_missing_positional(params, slots);
        return false;
    }
    const auto keyword_slots = slots.subspan(positional_count);
    for (std::size_t i = 0; i < params.keyword_only.size(); ++i) {
        if (params.keyword_only[i].required && keyword_slots[i] == nullptr) {
            raise_missing_keyword(params, keyword_slots);
            return false;
        }
    }
    return true;
}

void reject_text_argument(PyObject* object) {
    if (!PyUnicode_Check(object)) {
        raise_type_mismatch(object, &PyUnicode_Type);
        return;
    }
    restore_fetched_exception(fetch_pending_exception());
}

void add_parameter_note(std::string_view parameter) {
    PyRef exception = PyRef::steal(PyErr_GetRaisedException());
    if (!exception) {
        return;
    }
    try_add_note(exception.get(), parameter);
    PyErr_SetRaisedException(exception.release());
}

VELMORA_COLD void raise_type_mismatch(PyObject* object, PyTypeObject* target) {
    MessageWriter message;
    if (object == Py_None) {
        message.text("'None' is not an instance of '");
    } else {
        message.text("'");
        write_type_name(message, Py_TYPE(object));
        message.text("' object is not an instance of '");
    }
    if (target == Py_TYPE(Py_None)) {
        message.text("None");
    } else {
        write_type_name(message, target);
    }
    message.text("'");
    raise_type_error(message);
}

}  // namespace velmora::python
