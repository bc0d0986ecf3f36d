#include "strings.h"

#include <cstdlib>
#include <cstring>
#include <deque>
#include <new>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "sim_state.h"

namespace winsim::detail {
namespace {

// A BSTR's memory: the byte length in the 32 bits before the text, as on
// Windows, and a terminating NUL after it.
constexpr std::size_t bstr_prefix = 8;
constexpr UINT max_bstr_units = 0x3FFFFFF0;
constexpr std::size_t freed_memory = 65536;

struct Registry {
    std::unordered_set<const void*> live;
    // Recently freed pointers, so that a second free is named for what it is.
    // Each remembers when it was freed: the queue may hold stale entries for
    // an address that was reused and freed again.
    std::unordered_map<const void*, std::uint64_t> freed;
    std::deque<std::pair<const void*, std::uint64_t>> freed_order;
    std::uint64_t frees = 0;

    void forget_freed(const void* p) { freed.erase(p); }
    void remember_freed(const void* p) {
        freed.insert_or_assign(p, ++frees);
        freed_order.emplace_back(p, frees);
        if (freed_order.size() > freed_memory) {
            const auto [oldest, when] = freed_order.front();
            freed_order.pop_front();
            auto found = freed.find(oldest);
            if (found != freed.end() && found->second == when) freed.erase(found);
        }
    }
};

Registry& bstrs() {
    static Registry* const instance = new Registry;
    return *instance;
}

struct HStringData {
    std::u16string text;
};

Registry& hstrings() {
    static Registry* const instance = new Registry;
    return *instance;
}

UINT stored_length(const OLECHAR* text) {
    std::uint32_t bytes;
    std::memcpy(&bytes, reinterpret_cast<const char*>(text) - 4, 4);
    return bytes / 2;
}

BSTR allocate(const OLECHAR* source, UINT units) noexcept {
    if (units > max_bstr_units) return nullptr;
    char* block = static_cast<char*>(std::malloc(bstr_prefix + (std::size_t{units} + 1) * 2));
    if (block == nullptr) return nullptr;
    const std::uint32_t bytes = units * 2;
    std::memset(block, 0, 4);
    std::memcpy(block + 4, &bytes, 4);
    auto* text = reinterpret_cast<OLECHAR*>(block + bstr_prefix);
    if (source != nullptr)
        std::memcpy(text, source, std::size_t{units} * 2);
    else
        std::memset(text, 0, std::size_t{units} * 2);
    text[units] = 0;
    {
        std::lock_guard lock(state_mutex());
        Registry& r = bstrs();
        r.forget_freed(text);
        r.live.insert(text);
    }
    count_born();
    return text;
}

enum class Known { live, freed, unknown };

Known classify(Registry& r, const void* p) {
    if (r.live.contains(p)) return Known::live;
    if (r.freed.contains(p)) return Known::freed;
    return Known::unknown;
}

}  // namespace

BSTR make_bstr(std::u16string_view text) noexcept {
    if (text.size() > max_bstr_units) return nullptr;
    return allocate(text.data(), static_cast<UINT>(text.size()));
}

void free_bstr_quietly(BSTR value) noexcept {
    if (value == nullptr) return;
    {
        std::lock_guard lock(state_mutex());
        Registry& r = bstrs();
        if (r.live.erase(value) == 0) return;
        r.remember_freed(value);
    }
    std::free(reinterpret_cast<char*>(value) - bstr_prefix);
    count_died();
}

HRESULT hand_out_bstr(const std::optional<std::u16string>& text, BSTR* out) noexcept {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (!text) return S_OK;
    *out = make_bstr(*text);
    return *out == nullptr ? E_OUTOFMEMORY : S_OK;
}

std::u16string bstr_text(BSTR value, const char* where) {
    if (value == nullptr) return {};
    Known known;
    {
        std::lock_guard lock(state_mutex());
        known = classify(bstrs(), value);
    }
    switch (known) {
        case Known::live: return std::u16string(value, stored_length(value));
        case Known::freed: report_violation(std::string(where) + " was passed a freed BSTR"); return {};
        case Known::unknown: break;
    }
    report_violation(std::string(where) + " was passed a pointer that is not a BSTR");
    return std::u16string(value);
}

std::u16string hstring_text(HSTRING value, const char* where) {
    if (value == nullptr) return {};
    {
        std::lock_guard lock(state_mutex());
        if (hstrings().live.contains(value)) return reinterpret_cast<const HStringData*>(value)->text;
    }
    report_violation(std::string(where) + " was passed an HSTRING that is not alive");
    return {};
}

}  // namespace winsim::detail

