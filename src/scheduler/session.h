#pragma once

#include <expected>
#include <optional>
#include <string_view>
#include <utility>

#include "failures/failure_record.h"
#include "failures/task_failure.h"
#include "platform/bstr.h"
#include "platform/com_init.h"
#include "platform/com_ptr.h"
#include "platform/platform.h"

namespace velmora::scheduler {

// A connection to the Task Scheduler of the local machine for one operation:
// the thread's COM apartment, the connected task service and the root folder
// "\". Opened and closed on one thread; never copied, cached or reused.
class SchedulerSession {
public:
    // Joins the multithreaded apartment (or works in the thread's single-
    // threaded one), creates and connects the task service and fetches the
    // root folder. On failure everything done so far is already undone.
    static std::expected<SchedulerSession, failures::TaskFailure> open();

    SchedulerSession(SchedulerSession&&) noexcept = default;
    SchedulerSession& operator=(SchedulerSession&&) = delete;
    ~SchedulerSession() { close(); }

    // Releases the root folder, then the service, then leaves the apartment
    // when this session joined it. Idempotent.
    void close() noexcept;

    ITaskFolder& root_folder() const noexcept { return *root_folder_.get(); }
    bool owns_com_init() const noexcept { return com_init_.owned(); }

private:
    SchedulerSession(platform::ComInit com_init, platform::ComPtr<ITaskService> service,
                     platform::ComPtr<ITaskFolder> root_folder) noexcept
        : com_init_(std::move(com_init)), service_(std::move(service)), root_folder_(std::move(root_folder)) {}

    // In acquisition order, so that destruction releases the latest first.
    platform::ComInit com_init_;
    platform::ComPtr<ITaskService> service_;
    platform::ComPtr<ITaskFolder> root_folder_;
};

// UTF-8 text to an owned BSTR holding its UTF-16 form (U+0000 included); a
// null BSTR for empty text. Throws InternalFault when the BSTR cannot be made.
platform::Bstr to_bstr(std::string_view text);

// The same for text already in UTF-16.
platform::Bstr make_bstr(platform::Utf16View units);

// Runs one scheduler call with no error object on the thread beforehand, so
// that the error object found after it fails was left by that call.
template <class Call>
HRESULT scheduler_call(Call&& call) noexcept {
    failures::Error::discard_stale();
    return std::forward<Call>(call)();
}

// The Error of a call that hands back an interface: captured at once for a
// negative HRESULT; a success that left the pointer null counts as failed with
// code 0. Nothing when the call succeeded with an interface.
template <class T>
std::optional<failures::Error> interface_failure(HRESULT result, const platform::ComPtr<T>& out) noexcept {
    if (FAILED(result)) return failures::Error::from_hresult(result);
    if (!out) return failures::Error::missing_interface();
    return std::nullopt;
}

}  // namespace velmora::scheduler
