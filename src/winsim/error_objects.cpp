// Per-thread error objects: plain IErrorInfo objects, restricted ones as
// RoOriginateError leaves them, SetErrorInfo and GetErrorInfo.

#include <new>
#include <optional>
#include <string>
#include <utility>

#include "com_object.h"
#include "sim_state.h"
#include "strings.h"

namespace winsim::detail {
namespace {

const GUID null_guid{};

HRESULT describe(const std::optional<std::u16string>& description, BSTR* out);

// The IErrorInfo methods of both kinds of error object. Derived supplies the
// text that GetDescription hands out.
template <class Derived>
class ErrorInfoFace : public IErrorInfo {
public:
    HRESULT STDMETHODCALLTYPE GetGUID(GUID* pGUID) override {
        if (!self().enter_method("IErrorInfo::GetGUID")) return E_UNEXPECTED;
        if (pGUID == nullptr) return E_INVALIDARG;
        *pGUID = null_guid;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetSource(BSTR* pBstrSource) override {
        if (!self().enter_method("IErrorInfo::GetSource")) return E_UNEXPECTED;
        return hand_out_bstr(std::nullopt, pBstrSource);
    }
    HRESULT STDMETHODCALLTYPE GetDescription(BSTR* pBstrDescription) override {
        if (!self().enter_method("IErrorInfo::GetDescription")) return E_UNEXPECTED;
        return describe(self().error_info_description(), pBstrDescription);
    }
    HRESULT STDMETHODCALLTYPE GetHelpFile(BSTR* pBstrHelpFile) override {
        if (!self().enter_method("IErrorInfo::GetHelpFile")) return E_UNEXPECTED;
        return hand_out_bstr(std::nullopt, pBstrHelpFile);
    }
    HRESULT STDMETHODCALLTYPE GetHelpContext(DWORD* pdwHelpContext) override {
        if (!self().enter_method("IErrorInfo::GetHelpContext")) return E_UNEXPECTED;
        if (pdwHelpContext == nullptr) return E_INVALIDARG;
        *pdwHelpContext = 0;
        return S_OK;
    }

protected:
    ~ErrorInfoFace() = default;

private:
    Derived& self() noexcept { return static_cast<Derived&>(*this); }
};

// GetDescription of either kind, with its scripted outcomes.
HRESULT describe(const std::optional<std::u16string>& description, BSTR* out) {
    if (out != nullptr) *out = nullptr;
    if (auto outcome = enter_step(Step::GetDescription)) {
        if (outcome->fails()) {
            leave_scripted_error(*outcome);
            return outcome->hresult;
        }
        if (outcome->null_out) return S_OK;
        const HRESULT hr = hand_out_bstr(description, out);
        return FAILED(hr) ? hr : outcome->hresult;
    }
    return hand_out_bstr(description, out);
}

class PlainError final : public ErrorInfoFace<PlainError>, public ObjectCore {
public:
    explicit PlainError(std::optional<std::u16string> description)
        : ObjectCore("IErrorInfo", false), description_(std::move(description)) {}

    WINSIM_IUNKNOWN_MEMBERS

    const std::optional<std::u16string>& error_info_description() const noexcept { return description_; }

private:
    void* find_interface(REFIID riid) noexcept {
        if (riid == IID_IUnknown || riid == IID_IErrorInfo) return static_cast<IErrorInfo*>(this);
        return nullptr;
    }

