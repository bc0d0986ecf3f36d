#include "task_names.h"

#include <locale.h>
#include <wctype.h>

#include <algorithm>

namespace winsim::detail {
namespace {

// The mapping must not follow the process locale, which the program may set
// to anything (or leave at "C", which upper-cases ASCII only). C.UTF-8 maps
// with the Unicode simple uppercase data, which is what the system's own
// upcase table is built from. It is made once and never freed.
locale_t unicode_ctype() noexcept {
    static const locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    return locale;
}

}  // namespace

char16_t upcase(char16_t unit) noexcept {
    if (unit < 0x80) return unit >= u'a' && unit <= u'z' ? static_cast<char16_t>(unit - (u'a' - u'A')) : unit;
    if (unit >= 0xD800 && unit <= 0xDFFF) return unit;
    const locale_t locale = unicode_ctype();
    // Without C.UTF-8 (a system without its locale data) only ASCII is folded.
    if (locale == static_cast<locale_t>(nullptr)) return unit;
    const wint_t upper = towupper_l(static_cast<wint_t>(unit), locale);
    // Simple mappings of BMP characters stay in the BMP; anything else keeps the unit.
    return upper <= 0xFFFF && (upper < 0xD800 || upper > 0xDFFF) ? static_cast<char16_t>(upper) : unit;
}

bool NameLess::operator()(std::u16string_view a, std::u16string_view b) const noexcept {
    return std::ranges::lexicographical_compare(a, b, [](char16_t x, char16_t y) { return upcase(x) < upcase(y); });
}

namespace {

// Characters that no file name may hold. Not recorded for the Task Scheduler
// (its names are files of the task store, so we take the file system's rule).
bool file_name_may_hold(char16_t unit) noexcept {
    return !((unit >= 0x01 && unit <= 0x1F) || unit == u'*' || unit == u'?' || unit == u'"' || unit == u'<' ||
             unit == u'>' || unit == u'|');
}

bool is_valid_name(std::u16string_view name) noexcept {
    // MS-TSCH 2.3.11 (Path Names): a name does not start with a space, holds
    // no ":", "/" or "\" and is not "..". "." is refused too (scheduler.c
    // test_GetFolder: GetFolder(".") is ERROR_INVALID_NAME on Windows), and a
    // name does not end with a space (ITaskFolder::RegisterTask documentation:
    // "A task name cannot begin or end with a space character").
    if (name.empty() || name.front() == u' ' || name.back() == u' ' || name == u"." || name == u"..") return false;
    return std::ranges::all_of(name,
                               [](char16_t unit) { return unit != u':' && unit != u'/' && file_name_may_hold(unit); });
}

}  // namespace

bool is_valid_path(std::u16string_view path) noexcept {
    if (path.starts_with(u'\\')) path.remove_prefix(1);
    // Separated by single "\": an empty name (from a doubled or a trailing
    // "\", or no name at all) makes the path invalid (scheduler.c
    // test_GetFolder: CreateFolder("\\Wine\\Folder1\\") is ERROR_INVALID_NAME).
    for (;;) {
        const std::size_t slash = path.find(u'\\');
        if (!is_valid_name(path.substr(0, slash))) return false;
        if (slash == std::u16string_view::npos) return true;
        path.remove_prefix(slash + 1);
    }
}

}  // namespace winsim::detail
