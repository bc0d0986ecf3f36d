#pragma once
// Values of the XML Schema built-in types that task definitions use
// (XML Schema Part 2, section 3.2 and 3.3), read from their text.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace winsim::detail {

// The text without leading and trailing XML whitespace: the whiteSpace
// "collapse" facet, for types whose values hold no inner whitespace.
std::u16string_view trim_xml_space(std::u16string_view text) noexcept;

// The value of character data as it stands in the document: an element's
// content between its tags (text, CDATA sections, comments and processing
// instructions, no elements) or an attribute value between its quotes. Line
// ends are normalised, the five predefined entities and character references
// replaced, comments and processing instructions dropped. The first `keep`
// units go into `out`; the result is how many units the value has in all, or
// nothing when a reference is neither a predefined entity nor a character
// reference to an XML character.
std::optional<std::size_t> decode_character_data(std::u16string_view raw, std::u16string& out, std::size_t keep);

// xs:boolean: "true", "false", "1" or "0".
std::optional<bool> parse_boolean(std::u16string_view text) noexcept;

// An xs:integer without a minus sign (a "+" and leading zeros are allowed),
// when it is at most `max`.
std::optional<std::uint64_t> parse_unsigned(std::u16string_view text, std::uint64_t max) noexcept;

// A non-negative xs:duration in 100-nanosecond units, taking a year as 365
// days and a month as 30; nothing when the text is not one, is negative or
// does not fit in a signed 64-bit count. Digits of a second beyond the
// seventh are dropped.
std::optional<std::int64_t> parse_duration(std::u16string_view text) noexcept;

// An xs:dateTime with a four-digit year from 0001, each field in its range
// (February 29 in leap years only, no hour 24, no leap second), an optional
// fraction of a second and an optional time zone: "Z" or +hh:mm / -hh:mm up
// to 14:00.
bool is_date_time(std::u16string_view text) noexcept;

// xs:NCName: an XML name without a colon.
bool is_ncname(std::u16string_view text) noexcept;

// A GUID in braces, 8-4-4-4-12 hexadecimal digits of either case.
bool is_braced_guid(std::u16string_view text) noexcept;

}  // namespace winsim::detail
