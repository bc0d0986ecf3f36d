#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "failures/task_failure.h"
#include "platform/com_ptr.h"
#include "platform/platform.h"
#include "platform/text.h"

namespace velmora::failures {

// The labels of the scheduler steps that can fail: the names of the COM
// functions and methods, as the Python side receives them.
namespace step {
inline constexpr std::string_view co_initialize_ex{"CoInitializeEx"};
inline constexpr std::string_view co_create_instance{"CoCreateInstance"};
inline constexpr std::string_view connect{"Connect"};
inline constexpr std::string_view get_folder{"GetFolder"};
inline constexpr std::string_view get_task{"GetTask"};
inline constexpr std::string_view run_ex{"RunEx"};
inline constexpr std::string_view delete_task{"DeleteTask"};
inline constexpr std::string_view register_task{"RegisterTask"};
}  // namespace step

// The Windows error value of one failed call: its HRESULT and the error object
// that the call left on its thread, held as IRestrictedErrorInfo. Move-only;
// dropping it releases the error object.
// NOLINTNEXTLINE(cppcoreguidelines-special-member-functions): the moves drop the copies; members destroy
class Error {
public:
    // Takes the thread's error object for a call that has just returned the
    // negative `code`. Must run before any other COM call on the thread,
    // since every such call may replace or clear the error object.
    static Error from_hresult(HRESULT code) noexcept;
    // Takes whatever error object is on the thread and releases it. Run right
    // before a call whose failure is captured: a failing call need not set an
    // error object, and one left by an earlier call must not pass for its own.
    static void discard_stale() noexcept;
    // A call that reported success but handed back no interface pointer.
    static Error missing_interface() noexcept { return Error(S_OK); }
    // An error with no error object, for failures detected by our own code.
    static Error without_info(HRESULT code) noexcept { return Error(code); }

    Error(Error&&) noexcept = default;
    Error& operator=(Error&&) noexcept = default;

    HRESULT code() const noexcept { return code_; }
    bool has_error_info() const noexcept { return static_cast<bool>(restricted_info_); }

    // The Windows text for the error, trimmed at the end; possibly empty, and
    // empty when memory for the copy cannot be had.
    platform::Utf16 message() const noexcept;
    // The message, a blank and the code in parentheses; the code alone when
    // there is no message or no memory to compose it.
    std::string display_text() const noexcept;
    // Error { code: HRESULT(0x...), message: "..." }
    std::string diagnostic() const;

private:
    explicit Error(HRESULT code) noexcept : code_(code) {}
    Error(HRESULT code, platform::ComPtr<IRestrictedErrorInfo> info) noexcept
        : code_(code), restricted_info_(std::move(info)) {}

    HRESULT code_;
    platform::ComPtr<IRestrictedErrorInfo> restricted_info_;
};

// The failed outcome of a scheduler step: its record, made at once.
inline std::unexpected<TaskFailure> step_failed(Error error, std::string_view label) noexcept {
    return std::unexpected(TaskFailure::from_error(std::move(error), label));
}

}  // namespace velmora::failures
