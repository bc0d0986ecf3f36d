// The capture of a thread's error object against the real COM runtime: what
// oleaut32 and combase do with an error object that a failed call leaves.
// Windows takes a plain error object's description into a restricted error
// through RoOriginateError; Wine's RoOriginateError is a stub that leaves
// nothing, so there the message falls back to the system text.

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <thread>

#include "failures/failure_record.h"
#include "fidelity/platform_under_test.h"
#include "platform/com_ptr.h"
#include "scheduler/session.h"

namespace velmora {

using namespace velmora::failures;
using namespace velmora::platform;
namespace {

using fidelity::WindowsOrWine;
using platform::ComPtr;

constexpr std::wstring_view description = L"velmora: the description\r\n";

// Leaves a plain error object (IErrorInfo only) on the calling thread.
bool leave_plain_error_object() {
    ComPtr<ICreateErrorInfo> create;
    if (FAILED(CreateErrorInfo(create.put())) || !create) return false;
    std::wstring text(description);
    if (FAILED(create->SetDescription(text.data()))) return false;
    ComPtr<IErrorInfo> info = create.try_query<IErrorInfo>(IID_IErrorInfo);
    return info && SetErrorInfo(0, info.get()) == S_OK;
}

// Leaves a restricted error object, originated the way Windows Runtime code
// reports a failure.
bool leave_restricted_error_object() {
    HMODULE combase = LoadLibraryExA("combase.dll", nullptr, LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
    if (combase == nullptr) return false;
    auto originate = reinterpret_cast<PFN_RoOriginateError>(
        reinterpret_cast<void (*)()>(GetProcAddress(combase, "RoOriginateError")));
    HSTRING message = nullptr;
    const bool made =
        originate != nullptr &&
        SUCCEEDED(WindowsCreateString(description.data(), static_cast<UINT32>(description.size()), &message));
    if (made) (void)originate(E_ACCESSDENIED, message);
    WindowsDeleteString(message);
    FreeLibrary(combase);
    return made;
}

// The thread's error object, taken (and so cleared) as the capture does.
bool thread_holds_error_object() {
    ComPtr<IErrorInfo> info;
    return GetErrorInfo(0, info.put()) == S_OK && info;
}

struct Origin {
    std::string_view label;
    bool (*leave)();
};

constexpr Origin origins[] = {
    {"Plain", leave_plain_error_object},
    {"Restricted", leave_restricted_error_object},
};

class ErrorCapture : public testing::TestWithParam<Origin> {};

TEST_P(ErrorCapture, MessageIsTheTrimmedDescriptionAndNothingIsLeftBehind) {
    bool left = false;
    bool captured_info = false;
    bool left_behind = true;
    std::string display;
    std::thread worker([&] {
        if (CoInitializeEx(nullptr, COINIT_MULTITHREADED) != S_OK) return;
        left = GetParam().leave();
        {
            Error error = Error::from_hresult(E_ACCESSDENIED);
            captured_info = error.has_error_info();
            display = error.display_text();
        }
        left_behind = thread_holds_error_object();
        CoUninitialize();
    });
    worker.join();

    ASSERT_TRUE(left);
    EXPECT_FALSE(left_behind);
    // Wine: RoOriginateError leaves no restricted error object, so none is
    // captured and the system text stands in for the description.
    const WindowsOrWine<bool> expected_info{fidelity::WineDiffers::ro_originate_error, true, false};
    const WindowsOrWine<std::string> expected_display{fidelity::WineDiffers::ro_originate_error,
                                                      "velmora: the description (0x80070005)",
                                                      "Access denied. (0x80070005)"};
    EXPECT_EQ(captured_info, expected_info.here());
    EXPECT_EQ(display, expected_display.here());
}

INSTANTIATE_TEST_SUITE_P(Origins, ErrorCapture, testing::ValuesIn(origins),
                         [](const testing::TestParamInfo<Origin>& info) { return std::string(info.param.label); });

TEST(ErrorCapture, CombaseLoadsFromTheSystemDirectoriesAndExportsRoOriginateError) {
    HMODULE combase = LoadLibraryExA("combase.dll", nullptr, LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
    ASSERT_NE(combase, nullptr);
    EXPECT_NE(GetProcAddress(combase, "RoOriginateError"), nullptr);
    FreeLibrary(combase);
}

}  // namespace
}  // namespace velmora
