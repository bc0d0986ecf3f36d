#pragma once
// BSTRs and HSTRINGs of the simulated platform, and helpers for the code that
// reads or hands them out.

#include <optional>
#include <string>
#include <string_view>

#include "winsim/windows.h"

namespace winsim::detail {

// A BSTR made by the runtime itself (not a logged call of the program). Null
// only when memory is short.
BSTR make_bstr(std::u16string_view text) noexcept;
// Frees a BSTR that the runtime made and never handed over.
void free_bstr_quietly(BSTR value) noexcept;
// Hands out `text` as a BSTR through `out`: null for nullopt.
HRESULT hand_out_bstr(const std::optional<std::u16string>& text, BSTR* out) noexcept;

// The text of a BSTR that the program passes in. A null BSTR is empty text. A
// pointer that is not a live BSTR is reported as misuse and read as a
// NUL-terminated string when it is not a freed one.
std::u16string bstr_text(BSTR value, const char* where);

// The text of an HSTRING (null: empty). Unknown handles are reported and read as empty.
std::u16string hstring_text(HSTRING value, const char* where);

}  // namespace winsim::detail
