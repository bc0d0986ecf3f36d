// "combase.dll" as LoadLibraryExA and GetProcAddress find it, and the
// RoOriginateError it exports.

#include <cctype>
#include <cstring>
#include <string>

#include "sim_state.h"
#include "strings.h"

namespace winsim::detail {

namespace {

struct Loader {
    bool loads = true;
    bool has_ro_originate_error = true;
    long load_count = 0;
};

Loader& loader() {
    static auto* const instance = new Loader;
    return *instance;
}

// Stands for the module's base address; only its identity matters.
char combase_image;

HMODULE combase_handle() noexcept { return reinterpret_cast<HMODULE>(&combase_image); }

bool names_combase(const char* name) {
    std::string lowered;
    for (const char* p = name; *p != 0; ++p) lowered += static_cast<char>(std::tolower(static_cast<unsigned char>(*p)));
    return lowered == "combase.dll" || lowered == "combase";
}

// A success code originates nothing and gives FALSE, as on Windows.
BOOL WINAPI ro_originate_error(HRESULT error, HSTRING message) {
    log_call("RoOriginateError");
    std::u16string text = hstring_text(message, "RoOriginateError");
    if (error >= 0) return FALSE;
    originate_restricted_error(error, std::move(text));
    return TRUE;
}

}  // namespace

void reset_loader() {
    std::lock_guard lock(state_mutex());
    loader().loads = true;
    loader().has_ro_originate_error = true;
}

}  // namespace winsim::detail

void winsim::set_combase(bool loads, bool has_ro_originate_error) {
    using namespace winsim::detail;
    std::lock_guard lock(state_mutex());
    loader().loads = loads;
    loader().has_ro_originate_error = has_ro_originate_error;
}

using namespace winsim::detail;

extern "C" {

HMODULE WINAPI LoadLibraryExA(LPCSTR lpLibFileName, HANDLE hFile, DWORD) {
    log_call("LoadLibraryExA");
    if (lpLibFileName == nullptr || hFile != nullptr) return nullptr;
    if (!names_combase(lpLibFileName)) return nullptr;
    std::lock_guard lock(state_mutex());
    if (!loader().loads) return nullptr;
    ++loader().load_count;
    return combase_handle();
}

FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
    log_call("GetProcAddress");
    if (hModule != combase_handle() || lpProcName == nullptr) return nullptr;
    // Lookups by ordinal pass a small integer in place of the name.
    if (reinterpret_cast<std::uintptr_t>(lpProcName) <= 0xFFFF) return nullptr;
    {
        std::lock_guard lock(state_mutex());
        if (loader().load_count <= 0) {
            // Fall through to the report below, outside the lock.
        } else if (std::strcmp(lpProcName, "RoOriginateError") == 0) {
            if (!loader().has_ro_originate_error) return nullptr;
            return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&ro_originate_error));
        } else {
            return nullptr;
        }
    }
    report_violation("GetProcAddress on combase.dll after it was freed");
    return nullptr;
}

BOOL WINAPI FreeLibrary(HMODULE hLibModule) {
    log_call("FreeLibrary");
    {
        std::lock_guard lock(state_mutex());
        if (hLibModule == combase_handle() && loader().load_count > 0) {
            --loader().load_count;
            return TRUE;
        }
    }
    report_violation("FreeLibrary of a module that is not loaded");
    return FALSE;
}

}  // extern "C"
