#pragma once
// How the Task Scheduler compares and checks task and folder names. Its store
// is a directory tree on a case-insensitive file system: names differing only
// in case are one name, and a name no file name may hold is refused.

#include <string_view>

namespace winsim::detail {

// The unit as the system upper-cases it for name comparison: the simple
// Unicode uppercase mapping of a BMP character, one UTF-16 unit at a time.
// Surrogates and NUL are their own upper case.
char16_t upcase(char16_t unit) noexcept;

// Orders names without regard to case, so that a map keyed with it finds a
// name under any casing and keeps the spelling it was first given.
struct NameLess {
    using is_transparent = void;
    bool operator()(std::u16string_view a, std::u16string_view b) const noexcept;
};

// Whether a task or folder path is one the service takes: an optional
// leading "\", then names separated by single "\". A name is not empty, does
// not start or end with a space, is not "." or "..", and holds neither ":" nor
// "/" nor a character that no file name may hold (* ? " < > | and U+0001 to
// U+001F; NUL is allowed). Anything else is ERROR_INVALID_NAME.
bool is_valid_path(std::u16string_view path) noexcept;

}  // namespace winsim::detail
