#pragma once

#include <string>
#include <string_view>

#include "platform/platform.h"

namespace velmora::platform {

// UTF-16 text in the platform's code unit type (char16_t off Windows, wchar_t
// on Windows; 16-bit either way).
using Utf16 = std::basic_string<WCHAR>;
using Utf16View = std::basic_string_view<WCHAR>;

// UTF-8 to UTF-16. The text is expected to be well-formed; each byte of a
// malformed sequence becomes one U+FFFD rather than being read past.
Utf16 to_utf16(std::string_view text);

// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD. Cannot fail.
std::string to_utf8(Utf16View text);

// `bytes` with every maximal invalid UTF-8 subsequence replaced by U+FFFD.
std::string replace_invalid_utf8(std::string_view bytes);

// Removes trailing U+0009..U+000D and U+0020 units; nothing else.
Utf16View trim_end(Utf16View text) noexcept;

// "0x" and eight upper-case hexadecimal digits of the code as unsigned.
std::string format_hresult(HRESULT code);

}  // namespace velmora::platform
