#pragma once

#include <string>
#include <string_view>
#include <utility>

#include "platform/platform.h"

namespace velmora::platform {

// UTF-16 text in the platform's code unit type (char16_t off Windows, wchar_t
// on Windows; 16-bit either way).
using Utf16 = std::basic_string<WCHAR>;
using Utf16View = std::basic_string_view<WCHAR>;

// An owned BSTR. A null BSTR is the empty string and is never handed to
// SysFreeString.
class Bstr {
public:
    Bstr() noexcept = default;
    explicit Bstr(BSTR value) noexcept : value_(value) {}
    Bstr(Bstr&& other) noexcept : value_(std::exchange(other.value_, nullptr)) {}
    Bstr& operator=(Bstr&& other) noexcept {
        if (this != &other) {
            reset();
            value_ = std::exchange(other.value_, nullptr);
        }
        return *this;
    }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    ~Bstr() { reset(); }

    BSTR get() const noexcept { return value_; }
    explicit operator bool() const noexcept { return value_ != nullptr; }

    BSTR* put() noexcept {
        reset();
        return &value_;
    }

    void reset() noexcept {
        if (BSTR value = std::exchange(value_, nullptr)) SysFreeString(value);
    }

    // Length in UTF-16 code units; 0 for a null BSTR.
    UINT length() const noexcept { return value_ == nullptr ? 0 : SysStringLen(value_); }
    Utf16View view() const noexcept { return {value_, length()}; }

private:
    BSTR value_ = nullptr;
};

}  // namespace velmora::platform
