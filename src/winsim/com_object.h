#pragma once
// Reference counting shared by every simulated COM object.

#include <atomic>
#include <string>

#include "sim_state.h"

namespace winsim::detail {

// A released object is not freed at once: it stays readable in a bounded
// graveyard so that a call through a dangling pointer reaches our code and is
// reported as misuse instead of corrupting the process.
class Buried {
public:
    virtual ~Buried() = default;
};
void bury(Buried* object) noexcept;

class ObjectCore : public Buried {
public:
    // `kind` names the object in the log; `needs_apartment` makes calls on a
    // thread without a COM apartment count as misuse.
    ObjectCore(const char* kind, bool needs_apartment) noexcept;

    const char* kind() const noexcept { return kind_; }
    bool is_dead() const noexcept { return dead_.load(std::memory_order_acquire); }

    ULONG add_ref_logged() noexcept;
    ULONG release_logged() noexcept;
    // The runtime's own references (parking an error object, handing out an
    // interface from QueryInterface): not calls of the program, so not logged.
    void add_ref_quietly() noexcept;
    void release_quietly() noexcept;

    // Logs "Interface::Method" and reports a call on a released object or
    // outside an apartment. False when the object is dead.
    bool enter_method(const char* interface_and_method) noexcept;
    // Logs the call; false (reported) when the object is dead.
    bool enter_query_interface() noexcept;

private:
    ULONG drop() noexcept;

    const char* kind_;
    bool needs_apartment_;
    std::atomic<ULONG> refs_{1};
    std::atomic<bool> dead_{false};
};

}  // namespace winsim::detail

// The IUnknown members of a concrete object, forwarding to its ObjectCore.
#define WINSIM_IUNKNOWN_MEMBERS                                                        \
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {       \
        if (ppv == nullptr) return enter_query_interface() ? E_POINTER : E_UNEXPECTED; \
        *ppv = nullptr;                                                                \
        if (!enter_query_interface()) return E_UNEXPECTED;                             \
        *ppv = find_interface(riid);                                                   \
        if (*ppv == nullptr) return E_NOINTERFACE;                                     \
        add_ref_quietly();                                                             \
        return S_OK;                                                                   \
    }                                                                                  \
    ULONG STDMETHODCALLTYPE AddRef() override { return add_ref_logged(); }             \
    ULONG STDMETHODCALLTYPE Release() override { return release_logged(); }

// IDispatch is offered by the scheduler's objects but never used here.
#define WINSIM_IDISPATCH_MEMBERS                                                                                      \
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* pctinfo) override {                                              \
        if (pctinfo != nullptr) *pctinfo = 0;                                                                         \
        return S_OK;                                                                                                  \
    }                                                                                                                 \
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** ppTInfo) override {                                 \
        if (ppTInfo != nullptr) *ppTInfo = nullptr;                                                                   \
        return E_NOTIMPL;                                                                                             \
    }                                                                                                                 \
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }    \
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override { \
        return E_NOTIMPL;                                                                                             \
    }