    std::optional<std::u16string> description_;
};

class RestrictedError final : public ErrorInfoFace<RestrictedError>,
                              public IRestrictedErrorInfo,
                              public ILanguageExceptionErrorInfo2,
                              public ObjectCore {
public:
    RestrictedError(std::optional<std::u16string> description, HRESULT code,
                    std::optional<std::u16string> restricted_description)
        : ObjectCore("IRestrictedErrorInfo", false), description_(std::move(description)), code_(code),
          restricted_description_(std::move(restricted_description)) {}

    WINSIM_IUNKNOWN_MEMBERS

    // What its IErrorInfo face describes it with.
    const std::optional<std::u16string>& error_info_description() const noexcept {
        return restricted_description_ ? restricted_description_ : description_;
    }

    // IRestrictedErrorInfo
    HRESULT STDMETHODCALLTYPE GetErrorDetails(BSTR* description, HRESULT* error, BSTR* restrictedDescription,
                                              BSTR* capabilitySid) override {
        if (!enter_method("IRestrictedErrorInfo::GetErrorDetails")) return E_UNEXPECTED;
        if (description == nullptr || error == nullptr || restrictedDescription == nullptr || capabilitySid == nullptr)
            return E_INVALIDARG;
        *description = nullptr;
        *error = 0;
        *restrictedDescription = nullptr;
        *capabilitySid = nullptr;
        std::optional<Outcome> outcome = enter_step(Step::GetErrorDetails);
        if (outcome && outcome->fails()) {
            leave_scripted_error(*outcome);
            return outcome->hresult;
        }
        *error = code_;
        if (outcome && outcome->null_out) return S_OK;
        HRESULT hr = hand_out_bstr(description_, description);
        if (SUCCEEDED(hr)) hr = hand_out_bstr(restricted_description_, restrictedDescription);
        if (FAILED(hr)) {
            release_detail(*description);
            release_detail(*restrictedDescription);
            return hr;
        }
        return outcome ? outcome->hresult : S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetReference(BSTR* reference) override {
        if (!enter_method("IRestrictedErrorInfo::GetReference")) return E_UNEXPECTED;
        return hand_out_bstr(std::nullopt, reference);
    }

    // ILanguageExceptionErrorInfo2
    HRESULT STDMETHODCALLTYPE GetLanguageException(IUnknown** languageException) override {
        if (!enter_method("ILanguageExceptionErrorInfo::GetLanguageException")) return E_UNEXPECTED;
        if (languageException == nullptr) return E_POINTER;
        *languageException = nullptr;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetPreviousLanguageExceptionErrorInfo(ILanguageExceptionErrorInfo2** previous) override {
        if (!enter_method("ILanguageExceptionErrorInfo2::GetPreviousLanguageExceptionErrorInfo")) return E_UNEXPECTED;
        if (previous == nullptr) return E_POINTER;
        *previous = nullptr;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE CapturePropagationContext(IUnknown*) override {
        if (!enter_method("ILanguageExceptionErrorInfo2::CapturePropagationContext")) return E_UNEXPECTED;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetPropagationContextHead(ILanguageExceptionErrorInfo2** head) override {
        if (!enter_method("ILanguageExceptionErrorInfo2::GetPropagationContextHead")) return E_UNEXPECTED;
        if (head == nullptr) return E_POINTER;
        *head = nullptr;
        return S_OK;
    }

private:
    static void release_detail(BSTR& value) {
        free_bstr_quietly(value);
        value = nullptr;
    }

    void* find_interface(REFIID riid) noexcept {
        if (riid == IID_IUnknown || riid == IID_IErrorInfo) return static_cast<IErrorInfo*>(this);
        if (riid == IID_IRestrictedErrorInfo) return static_cast<IRestrictedErrorInfo*>(this);
        if (riid == IID_ILanguageExceptionErrorInfo || riid == IID_ILanguageExceptionErrorInfo2)
            return static_cast<ILanguageExceptionErrorInfo2*>(this);
        return nullptr;
    }

    std::optional<std::u16string> description_;
    HRESULT code_;
    std::optional<std::u16string> restricted_description_;
};

}  // namespace

IErrorInfo* make_error_object(const ErrorObject& error) {
    switch (error.kind) {
        case ErrorObject::Kind::none: return nullptr;
        case ErrorObject::Kind::plain: return new PlainError(error.description);
        case ErrorObject::Kind::restricted:
            return new RestrictedError(error.description, error.code, error.restricted_description);
    }
    return nullptr;
}

// What RoOriginateError leaves: the system text of the code as the
// description and the caller's message, cut to MAX_ERROR_MESSAGE_CHARS, as the
// restricted description.
void originate_restricted_error(HRESULT error, std::u16string message) {
    if (message.size() > MAX_ERROR_MESSAGE_CHARS) message.resize(MAX_ERROR_MESSAGE_CHARS);
    park_error(new RestrictedError(system_message(static_cast<std::uint32_t>(error)), error, std::move(message)));
}

}  // namespace winsim::detail

using namespace winsim::detail;

extern "C" {

HRESULT WINAPI SetErrorInfo(ULONG dwReserved, IErrorInfo* perrinfo) {
    log_call("SetErrorInfo");
    if (dwReserved != 0) return E_INVALIDARG;
    if (perrinfo != nullptr) {
        if (auto* ours = dynamic_cast<ObjectCore*>(perrinfo)) {
            if (ours->is_dead()) {
                report_violation("SetErrorInfo with a released error object");
                return E_INVALIDARG;
            }
            ours->add_ref_quietly();
        } else {
            perrinfo->AddRef();
        }
    }
    park_error(perrinfo);
    return S_OK;
}

HRESULT WINAPI GetErrorInfo(ULONG dwReserved, IErrorInfo** pperrinfo) {
    log_call("GetErrorInfo");
    if (dwReserved != 0 || pperrinfo == nullptr) return E_INVALIDARG;
    *pperrinfo = std::exchange(thread_state().error, nullptr);
    return *pperrinfo == nullptr ? S_FALSE : S_OK;
}

}  // extern "C"
