// The system message table and FormatMessageW over it, with LocalFree for the
// buffers it allocates.

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <unordered_set>

#include "sim_state.h"

namespace winsim::detail {
namespace {

struct MessageEntry {
    std::uint32_t code;
    const char16_t* text;
};

// The English texts of Windows' system message table, byte for byte, with
// the "\r\n" that every entry of a message table ends with. Win32 codes are
// listed both plainly and in their HRESULT form, as FormatMessageW finds both.
constexpr MessageEntry default_messages[] = {
    {0x00000000, u"The operation completed successfully.\r\n"},
    {0x00000002, u"The system cannot find the file specified.\r\n"},
    {0x00000003, u"The system cannot find the path specified.\r\n"},
    {0x00000005, u"Access is denied.\r\n"},
    {0x00000006, u"The handle is invalid.\r\n"},
    {0x00000008, u"Not enough memory resources are available to process this command.\r\n"},
    {0x0000000E, u"Not enough memory resources are available to complete this operation.\r\n"},
    {0x00000057, u"The parameter is incorrect.\r\n"},
    {0x0000007B, u"The filename, directory name, or volume label syntax is incorrect.\r\n"},
    {0x00000091, u"The directory is not empty.\r\n"},
    {0x000000B7, u"Cannot create a file when that file already exists.\r\n"},
    {0x000004E3, u"This operation is supported only when you are connected to the server.\r\n"},
    {0x000006BA, u"The RPC server is unavailable.\r\n"},
    {0x000006F4, u"A null reference pointer was passed to the stub.\r\n"},
    {0x80004001, u"Not implemented\r\n"},
    {0x80004002, u"No such interface supported\r\n"},
    {0x80004003, u"Invalid pointer\r\n"},
    {0x80004004, u"Operation aborted\r\n"},
    {0x80004005, u"Unspecified error\r\n"},
    {0x8000FFFF, u"Catastrophic failure\r\n"},
    {0x80010106, u"Cannot change thread mode after it is set.\r\n"},
    {0x80040110, u"Class does not support aggregation (or class object is remote)\r\n"},
    {0x80040154, u"Class not registered\r\n"},
    {0x800401F0, u"CoInitialize has not been called.\r\n"},
    {0x80041316, u"The task XML contains an unexpected node.\r\n"},
    {0x80041317, u"The task XML contains an element or attribute from an unexpected namespace.\r\n"},
    {0x80041318, u"The task XML contains a value which is incorrectly formatted or out of range.\r\n"},
    {0x80041319, u"The task XML is missing a required element or attribute.\r\n"},
    {0x8004131A, u"The task XML is malformed.\r\n"},
    {0x8004131D, u"The task XML contains too many nodes of the same type.\r\n"},
    {0x80070002, u"The system cannot find the file specified.\r\n"},
    {0x80070003, u"The system cannot find the path specified.\r\n"},
    {0x80070005, u"Access is denied.\r\n"},
    {0x80070006, u"The handle is invalid.\r\n"},
    {0x80070008, u"Not enough memory resources are available to process this command.\r\n"},
    {0x8007000E, u"Not enough memory resources are available to complete this operation.\r\n"},
    {0x80070057, u"The parameter is incorrect.\r\n"},
    {0x8007007B, u"The filename, directory name, or volume label syntax is incorrect.\r\n"},
    {0x80070091, u"The directory is not empty.\r\n"},
    {0x800700B7, u"Cannot create a file when that file already exists.\r\n"},
    {0x800704E3, u"This operation is supported only when you are connected to the server.\r\n"},
    {0x800706BA, u"The RPC server is unavailable.\r\n"},
    {0x800706F4, u"A null reference pointer was passed to the stub.\r\n"},
};

std::map<std::uint32_t, std::u16string> default_table() {
    std::map<std::uint32_t, std::u16string> table;
    for (const MessageEntry& entry : default_messages) table.emplace(entry.code, entry.text);
    return table;
}

std::map<std::uint32_t, std::u16string>& table() {
    static auto* const instance = new std::map<std::uint32_t, std::u16string>(default_table());
    return *instance;
}

std::unordered_set<void*>& local_blocks() {
    static auto* const instance = new std::unordered_set<void*>;
    return *instance;
}

constexpr DWORD supported_flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                                  FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_FROM_SYSTEM |
                                  FORMAT_MESSAGE_ARGUMENT_ARRAY | FORMAT_MESSAGE_MAX_WIDTH_MASK;

}  // namespace

std::optional<std::u16string> system_message(std::uint32_t code) {
    std::lock_guard lock(state_mutex());
    auto found = table().find(code);
    if (found == table().end()) return std::nullopt;
    return found->second;
}

void reset_messages() {
    auto fresh = default_table();
    std::lock_guard lock(state_mutex());
    table().swap(fresh);
}

}  // namespace winsim::detail

void winsim::set_message(std::uint32_t code, std::optional<std::u16string> text) {
    using namespace winsim::detail;
    std::lock_guard lock(state_mutex());
    if (text)
        table().insert_or_assign(code, std::move(*text));
    else
        table().erase(code);
}

using namespace winsim::detail;

extern "C" {

// Inserts are not expanded: none of the table's texts has any, and the code
// always passes FORMAT_MESSAGE_IGNORE_INSERTS.
DWORD WINAPI FormatMessageW(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD, LPWSTR lpBuffer, DWORD nSize,
                            va_list*) {
    log_call("FormatMessageW");
    if ((dwFlags & ~supported_flags) != 0) return 0;
    std::optional<std::u16string> text;
    if ((dwFlags & FORMAT_MESSAGE_FROM_STRING) != 0) {
        if (lpSource == nullptr) return 0;
        text = std::u16string(static_cast<const char16_t*>(lpSource));
    } else if ((dwFlags & FORMAT_MESSAGE_FROM_SYSTEM) != 0) {
        text = system_message(dwMessageId);
    }
    if (!text || text->empty()) return 0;
    const std::size_t units = text->size();
    if ((dwFlags & FORMAT_MESSAGE_ALLOCATE_BUFFER) != 0) {
        if (lpBuffer == nullptr) return 0;
        auto** out = reinterpret_cast<LPWSTR*>(lpBuffer);
        *out = nullptr;
        const std::size_t capacity = std::max<std::size_t>(units + 1, nSize);
        auto* block = static_cast<WCHAR*>(std::calloc(capacity, sizeof(WCHAR)));
        if (block == nullptr) return 0;
        std::memcpy(block, text->data(), units * sizeof(WCHAR));
        {
            std::lock_guard lock(state_mutex());
            local_blocks().insert(block);
        }
        count_born();
        *out = block;
        return static_cast<DWORD>(units);
    }
    if (lpBuffer == nullptr || nSize < units + 1) return 0;
    std::memcpy(lpBuffer, text->data(), units * sizeof(WCHAR));
    lpBuffer[units] = 0;
    return static_cast<DWORD>(units);
}

HLOCAL WINAPI LocalFree(HLOCAL hMem) {
    log_call("LocalFree");
    if (hMem == nullptr) return nullptr;
    bool known;
    {
        std::lock_guard lock(state_mutex());
        known = local_blocks().erase(hMem) == 1;
    }
    if (!known) {
        report_violation("LocalFree of a pointer that LocalAlloc did not hand out, or already freed");
        return hMem;
    }
    std::free(hMem);
    count_died();
    return nullptr;
}

}  // extern "C"
