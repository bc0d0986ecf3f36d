#include "scheduler/session.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

#include "failures/internal_fault.h"
#include "platform/attributes.h"

namespace velmora::scheduler {
namespace {

using platform::Bstr;
using platform::ComInit;
using platform::ComPtr;
using platform::Utf16;
using platform::Utf16View;

constexpr CLSID clsid_task_scheduler{
    0x0F87369F, 0xA4E5, 0x4CFC, {0xBD, 0x3E, 0x73, 0xE6, 0x15, 0x45, 0x72, 0xDD}};
constexpr IID iid_task_service{0x2FABA4C7, 0x4DA9, 0x4013, {0x96, 0x97, 0x20, 0xCC, 0x3F, 0xD4, 0x0F, 0x85}};

constexpr std::string_view root_folder_path{"\\"};
constexpr std::string_view unwrap_failed{"called `Result::unwrap()` on an `Err` value: "};

std::unexpected<TaskFailure> fail(Error error, std::string_view step) noexcept {
    return std::unexpected(TaskFailure::from_error(std::move(error), step));
}

[[noreturn]] VELMORA_COLD void raise_bstr_fault(const Error& error) {
    raise_internal_fault(std::string(unwrap_failed) + error.diagnostic());
}

// Length of the UTF-8 sequence that starts with `lead` and the bounds of its
// second byte, which rule out overlong forms, surrogates and values above
// U+10FFFF; 0 for a byte that cannot start a sequence.
struct SequenceShape {
    int length;
    unsigned char second_min;
    unsigned char second_max;
};

constexpr SequenceShape shape_of(unsigned char lead) noexcept {
    if (lead >= 0xC2 && lead <= 0xDF) return {2, 0x80, 0xBF};
    if (lead == 0xE0) return {3, 0xA0, 0xBF};
    if (lead == 0xED) return {3, 0x80, 0x9F};
    if (lead >= 0xE1 && lead <= 0xEF) return {3, 0x80, 0xBF};
    if (lead == 0xF0) return {4, 0x90, 0xBF};
    if (lead >= 0xF1 && lead <= 0xF3) return {4, 0x80, 0xBF};
    if (lead == 0xF4) return {4, 0x80, 0x8F};
    return {0, 0, 0};
}

void append_utf16(Utf16& out, char32_t code_point) {
    if (code_point < 0x10000) {
        out.push_back(static_cast<WCHAR>(code_point));
    } else {
        code_point -= 0x10000;
        out.push_back(static_cast<WCHAR>(0xD800 + (code_point >> 10)));
        out.push_back(static_cast<WCHAR>(0xDC00 + (code_point & 0x3FF)));
    }
}

}  // namespace

Utf16 to_utf16(std::string_view text) {
    Utf16 out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        if (lead < 0x80) {
            out.push_back(static_cast<WCHAR>(lead));
            ++i;
            continue;
        }
        const SequenceShape shape = shape_of(lead);
        bool valid = shape.length != 0 && text.size() - i >= static_cast<std::size_t>(shape.length);
        char32_t code_point = lead & (0x7F >> shape.length);
        for (int k = 1; valid && k < shape.length; ++k) {
            const auto byte = static_cast<unsigned char>(text[i + k]);
            const unsigned char min = k == 1 ? shape.second_min : 0x80;
            const unsigned char max = k == 1 ? shape.second_max : 0xBF;
            valid = byte >= min && byte <= max;
            code_point = (code_point << 6) | (byte & 0x3F);
        }
        if (valid) {
            append_utf16(out, code_point);
            i += static_cast<std::size_t>(shape.length);
        } else {
            out.push_back(static_cast<WCHAR>(0xFFFD));
            ++i;
        }
    }
    return out;
}

Bstr make_bstr(Utf16View units) {
    if (units.empty()) return {};
    if (units.size() > 0xFFFFFFFFu) raise_bstr_fault(Error::without_info(E_INVALIDARG));
    Bstr bstr(SysAllocStringLen(units.data(), static_cast<UINT>(units.size())));
    if (!bstr || bstr.length() == 0) {
        const Error error = Error::from_hresult(E_OUTOFMEMORY);
        bstr.reset();
        raise_bstr_fault(error);
    }
    return bstr;
}

Bstr to_bstr(std::string_view text) {
    return make_bstr(to_utf16(text));
}

VARIANT empty_variant() noexcept {
    VARIANT variant;
    std::memset(&variant, 0, sizeof variant);
    return variant;
}

std::expected<SchedulerSession, TaskFailure> SchedulerSession::open() {
    ComInit com_init;
    const HRESULT joined = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (SUCCEEDED(joined)) {
        com_init = ComInit::adopt();
    } else {
        // Captured even when tolerated: it takes the error object off the thread.
        Error error = Error::from_hresult(joined);
        if (joined != RPC_E_CHANGED_MODE) return fail(std::move(error), step::co_initialize_ex);
    }

    ComPtr<ITaskService> service;
    const HRESULT created =
        CoCreateInstance(clsid_task_scheduler, nullptr, CLSCTX_INPROC_SERVER, iid_task_service, service.put_void());
    if (auto error = interface_failure(created, service)) return fail(std::move(*error), step::co_create_instance);

    const HRESULT connected = service->Connect(empty_variant(), empty_variant(), empty_variant(), empty_variant());
    if (FAILED(connected)) return fail(Error::from_hresult(connected), step::connect);

    Bstr path = to_bstr(root_folder_path);
    ComPtr<ITaskFolder> root_folder;
    const HRESULT fetched = service->GetFolder(path.get(), root_folder.put());
    if (auto error = interface_failure(fetched, root_folder)) return fail(std::move(*error), step::get_folder);
    path.reset();

    return SchedulerSession(std::move(com_init), std::move(service), std::move(root_folder));
}

void SchedulerSession::close() noexcept {
    root_folder_.reset();
    service_.reset();
    com_init_.reset();
}

}  // namespace velmora::scheduler