using namespace winsim::detail;

extern "C" {

BSTR WINAPI SysAllocStringLen(const OLECHAR* strIn, UINT ui) {
    log_call("SysAllocStringLen(" + (strIn == nullptr ? std::string() : log_text(std::u16string_view(strIn, ui))) +
             ")");
    if (auto outcome = enter_step(Step::SysAllocStringLen)) {
        if (outcome->fails()) leave_scripted_error(*outcome);
        if (outcome->fails() || outcome->null_out) return nullptr;
    }
    return allocate(strIn, ui);
}

UINT WINAPI SysStringLen(BSTR pbstr) {
    if (pbstr == nullptr) return 0;
    Known known;
    {
        std::lock_guard lock(state_mutex());
        known = classify(bstrs(), pbstr);
    }
    if (known != Known::live) {
        report_violation(known == Known::freed ? "SysStringLen of a freed BSTR"
                                               : "SysStringLen of a pointer that is not a BSTR");
        return 0;
    }
    return stored_length(pbstr);
}

void WINAPI SysFreeString(BSTR bstrString) {
    if (bstrString == nullptr) {
        log_call("SysFreeString(null)");
        return;
    }
    Known known;
    {
        std::lock_guard lock(state_mutex());
        Registry& r = bstrs();
        known = classify(r, bstrString);
        if (known == Known::live) {
            r.live.erase(bstrString);
            r.remember_freed(bstrString);
        }
    }
    switch (known) {
        case Known::live:
            log_call("SysFreeString(" + log_text(std::u16string_view(bstrString, stored_length(bstrString))) + ")");
            std::free(reinterpret_cast<char*>(bstrString) - bstr_prefix);
            count_died();
            return;
        case Known::freed:
            log_call("SysFreeString(<freed>)");
            report_violation("SysFreeString of a BSTR that was already freed");
            return;
        case Known::unknown:
            log_call("SysFreeString(<unknown>)");
            report_violation("SysFreeString of a pointer that is not a BSTR");
            return;
    }
}

HRESULT WINAPI WindowsCreateString(PCNZWCH sourceString, UINT32 length, HSTRING* string) {
    log_call("WindowsCreateString");
    if (string == nullptr) return E_INVALIDARG;
    *string = nullptr;
    if (auto outcome = enter_step(Step::WindowsCreateString)) {
        if (outcome->fails()) {
            leave_scripted_error(*outcome);
            return outcome->hresult;
        }
        if (outcome->null_out) return S_OK;
    }
    if (length == 0) return S_OK;
    if (sourceString == nullptr) return E_POINTER;
    auto* data = new (std::nothrow) HStringData;
    if (data == nullptr) return E_OUTOFMEMORY;
    try {
        data->text.assign(sourceString, length);
    } catch (...) {
        delete data;
        return E_OUTOFMEMORY;
    }
    {
        std::lock_guard lock(state_mutex());
        Registry& r = hstrings();
        r.forget_freed(data);
        r.live.insert(data);
    }
    count_born();
    *string = reinterpret_cast<HSTRING>(data);
    return S_OK;
}

HRESULT WINAPI WindowsDeleteString(HSTRING string) {
    log_call("WindowsDeleteString");
    if (string == nullptr) return S_OK;
    Known known;
    {
        std::lock_guard lock(state_mutex());
        Registry& r = hstrings();
        known = classify(r, string);
        if (known == Known::live) {
            r.live.erase(string);
            r.remember_freed(string);
        }
    }
    if (known != Known::live) {
        report_violation(known == Known::freed ? "WindowsDeleteString of an HSTRING that was already deleted"
                                               : "WindowsDeleteString of a pointer that is not an HSTRING");
        return S_OK;
    }
    delete reinterpret_cast<HStringData*>(string);
    count_died();
    return S_OK;
}

}  // extern "C"
