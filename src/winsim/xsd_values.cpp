#include "xsd_values.h"

#include <algorithm>
#include <limits>
#include <span>

#include "xml_check.h"

namespace winsim::detail {
namespace {

constexpr std::int64_t ticks_per_second = 10'000'000;
constexpr std::int64_t ticks_per_day = 86'400 * ticks_per_second;

bool is_digit(char16_t c) noexcept { return c >= u'0' && c <= u'9'; }

bool is_hex_digit(char16_t c) noexcept { return is_digit(c) || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F'); }

int hex_value(char16_t c) noexcept {
    if (is_digit(c)) return c - u'0';
    return (c | 0x20) - u'a' + 10;
}

// XML 1.0 section 2.2, Char.
bool is_xml_character(std::uint32_t c) noexcept {
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD) ||
           (c >= 0x10000 && c <= 0x10FFFF);
}

// The character a reference stands for, given what lies between "&" and ";".
std::optional<std::uint32_t> referenced_character(std::u16string_view reference) noexcept {
    if (reference == u"lt") return u'<';
    if (reference == u"gt") return u'>';
    if (reference == u"amp") return u'&';
    if (reference == u"quot") return u'"';
    if (reference == u"apos") return u'\'';
    if (reference.size() < 2 || reference[0] != u'#') return std::nullopt;
    const bool hex = reference[1] == u'x';
    const std::u16string_view digits = reference.substr(hex ? 2 : 1);
    if (digits.empty()) return std::nullopt;
    std::uint32_t value = 0;
    for (const char16_t c : digits) {
        if (hex ? !is_hex_digit(c) : !is_digit(c)) return std::nullopt;
        value = value * (hex ? 16 : 10) + static_cast<std::uint32_t>(hex ? hex_value(c) : c - u'0');
        if (value > 0x10FFFF) return std::nullopt;
    }
    if (!is_xml_character(value)) return std::nullopt;
    return value;
}

// Appends units to the decoded value, keeping only the first `keep`.
class DecodedValue {
public:
    DecodedValue(std::u16string& out, std::size_t keep) : out_(out), keep_(keep) { out_.clear(); }

