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
    return std::ranges::lexicographical_compare(
        a, b, [](char16_t x, char16_t y) { return upcase(x) < upcase(y); });
}

bool has_invalid_name_character(std::u16string_view path) noexcept {
    return std::ranges::any_of(path, [](char16_t unit) {
        return (unit >= 0x01 && unit <= 0x1F) || unit == u'*' || unit == u'?' || unit == u'"' || unit == u'<' ||
               unit == u'>' || unit == u'|';
    });
}

}  // namespace winsim::detail
