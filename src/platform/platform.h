#pragma once
// The platform boundary: the only way the scheduler and failure code see
// Windows. On Windows it is the SDK; elsewhere it is our simulation, which
// declares the same names with the same shapes.

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
// windows.h first, on its own: the SDK's other headers take its declarations.
#include <windows.h>

#include <objbase.h>
#include <oleauto.h>
#include <taskschd.h>
#include <winstring.h>

#if __has_include(<restrictederrorinfo.h>)
// Declares IRestrictedErrorInfo and ILanguageExceptionErrorInfo(2).
#include <restrictederrorinfo.h>
#else
// Not shipped by every toolchain (mingw-w64 lacks it): the published layouts.
MIDL_INTERFACE("82BA7092-4C88-427D-A7BC-16DD93FEB67E") IRestrictedErrorInfo : public IUnknown {
public:
    virtual HRESULT STDMETHODCALLTYPE GetErrorDetails(BSTR* description, HRESULT* error, BSTR* restrictedDescription,
                                                      BSTR* capabilitySid) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetReference(BSTR* reference) = 0;
};
MIDL_INTERFACE("04A2DBF3-DF83-116C-0946-0812ABF6E07D") ILanguageExceptionErrorInfo : public IUnknown {
public:
    virtual HRESULT STDMETHODCALLTYPE GetLanguageException(IUnknown** languageException) = 0;
};
MIDL_INTERFACE("5746E5C4-5B97-424C-B620-2822915734DD") ILanguageExceptionErrorInfo2 : public ILanguageExceptionErrorInfo {
public:
    virtual HRESULT STDMETHODCALLTYPE
    GetPreviousLanguageExceptionErrorInfo(ILanguageExceptionErrorInfo2** previousLanguageExceptionErrorInfo) = 0;
    virtual HRESULT STDMETHODCALLTYPE CapturePropagationContext(IUnknown* languageException) = 0;
    virtual HRESULT STDMETHODCALLTYPE
    GetPropagationContextHead(ILanguageExceptionErrorInfo2** propagatedLanguageExceptionErrorInfoHead) = 0;
};
#endif

#if __has_include(<roerrorapi.h>)
#include <roerrorapi.h>
#endif

using PFN_RoOriginateError = BOOL(WINAPI*)(HRESULT error, HSTRING message);

#else
#include <winsim/windows.h>
#endif

#include <cstddef>

namespace velmora::platform {

static_assert(sizeof(WCHAR) == 2, "UTF-16 code units are 16-bit");

// Writes bytes straight to the process's standard error handle, unbuffered,
// bypassing any language runtime's buffering. Failures are ignored: there is
// nowhere left to report them.
void write_stderr(const char* data, std::size_t size) noexcept;

}  // namespace velmora::platform