    void add(std::u16string_view run) {
        if (out_.size() < keep_) out_.append(run.substr(0, keep_ - out_.size()));
        length_ += run.size();
    }
    void add(char16_t unit) { add(std::u16string_view(&unit, 1)); }
    void add_character(std::uint32_t c) {
        if (c < 0x10000) {
            add(static_cast<char16_t>(c));
        } else {
            add(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
            add(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
        }
    }
    // Text as it stands, with "\r\n" and a lone "\r" read as "\n" (XML 1.0 section 2.11).
    // Runs without "\r" are taken whole.
    void add_literal(std::u16string_view text) {
        while (!text.empty()) {
            const std::size_t cr = text.find(u'\r');
            add(text.substr(0, cr));
            if (cr == std::u16string_view::npos) break;
            add(u'\n');
            text.remove_prefix(cr + 1 < text.size() && text[cr + 1] == u'\n' ? cr + 2 : cr + 1);
        }
    }
    std::size_t length() const noexcept { return length_; }

private:
    std::u16string& out_;
    std::size_t keep_;
    std::size_t length_ = 0;
};

// Reads digits at `pos` into `value`; false when there are none or the value
// passes `max`.
bool read_number(std::u16string_view text, std::size_t& pos, std::int64_t max, std::int64_t& value) noexcept {
    const std::size_t start = pos;
    value = 0;
    while (pos < text.size() && is_digit(text[pos])) {
        const int digit = text[pos] - u'0';
        if (value > (max - digit) / 10) return false;
        value = value * 10 + digit;
        ++pos;
    }
    return pos > start;
}

// Exactly `count` digits at `pos`.
std::optional<int> fixed_digits(std::u16string_view text, std::size_t& pos, std::size_t count) noexcept {
    if (text.size() - pos < count) return std::nullopt;
    int value = 0;
    for (std::size_t i = 0; i < count; ++i, ++pos) {
        if (!is_digit(text[pos])) return std::nullopt;
        value = value * 10 + (text[pos] - u'0');
    }
    return value;
}

bool expect(std::u16string_view text, std::size_t& pos, char16_t c) noexcept {
    if (pos == text.size() || text[pos] != c) return false;
    ++pos;
    return true;
}

struct DurationPart {
    char16_t designator;
    std::int64_t ticks;
    bool fraction;  // whether it may have a fraction
};
constexpr DurationPart date_parts[] = {
    {u'Y', 365 * ticks_per_day, false}, {u'M', 30 * ticks_per_day, false}, {u'D', ticks_per_day, false}};
constexpr DurationPart time_parts[] = {
    {u'H', 3600 * ticks_per_second, false}, {u'M', 60 * ticks_per_second, false}, {u'S', ticks_per_second, true}};

// Reads the parts of a duration at `pos`, each a number and its designator,
// in the order of `parts` and each at most once, and adds them to `total`.
// False when the text breaks that or the total does not fit.
bool read_duration_parts(std::u16string_view text, std::size_t& pos, std::span<const DurationPart> parts,
                         std::int64_t& total, bool& seen) noexcept {
    constexpr std::int64_t limit = std::numeric_limits<std::int64_t>::max();
    std::size_t next = 0;
    while (pos < text.size() && is_digit(text[pos])) {
        std::int64_t count = 0;
        if (!read_number(text, pos, limit, count)) return false;
        std::int64_t fraction = 0;
        bool has_fraction = false;
        if (pos < text.size() && text[pos] == u'.') {
            const std::size_t start = ++pos;
            for (std::int64_t scale = ticks_per_second; pos < text.size() && is_digit(text[pos]); ++pos) {
                scale /= 10;
                fraction += (text[pos] - u'0') * scale;
            }
            if (pos == start) return false;
            has_fraction = true;
        }
        while (next < parts.size() && (pos == text.size() || text[pos] != parts[next].designator)) ++next;
        if (next == parts.size() || (has_fraction && !parts[next].fraction)) return false;
        if (count > (limit - total) / parts[next].ticks) return false;
        total += count * parts[next].ticks;
        if (fraction > limit - total) return false;
        total += fraction;
        ++pos;
        ++next;
        seen = true;
    }
    return true;
}

int days_in_month(int year, int month) noexcept {
    constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : days[month - 1];
}

}  // namespace

std::u16string_view trim_xml_space(std::u16string_view text) noexcept {
    while (!text.empty() && is_xml_space(text.front())) text.remove_prefix(1);
    while (!text.empty() && is_xml_space(text.back())) text.remove_suffix(1);
    return text;
}

std::optional<std::size_t> decode_character_data(std::u16string_view raw, std::u16string& out, std::size_t keep) {
    DecodedValue value(out, keep);
    std::size_t pos = 0;
    while (pos < raw.size()) {
        const auto found = std::find_if(raw.begin() + static_cast<std::ptrdiff_t>(pos), raw.end(),
                                        [](char16_t c) { return c == u'<' || c == u'&'; });
        const std::size_t markup =
            found == raw.end() ? std::u16string_view::npos : static_cast<std::size_t>(found - raw.begin());
        value.add_literal(raw.substr(pos, markup == std::u16string_view::npos ? raw.npos : markup - pos));
        if (markup == std::u16string_view::npos) break;
        pos = markup;
        const std::u16string_view rest = raw.substr(pos);
        if (rest.front() == u'&') {
            // A reference that never ends fails at once, so that the search
            // for its ";" is made once.
            const std::size_t end = rest.find(u';');
            if (end == std::u16string_view::npos) return std::nullopt;
            const std::optional<std::uint32_t> c = referenced_character(rest.substr(1, end - 1));
            if (!c) return std::nullopt;
            value.add_character(*c);
            pos += end + 1;
        } else if (rest.starts_with(u"<![CDATA[")) {
            const std::size_t end = rest.find(u"]]>");
            if (end == std::u16string_view::npos) return std::nullopt;
            value.add_literal(rest.substr(9, end - 9));
            pos += end + 3;
        } else {
            // A comment or a processing instruction.
            const std::u16string_view close = rest.starts_with(u"<!--") ? u"-->" : u"?>";
            const std::size_t end = rest.find(close);
            if (end == std::u16string_view::npos) return std::nullopt;
            pos += end + close.size();
        }
    }
    return value.length();
}

std::optional<bool> parse_boolean(std::u16string_view text) noexcept {
    if (text == u"true" || text == u"1") return true;
    if (text == u"false" || text == u"0") return false;
    return std::nullopt;
}

std::optional<std::uint64_t> parse_unsigned(std::u16string_view text, std::uint64_t max) noexcept {
    std::size_t pos = text.starts_with(u'+') ? 1 : 0;
    std::int64_t value = 0;
    if (!read_number(text, pos, std::numeric_limits<std::int64_t>::max(), value) || pos != text.size())
        return std::nullopt;
    if (static_cast<std::uint64_t>(value) > max) return std::nullopt;
    return static_cast<std::uint64_t>(value);
}

std::optional<std::int64_t> parse_duration(std::u16string_view text) noexcept {
    std::size_t pos = 0;
    if (!expect(text, pos, u'P')) return std::nullopt;
    std::int64_t total = 0;
    bool date_seen = false;
    if (!read_duration_parts(text, pos, date_parts, total, date_seen)) return std::nullopt;
    if (pos < text.size() && text[pos] == u'T') {
        ++pos;
        bool time_seen = false;
        if (!read_duration_parts(text, pos, time_parts, total, time_seen) || !time_seen) return std::nullopt;
    } else if (!date_seen) {
        return std::nullopt;
    }
    if (pos != text.size()) return std::nullopt;
    return total;
}

bool is_date_time(std::u16string_view text) noexcept {
    std::size_t pos = 0;
    const auto year = fixed_digits(text, pos, 4);
    if (!year || *year == 0 || !expect(text, pos, u'-')) return false;
    const auto month = fixed_digits(text, pos, 2);
    if (!month || *month < 1 || *month > 12 || !expect(text, pos, u'-')) return false;
    const auto day = fixed_digits(text, pos, 2);
    if (!day || *day < 1 || *day > days_in_month(*year, *month) || !expect(text, pos, u'T')) return false;
    const auto hour = fixed_digits(text, pos, 2);
    if (!hour || *hour > 23 || !expect(text, pos, u':')) return false;
    const auto minute = fixed_digits(text, pos, 2);
    if (!minute || *minute > 59 || !expect(text, pos, u':')) return false;
    const auto second = fixed_digits(text, pos, 2);
    if (!second || *second > 59) return false;
    if (pos < text.size() && text[pos] == u'.') {
        const std::size_t start = ++pos;
        while (pos < text.size() && is_digit(text[pos])) ++pos;
        if (pos == start) return false;
    }
    if (pos == text.size()) return true;
    if (text[pos] == u'Z') return pos + 1 == text.size();
    if (text[pos] != u'+' && text[pos] != u'-') return false;
    ++pos;
    const auto zone_hours = fixed_digits(text, pos, 2);
    if (!zone_hours || !expect(text, pos, u':')) return false;
    const auto zone_minutes = fixed_digits(text, pos, 2);
    if (!zone_minutes || *zone_minutes > 59 || *zone_hours * 60 + *zone_minutes > 14 * 60) return false;
    return pos == text.size();
}

bool is_ncname(std::u16string_view text) noexcept {
    if (text.empty() || !is_name_start(text[0]) || text[0] == u':') return false;
    for (const char16_t c : text)
        if (!is_name_char(c) || c == u':') return false;
    return true;
}

bool is_braced_guid(std::u16string_view text) noexcept {
    constexpr std::u16string_view shape = u"{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}";
    if (text.size() != shape.size()) return false;
    for (std::size_t i = 0; i < shape.size(); ++i)
        if (shape[i] == u'x' ? !is_hex_digit(text[i]) : text[i] != shape[i]) return false;
    return true;
}

}  // namespace winsim::detail
