#include "failures/failure_record.h"

#include <cstdint>
#include <optional>
#include <utility>

namespace velmora {
namespace {

using platform::Bstr;
using platform::ComPtr;
using platform::Utf16;
using platform::Utf16View;

// Published identifiers, spelled out here because not every SDK ships them.
constexpr IID iid_restricted_error_info{
    0x82BA7092, 0x4C88, 0x427D, {0xA7, 0xBC, 0x16, 0xDD, 0x93, 0xFE, 0xB6, 0x7E}};
constexpr IID iid_language_exception_error_info2{
    0x5746E5C4, 0x5B97, 0x424C, {0xB6, 0x20, 0x28, 0x22, 0x91, 0x57, 0x34, 0xDD}};

constexpr DWORD format_message_flags =
    FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;

// A buffer that FormatMessageW allocated for us.
class LocalBuffer {
public:
    LocalBuffer() noexcept = default;
    LocalBuffer(const LocalBuffer&) = delete;
    LocalBuffer& operator=(const LocalBuffer&) = delete;
    ~LocalBuffer() {
        if (text_ != nullptr) LocalFree(text_);
    }
    WCHAR* get() const noexcept { return text_; }
    // FormatMessageW with FORMAT_MESSAGE_ALLOCATE_BUFFER writes the address of
    // its buffer through the pointer it is given as the buffer.
    LPWSTR receive() noexcept { return reinterpret_cast<LPWSTR>(&text_); }

private:
    WCHAR* text_ = nullptr;
};

class Hstring {
public:
    explicit Hstring(Utf16View text) noexcept {
        if (!text.empty() && FAILED(WindowsCreateString(text.data(), static_cast<UINT32>(text.size()), &value_)))
            value_ = nullptr;
    }
    Hstring(const Hstring&) = delete;
    Hstring& operator=(const Hstring&) = delete;
    ~Hstring() {
        if (value_ != nullptr) WindowsDeleteString(value_);
    }
    HSTRING get() const noexcept { return value_; }

private:
    HSTRING value_ = nullptr;
};

// A loaded library, freed again unless kept for the rest of the process.
class Library {
public:
    explicit Library(HMODULE module) noexcept : module_(module) {}
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;
    ~Library() {
        if (module_ != nullptr) FreeLibrary(module_);
    }
    HMODULE get() const noexcept { return module_; }
    void keep() noexcept { module_ = nullptr; }

private:
    HMODULE module_;
};

// RoOriginateError from combase.dll, or null when the library does not load or
// does not export it. The library stays loaded once the function was found,
// since the function pointer must stay valid.
PFN_RoOriginateError find_ro_originate_error() noexcept {
    Library combase(LoadLibraryExA("combase.dll", nullptr, LOAD_LIBRARY_SEARCH_DEFAULT_DIRS));
    if (combase.get() == nullptr) return nullptr;
    FARPROC proc = GetProcAddress(combase.get(), "RoOriginateError");
    if (proc == nullptr) return nullptr;
    combase.keep();
    // Through void(*)(): the generic function pointer type that converts to
    // any other without a cast-function-type complaint.
    return reinterpret_cast<PFN_RoOriginateError>(reinterpret_cast<void (*)()>(proc));
}

ComPtr<IErrorInfo> take_error_info() noexcept {
    ComPtr<IErrorInfo> info;
    if (FAILED(GetErrorInfo(0, info.put()))) info.reset();
    return info;
}

// A plain error object only offers IErrorInfo. Its description is turned into
// a restricted error for the same code, so that one reading path serves both.
ComPtr<IRestrictedErrorInfo> originate_restricted(HRESULT code, ComPtr<IErrorInfo> plain) {
    Utf16 description;
    {
        Bstr text;
        if (SUCCEEDED(plain->GetDescription(text.put()))) description.assign(text.view());
    }
    plain.reset();

    PFN_RoOriginateError ro_originate_error = find_ro_originate_error();
    if (ro_originate_error == nullptr) return nullptr;
    {
        Hstring message(description);
        ro_originate_error(code, message.get());
    }
    return take_error_info().query<IRestrictedErrorInfo>(iid_restricted_error_info);
}

Utf16 system_message(HRESULT code) {
    LocalBuffer buffer;
    const DWORD length = FormatMessageW(format_message_flags, nullptr, static_cast<DWORD>(code), 0,
                                        buffer.receive(), 0, nullptr);
    if (length == 0 || buffer.get() == nullptr) return {};
    return Utf16(trim_end(Utf16View(buffer.get(), length)));
}

constexpr bool is_trailing_space(WCHAR unit) noexcept {
    return unit == 0x20 || (unit >= 0x09 && unit <= 0x0D);
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

}  // namespace

std::string to_utf8(Utf16View text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char32_t unit = static_cast<std::uint16_t>(text[i]);
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size()) {
            const char32_t next = static_cast<std::uint16_t>(text[i + 1]);
            if (next >= 0xDC00 && next <= 0xDFFF) {
                append_utf8(out, 0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00));
                ++i;
                continue;
            }
        }
        append_utf8(out, unit >= 0xD800 && unit <= 0xDFFF ? U'\uFFFD' : unit);
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

Error Error::from_hresult(HRESULT code) noexcept {
    ComPtr<IErrorInfo> info = take_error_info();
    if (!info) return Error(code);

    if (auto restricted = info.query<IRestrictedErrorInfo>(iid_restricted_error_info)) {
        info.reset();
        if (auto language = restricted.query<ILanguageExceptionErrorInfo2>(iid_language_exception_error_info2))
            language->CapturePropagationContext(nullptr);
        return Error(code, std::move(restricted));
    }
    return Error(code, originate_restricted(code, std::move(info)));
}

namespace {

// The text of a restricted error object when its details carry `code`;
// nothing when they carry another code, so that the caller falls back to the
// system message table.
std::optional<Utf16> restricted_message(IRestrictedErrorInfo& info, HRESULT code) {
    Bstr description;
    HRESULT details_code = S_OK;
    Bstr restricted_description;
    Bstr capability_sid;
    // The result is deliberately not checked: a failing call leaves its
    // outputs empty, and an error code of 0 never matches a failed call.
    info.GetErrorDetails(description.put(), &details_code, restricted_description.put(), capability_sid.put());
    capability_sid.reset();
    if (details_code != code) return std::nullopt;
    const Bstr& source = restricted_description.length() > 0 ? restricted_description : description;
    return Utf16(trim_end(source.view()));
}

}  // namespace

Utf16 Error::message() const {
    if (restricted_info_) {
        if (auto text = restricted_message(*restricted_info_.get(), code_)) return std::move(*text);
    }
    return system_message(code_);
}

std::string Error::display_text() const {
    const Utf16 text = message();
    if (text.empty()) return format_hresult(code_);
    return to_utf8(text) + " (" + format_hresult(code_) + ")";
}

std::string Error::diagnostic() const {
    return "Error { code: HRESULT(" + format_hresult(code_) + "), message: \"" + to_utf8(message()) + "\" }";
}

TaskFailure TaskFailure::from_error(Error error, std::string_view step) noexcept {
    TaskFailure failure{error.display_text(), step, error.code()};
    Error dropped = std::move(error);
    return failure;
}

}  // namespace velmora
