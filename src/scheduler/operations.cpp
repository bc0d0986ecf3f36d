#include "scheduler/operations.h"

#include <optional>
#include <string_view>
#include <utility>

#include "failures/failure_record.h"
#include "scheduler/session.h"

namespace velmora::scheduler {
namespace {

using failures::Error;
using failures::step_failed;
using platform::Bstr;
using platform::ComPtr;
using platform::empty_variant;
namespace step = failures::step;

// __HRESULT_FROM_WIN32 is the macro form in every SDK. HRESULT_FROM_WIN32 is
// a constexpr FORCEINLINE function in C++ in the current winerror.h (10.0.22000
// declares it so whenever _MSC_VER >= 1900), but a plain inline function in
// older SDKs and on its documentation page, so no constant may call it.
constexpr HRESULT task_not_found = __HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
constexpr HRESULT folder_not_found = __HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
// TASK_RUN_NO_FLAGS; not every SDK defines the name.
constexpr LONG task_run_no_flags = 0;
constexpr LONG delete_task_flags = 0;
constexpr LONG terminal_session_id = 0;

// The outcome of ITaskFolder::GetTask for a name, with the name's BSTR still
// held. Members in acquisition order: dropping the lookup releases the task
// before it frees the name.
struct TaskLookup {
    Bstr name;
    ComPtr<IRegisteredTask> task;
    std::optional<Error> error;  // captured at once when the lookup failed
};

TaskLookup look_up(const SchedulerSession& session, std::string_view task_name) {
    TaskLookup lookup{to_bstr(task_name), {}, std::nullopt};
    const HRESULT found =
        scheduler_call([&] { return session.root_folder().GetTask(lookup.name.get(), lookup.task.put()); });
    lookup.error = interface_failure(found, lookup.task);
    return lookup;
}

}  // namespace

// Locals are declared in acquisition order after the session, so every path
// out releases the operation's own objects and BSTRs first, latest first, and
// closes the session last. A failure record is always made in the return
// statement, before any of them is released.

Outcome<void> run_task(std::string_view task_name) {
    auto session = SchedulerSession::open();
    if (!session) return std::unexpected(std::move(session.error()));

    TaskLookup lookup = look_up(*session, task_name);
    if (lookup.error) return step_failed(std::move(*lookup.error), step::get_task);
    lookup.name.reset();

    ComPtr<IRunningTask> running;
    const HRESULT started = scheduler_call([&] {
        return lookup.task->RunEx(empty_variant(), task_run_no_flags, terminal_session_id, nullptr, running.put());
    });
    if (auto error = interface_failure(started, running)) return step_failed(std::move(*error), step::run_ex);
    // The task runs on its own; nothing is read from the instance.
    running.reset();
    return {};
}

Outcome<void> delete_task(std::string_view task_name) {
    auto session = SchedulerSession::open();
    if (!session) return std::unexpected(std::move(session.error()));

    Bstr name = to_bstr(task_name);
    const HRESULT deleted =
        scheduler_call([&] { return session->root_folder().DeleteTask(name.get(), delete_task_flags); });
    if (FAILED(deleted)) return step_failed(Error::from_hresult(deleted), step::delete_task);
    return {};
}

Outcome<bool> task_exists(std::string_view task_name) {
    auto session = SchedulerSession::open();
    if (!session) return std::unexpected(std::move(session.error()));

    // The error is captured before the name is freed: no platform call may
    // come between a failed call and the capture of its error object.
    TaskLookup lookup = look_up(*session, task_name);
    lookup.name.reset();

    if (!lookup.error) {
        lookup.task.reset();
        return true;
    }
    const HRESULT code = lookup.error->code();
    if (code == task_not_found || code == folder_not_found) return false;
    return step_failed(std::move(*lookup.error), step::get_task);
}

Outcome<void> register_xml(std::string_view task_name, std::string_view xml_data) {
    auto session = SchedulerSession::open();
    if (!session) return std::unexpected(std::move(session.error()));

    Bstr name = to_bstr(task_name);
    Bstr xml = to_bstr(xml_data);
    ComPtr<IRegisteredTask> task;
    const HRESULT registered = scheduler_call([&] {
        return session->root_folder().RegisterTask(name.get(), xml.get(), TASK_CREATE_OR_UPDATE, empty_variant(),
                                                   empty_variant(), TASK_LOGON_INTERACTIVE_TOKEN, empty_variant(),
                                                   task.put());
    });
    if (auto error = interface_failure(registered, task)) return step_failed(std::move(*error), step::register_task);
    return {};
}

}  // namespace velmora::scheduler
