#include "scheduler/session.h"

#include <string>
#include <utility>

#include "failures/internal_fault.h"
#include "platform/attributes.h"
#include "platform/text.h"

namespace velmora::scheduler {
namespace {

using failures::Error;
using failures::step_failed;
using failures::TaskFailure;
using failures::throw_internal_fault;
using platform::Bstr;
using platform::ComInit;
using platform::ComPtr;
using platform::empty_variant;
namespace step = failures::step;

constexpr CLSID clsid_task_scheduler{0x0F87369F, 0xA4E5, 0x4CFC, {0xBD, 0x3E, 0x73, 0xE6, 0x15, 0x45, 0x72, 0xDD}};
constexpr IID iid_task_service{0x2FABA4C7, 0x4DA9, 0x4013, {0x96, 0x97, 0x20, 0xCC, 0x3F, 0xD4, 0x0F, 0x85}};

constexpr std::string_view root_folder_path{"\\"};
constexpr std::string_view unwrap_failed{"called `Result::unwrap()` on an `Err` value: "};

[[noreturn]] VELMORA_COLD void throw_bstr_fault(const Error& error) {
    throw_internal_fault(std::string(unwrap_failed) + error.diagnostic());
}

}  // namespace

Bstr make_bstr(platform::Utf16View units) {
    if (units.empty()) return {};
    if (units.size() > 0xFFFFFFFFu) throw_bstr_fault(Error::without_info(E_INVALIDARG));
    Bstr bstr(SysAllocStringLen(units.data(), static_cast<UINT>(units.size())));
    if (!bstr || bstr.length() == 0) {
        const Error error = Error::from_hresult(E_OUTOFMEMORY);
        bstr.reset();
        throw_bstr_fault(error);
    }
    return bstr;
}

Bstr to_bstr(std::string_view text) { return make_bstr(platform::to_utf16(text)); }

std::expected<SchedulerSession, TaskFailure> SchedulerSession::open() {
    ComInit com_init;
    const HRESULT joined = scheduler_call([] { return CoInitializeEx(nullptr, COINIT_MULTITHREADED); });
    if (SUCCEEDED(joined)) {
        com_init = ComInit::adopt();
    } else {
        // Captured even when tolerated: it takes the error object off the thread.
        Error error = Error::from_hresult(joined);
        if (joined != RPC_E_CHANGED_MODE) return step_failed(std::move(error), step::co_initialize_ex);
    }

    ComPtr<ITaskService> service;
    const HRESULT created = scheduler_call([&] {
        return CoCreateInstance(clsid_task_scheduler, nullptr, CLSCTX_INPROC_SERVER, iid_task_service,
                                service.put_void());
    });
    if (auto error = interface_failure(created, service))
        return step_failed(std::move(*error), step::co_create_instance);

    const HRESULT connected = scheduler_call(
        [&] { return service->Connect(empty_variant(), empty_variant(), empty_variant(), empty_variant()); });
    if (FAILED(connected)) return step_failed(Error::from_hresult(connected), step::connect);

    Bstr path = to_bstr(root_folder_path);
    ComPtr<ITaskFolder> root_folder;
    const HRESULT fetched = scheduler_call([&] { return service->GetFolder(path.get(), root_folder.put()); });
    if (auto error = interface_failure(fetched, root_folder)) return step_failed(std::move(*error), step::get_folder);
    path.reset();

    return SchedulerSession(std::move(com_init), std::move(service), std::move(root_folder));
}

void SchedulerSession::close() noexcept {
    root_folder_.reset();
    service_.reset();
    com_init_.reset();
}

}  // namespace velmora::scheduler
