// The COM runtime: per-thread apartments with their initialisation count, and
// CoCreateInstance of the one class the platform registers.

#include "sim_state.h"

using namespace winsim;
using namespace winsim::detail;

extern "C" {

HRESULT WINAPI CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit) {
    log_call("CoInitializeEx");
    const std::optional<Outcome> outcome = enter_step(Step::CoInitializeEx);
    if (outcome && outcome->fails()) {
        leave_scripted_error(*outcome);
        return outcome->hresult;
    }
    if (pvReserved != nullptr) return E_INVALIDARG;
    const Apartment wanted = (dwCoInit & COINIT_APARTMENTTHREADED) != 0 ? Apartment::sta : Apartment::mta;
    ThreadState& t = thread_state();
    HRESULT hr;
    if (t.depth == 0) {
        t.apartment = wanted;
        t.depth = 1;
        hr = S_OK;
    } else if (t.apartment == wanted) {
        ++t.depth;
        hr = S_FALSE;
    } else {
        return RPC_E_CHANGED_MODE;
    }
    return outcome ? outcome->hresult : hr;
}

void WINAPI CoUninitialize() {
    log_call("CoUninitialize");
    ThreadState& t = thread_state();
    if (t.depth == 0) {
        report_violation("CoUninitialize without a matching CoInitializeEx");
        return;
    }
    if (--t.depth == 0) t.apartment = Apartment::none;
}

HRESULT WINAPI CoCreateInstance(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD dwClsContext, REFIID riid, LPVOID* ppv) {
    log_call("CoCreateInstance");
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    const std::optional<Outcome> outcome = enter_step(Step::CoCreateInstance);
    if (outcome && outcome->fails()) {
        leave_scripted_error(*outcome);
        return outcome->hresult;
    }
    if (outcome && outcome->null_out) return S_OK;
    if (!thread_has_apartment()) return CO_E_NOTINITIALIZED;
    if (rclsid != CLSID_TaskScheduler || (dwClsContext & CLSCTX_INPROC_SERVER) == 0) return REGDB_E_CLASSNOTREG;
    if (pUnkOuter != nullptr) return CLASS_E_NOAGGREGATION;
    const HRESULT hr = create_task_service(riid, ppv);
    if (FAILED(hr)) return hr;
    return outcome ? outcome->hresult : hr;
}

}  // extern "C"
