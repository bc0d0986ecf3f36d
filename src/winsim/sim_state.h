#pragma once
// Process-wide state of the simulated platform, shared by its parts: the lock,
// the call log, detected misuse, scripted outcomes and the per-thread COM state.

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "winsim/control.h"
#include "winsim/windows.h"

namespace winsim::detail {

enum class Step : std::uint8_t {
    CoInitializeEx,
    CoCreateInstance,
    Connect,
    GetFolder,
    GetTask,
    RunEx,
    DeleteTask,
    RegisterTask,
    SysAllocStringLen,
    GetErrorDetails,
    GetDescription,
    WindowsCreateString,
};
inline constexpr std::size_t step_count = 12;
inline constexpr std::array<std::string_view, step_count> step_names = {
    "CoInitializeEx", "CoCreateInstance",    "Connect",      "GetFolder",         "GetTask",
    "RunEx",          "DeleteTask",          "RegisterTask", "SysAllocStringLen", "GetErrorDetails",
    "GetDescription", "WindowsCreateString",
};
std::optional<Step> find_step(std::string_view name) noexcept;
// Steps whose call hands back something through an out-pointer (or a return value).
bool step_has_out_pointer(Step step) noexcept;

// One scripted outcome, consumed by one call of its step.
struct Outcome {
    HRESULT hresult = S_OK;
    bool null_out = false;
    ErrorObject error;

    bool fails() const noexcept { return !null_out && hresult < 0; }
};

// Waits while the step is paused, sleeps its latency and takes the next
// scripted outcome, if any. Never holds the lock while waiting or sleeping.
std::optional<Outcome> enter_step(Step step);

// The one lock over the store, the scripts, the log and the registries.
std::mutex& state_mutex();

// Appends to the call log (capped). Takes the lock.
void log_call(std::string entry);
// Records a misuse. Takes the lock.
void report_violation(std::string text);

// The caller's text as UTF-8 for the log: unpaired surrogates become U+FFFD,
// and text longer than 32 characters is cut and followed by "...".
std::string log_text(std::u16string_view text);

// Objects, BSTRs, HSTRINGs and allocated message buffers alive now.
void count_born() noexcept;
void count_died() noexcept;
long live_count() noexcept;

// The calling thread's COM state and its error object.
struct ThreadState {
    Apartment apartment = Apartment::none;
    int depth = 0;
    IErrorInfo* error = nullptr;  // one reference owned
    ~ThreadState();
};
ThreadState& thread_state() noexcept;
bool thread_has_apartment() noexcept;

// Replaces the calling thread's error object, taking over one reference of
// `error` (may be null). The replaced object is released without being logged:
// that release is the runtime's own, not a call of the program.
void park_error(IErrorInfo* error) noexcept;
// Makes the error object that a scripted failure leaves (null for none).
IErrorInfo* make_error_object(const ErrorObject& error);

// Applies a scripted failure: leaves its error object on the thread when it has one.
void leave_scripted_error(const Outcome& outcome);

// The system message table's text for a code, "\r\n" included.
std::optional<std::u16string> system_message(std::uint32_t code);

// Makes a TaskScheduler object and hands out the interface `riid` of it.
HRESULT create_task_service(REFIID riid, void** ppv);
// Leaves a restricted error object on the thread, as RoOriginateError does.
void originate_restricted_error(HRESULT error, std::u16string message);

// Clears what reset() clears in each part.
void reset_scheduler();
void reset_messages();
void reset_loader();

}  // namespace winsim::detail
