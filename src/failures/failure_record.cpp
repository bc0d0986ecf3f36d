#include "failures/failure_record.h"

#include <new>
#include <optional>
#include <utility>

#include "platform/bstr.h"
#include "platform/unique_handle.h"

namespace velmora::failures {
namespace {

using platform::Bstr;
using platform::ComPtr;
using platform::format_hresult;
using platform::to_utf8;
using platform::trim_end;
using platform::Utf16;
using platform::Utf16View;

// Published identifiers, spelled out here because not every SDK ships them.
constexpr IID iid_restricted_error_info{0x82BA7092, 0x4C88, 0x427D, {0xA7, 0xBC, 0x16, 0xDD, 0x93, 0xFE, 0xB6, 0x7E}};
constexpr IID iid_language_exception_error_info2{
    0x5746E5C4, 0x5B97, 0x424C, {0xB6, 0x20, 0x28, 0x22, 0x91, 0x57, 0x34, 0xDD}};

constexpr DWORD format_message_flags =
    FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;

struct LocalFreeText {
    void operator()(WCHAR* text) const noexcept { LocalFree(text); }
};
struct DeleteHstring {
    void operator()(HSTRING text) const noexcept { WindowsDeleteString(text); }
};
struct FreeLibraryHandle {
    void operator()(HMODULE module) const noexcept { FreeLibrary(module); }
};

// A buffer that FormatMessageW allocated for us.
using LocalText = platform::UniqueHandle<WCHAR*, LocalFreeText>;
using Hstring = platform::UniqueHandle<HSTRING, DeleteHstring>;
// A loaded library, freed again unless released for the rest of the process.
using Library = platform::UniqueHandle<HMODULE, FreeLibraryHandle>;

// The description as an HSTRING, null for an empty one; nothing when the
// string cannot be made.
std::optional<Hstring> make_hstring(Utf16View text) noexcept {
    Hstring value;
    if (!text.empty() && FAILED(WindowsCreateString(text.data(), static_cast<UINT32>(text.size()), value.put())))
        return std::nullopt;
    return value;
}

// RoOriginateError from combase.dll, or null when the library does not load or
// does not export it. The library stays loaded once the function was found,
// since the function pointer must stay valid.
PFN_RoOriginateError find_ro_originate_error() noexcept {
    Library combase(LoadLibraryExA("combase.dll", nullptr, LOAD_LIBRARY_SEARCH_DEFAULT_DIRS));
    if (combase.get() == nullptr) return nullptr;
    FARPROC proc = GetProcAddress(combase.get(), "RoOriginateError");
    if (proc == nullptr) return nullptr;
    (void)combase.release();
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
// Null when that cannot be done: RoOriginateError is missing, the description
// cannot be copied or made into an HSTRING, or no restricted error follows.
ComPtr<IRestrictedErrorInfo> originate_restricted(HRESULT code, ComPtr<IErrorInfo> plain) noexcept {
    std::optional<Utf16> description;
    {
        Bstr text;
        const HRESULT read = plain->GetDescription(text.put());
        try {
            description.emplace(SUCCEEDED(read) ? text.view() : Utf16View());
        } catch (const std::bad_alloc&) {
            // No copy of the description: nothing to originate from.
        }
    }
    plain.reset();
    if (!description) return nullptr;

    PFN_RoOriginateError ro_originate_error = find_ro_originate_error();
    if (ro_originate_error == nullptr) return nullptr;
    {
        std::optional<Hstring> message = make_hstring(*description);
        if (!message) return nullptr;
        ro_originate_error(code, message->get());
    }
    return take_error_info().try_query<IRestrictedErrorInfo>(iid_restricted_error_info);
}

Utf16 system_message(HRESULT code) {
    LocalText buffer;
    // With FORMAT_MESSAGE_ALLOCATE_BUFFER, FormatMessageW writes the address of
    // the buffer it allocates through the pointer given as the buffer.
    const DWORD length = FormatMessageW(format_message_flags, nullptr, static_cast<DWORD>(code), 0,
                                        reinterpret_cast<LPWSTR>(buffer.put()), 0, nullptr);
    if (length == 0 || buffer.get() == nullptr) return {};
    return Utf16(trim_end(Utf16View(buffer.get(), length)));
}

}  // namespace

Error Error::from_hresult(HRESULT code) noexcept {
    ComPtr<IErrorInfo> info = take_error_info();
    if (!info) return Error(code);

    if (auto restricted = info.try_query<IRestrictedErrorInfo>(iid_restricted_error_info)) {
        info.reset();
        if (auto language = restricted.try_query<ILanguageExceptionErrorInfo2>(iid_language_exception_error_info2))
            language->CapturePropagationContext(nullptr);
        return Error(code, std::move(restricted));
    }
    return Error(code, originate_restricted(code, std::move(info)));
}

void Error::discard_stale() noexcept { ComPtr<IErrorInfo> stale = take_error_info(); }

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

Utf16 Error::message() const noexcept {
    try {
        if (restricted_info_) {
            if (auto text = restricted_message(*restricted_info_.get(), code_)) return std::move(*text);
        }
        return system_message(code_);
    } catch (const std::bad_alloc&) {
        return {};
    }
}

std::string Error::display_text() const noexcept {
    try {
        if (const Utf16 text = message(); !text.empty()) return to_utf8(text) + " (" + format_hresult(code_) + ")";
    } catch (const std::bad_alloc&) {
        // No memory to compose the text: the code alone, as for no message.
    }
    // Ten characters: within the short-string buffer of every standard
    // library, so this makes no allocation.
    return format_hresult(code_);
}

std::string Error::diagnostic() const {
    return "Error { code: HRESULT(" + format_hresult(code_) + "), message: \"" + to_utf8(message()) + "\" }";
}

TaskFailure TaskFailure::from_error(Error error, std::string_view label) noexcept {
    TaskFailure failure{error.display_text(), label, error.code()};
    Error dropped = std::move(error);
    return failure;
}

}  // namespace velmora::failures
