#include "platform/text.h"

#include <cstddef>
#include <cstdint>

namespace velmora::platform {
namespace {

constexpr std::string_view replacement_utf8 = "\xEF\xBF\xBD";
constexpr WCHAR replacement_unit = 0xFFFD;

// The well-formed UTF-8 sequences, by their lead byte: the length, and the
// range of the second byte, which rules out overlong forms, surrogates and
// values above U+10FFFF (the table of well-formed byte sequences of the
// Unicode Standard, chapter 3). Length 0: the byte cannot start a sequence.
struct SequenceShape {
    std::size_t length;
    unsigned char second_min;
    unsigned char second_max;
};

// Every byte after the second: 10xxxxxx.
constexpr unsigned char continuation_min = 0x80;
constexpr unsigned char continuation_max = 0xBF;

constexpr SequenceShape shape_of(unsigned char lead) noexcept {
    if (lead < 0x80) return {1, 0, 0};
    if (lead >= 0xC2 && lead <= 0xDF) return {2, 0x80, 0xBF};
    if (lead == 0xE0) return {3, 0xA0, 0xBF};
    if (lead == 0xED) return {3, 0x80, 0x9F};
    if (lead >= 0xE1 && lead <= 0xEF) return {3, 0x80, 0xBF};
    if (lead == 0xF0) return {4, 0x90, 0xBF};
    if (lead >= 0xF1 && lead <= 0xF3) return {4, 0x80, 0xBF};
    if (lead == 0xF4) return {4, 0x80, 0x8F};
    return {0, 0, 0};
}

// What starts `bytes` (not empty): a well-formed sequence of `length` bytes
// holding `code_point`, or, with length 0, an ill-formed one whose maximal
// subpart is `subpart` bytes long (at least 1).
struct Sequence {
    std::size_t length;
    std::size_t subpart;
    char32_t code_point;
};

constexpr Sequence next_sequence(std::string_view bytes) noexcept {
    const auto lead = static_cast<unsigned char>(bytes[0]);
    const SequenceShape shape = shape_of(lead);
    if (shape.length == 0) return {0, 1, 0};
    if (shape.length == 1) return {1, 1, lead};
    auto code_point = static_cast<char32_t>(lead & (0x7Fu >> shape.length));
    std::size_t seen = 1;
    while (seen < shape.length && seen < bytes.size()) {
        const auto byte = static_cast<unsigned char>(bytes[seen]);
        // Both arms unsigned char, so that the conditional is one too: an int
        // arm would make it an int, and MSVC warns on the narrowing (C4244).
        const unsigned char min = seen == 1 ? shape.second_min : continuation_min;
        const unsigned char max = seen == 1 ? shape.second_max : continuation_max;
        if (byte < min || byte > max) break;
        code_point = (code_point << 6) | (byte & 0x3F);
        ++seen;
    }
    if (seen < shape.length) return {0, seen, 0};
    return {seen, seen, code_point};
}

// Writes the code point's one or two units at `out`; returns the end.
WCHAR* put_utf16(WCHAR* out, char32_t code_point) noexcept {
    if (code_point < 0x10000) {
        *out++ = static_cast<WCHAR>(code_point);
    } else {
        code_point -= 0x10000;
        *out++ = static_cast<WCHAR>(0xD800 + (code_point >> 10));
        *out++ = static_cast<WCHAR>(0xDC00 + (code_point & 0x3FF));
    }
    return out;
}

void append_utf8(std::string& out, char32_t code_point) {
    if (code_point < 0x80) {
        out.push_back(static_cast<char>(code_point));
    } else if (code_point < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (code_point >> 6)));
        out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
    } else if (code_point < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (code_point >> 12)));
        out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (code_point >> 18)));
        out.push_back(static_cast<char>(0x80 | ((code_point >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
    }
}

constexpr bool is_high_surrogate(char32_t unit) noexcept { return unit >= 0xD800 && unit <= 0xDBFF; }
constexpr bool is_low_surrogate(char32_t unit) noexcept { return unit >= 0xDC00 && unit <= 0xDFFF; }

constexpr bool is_trailing_space(WCHAR unit) noexcept { return unit == 0x20 || (unit >= 0x09 && unit <= 0x0D); }

}  // namespace

Utf16 to_utf16(std::string_view text) {
    // No sequence gives more units than it has bytes, a malformed byte one
    // unit, so the length in bytes bounds the result: the buffer is sized
    // once and written without a capacity check per unit.
    Utf16 out;
    out.resize_and_overwrite(text.size(), [text](WCHAR* const buffer, std::size_t) mutable noexcept {
        WCHAR* end = buffer;
        while (!text.empty()) {
            // A run of ASCII, the common case: a unit per byte.
            std::size_t ascii = 0;
            for (; ascii < text.size() && static_cast<unsigned char>(text[ascii]) < 0x80; ++ascii) {
                end[ascii] = static_cast<unsigned char>(text[ascii]);
            }
            end += ascii;
            text.remove_prefix(ascii);
            if (text.empty()) break;
            const Sequence sequence = next_sequence(text);
            if (sequence.length == 0) {
                *end++ = replacement_unit;
                text.remove_prefix(1);
            } else {
                end = put_utf16(end, sequence.code_point);
                text.remove_prefix(sequence.length);
            }
        }
        return static_cast<std::size_t>(end - buffer);
    });
    return out;
}

std::string to_utf8(Utf16View text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char32_t unit = static_cast<std::uint16_t>(text[i]);
        if (is_high_surrogate(unit) && i + 1 < text.size()) {
            const char32_t next = static_cast<std::uint16_t>(text[i + 1]);
            if (is_low_surrogate(next)) {
                append_utf8(out, 0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00));
                ++i;
                continue;
            }
        }
        append_utf8(out, is_high_surrogate(unit) || is_low_surrogate(unit) ? U'\uFFFD' : unit);
    }
    return out;
}

std::string replace_invalid_utf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    while (!bytes.empty()) {
        const Sequence sequence = next_sequence(bytes);
        if (sequence.length == 0) {
            out.append(replacement_utf8);
            bytes.remove_prefix(sequence.subpart);
        } else {
            out.append(bytes.substr(0, sequence.length));
            bytes.remove_prefix(sequence.length);
        }
    }
    return out;
}

Utf16View trim_end(Utf16View text) noexcept {
    while (!text.empty() && is_trailing_space(text.back())) text.remove_suffix(1);
    return text;
}

std::string format_hresult(HRESULT code) {
    static constexpr char digits[] = "0123456789ABCDEF";
    const auto value = static_cast<std::uint32_t>(code);
    std::string text = "0x";
    for (int shift = 28; shift >= 0; shift -= 4) text.push_back(digits[(value >> shift) & 0xF]);
    return text;
}

}  // namespace velmora::platform
