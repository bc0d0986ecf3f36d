#include "fidelity/platform_under_test.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <iterator>

namespace velmora::fidelity {
namespace {

struct Difference {
    WineDiffers id;
    std::string_view what;  // what Wine does otherwise, and Windows' answer with its record
};

constexpr Difference wine_differences[] = {
    {WineDiffers::message_texts,
     "the system message table words its texts otherwise and has none for SCHED_E_MALFORMEDXML, "
     "REGDB_E_CLASSNOTREG or CO_E_NOTINITIALIZED (Windows: the English system texts, \"System Error Codes\" and "
     "\"COM Error Codes\" on Microsoft Learn)"},
    {WineDiffers::ro_originate_error,
     "RoOriginateError leaves no restricted error object (Windows: RoOriginateError documentation)"},
    {WineDiffers::run_ex, "IRegisteredTask::RunEx is E_NOTIMPL (Windows starts the task: RunEx documentation)"},
    {WineDiffers::malformed_error_object,
     "a malformed task definition leaves no error object (Windows' is not recorded: tests/platform/register.py)"},
    {WineDiffers::root_element_name,
     "a root element named otherwise than Task is SCHED_E_MALFORMEDXML (Windows: SCHED_E_UNEXPECTEDNODE, "
     "scheduler.c test_TaskDefinition xml3, todo_wine)"},
    {WineDiffers::empty_actions,
     "a definition whose Actions hold no action is registered (Windows: SCHED_E_MISSINGNODE, scheduler.c "
     "test_TaskDefinition xml5, todo_wine)"},
    {WineDiffers::names_with_colon_or_slash,
     "a name with \":\" or \"/\" or a leading space is registered (Windows: ERROR_INVALID_NAME, MS-TSCH 2.3.11; "
     "scheduler.c test_GetFolder \"/\", todo_wine)"},
    {WineDiffers::delete_with_null_name,
     "DeleteTask with a null name is E_ACCESSDENIED in a folder that holds tasks (Windows takes the folder "
     "itself: ERROR_DIR_NOT_EMPTY, scheduler.c test_GetTask, todo_wine)"},
    {WineDiffers::folder_kept_after_refusal,
     "an empty folder outlives RegisterTask refused on its name, and DeleteFolder removes it (Windows: "
     "ERROR_FILE_NOT_FOUND, the folder gone, scheduler.c test_GetTask, todo_wine)"},
};

std::array<std::atomic<bool>, std::size(wine_differences)> met{};

// Lists at the end of a run under Wine the differences that it met.
class WineReport : public testing::Environment {
public:
    void TearDown() override {
        if (platform_under_test() != Platform::wine) return;
        std::printf("Wine differs from Windows in what this run met:\n");
        for (std::size_t i = 0; i < std::size(wine_differences); ++i)
            if (met[i])
                std::printf("  - %.*s\n", static_cast<int>(wine_differences[i].what.size()),
                            wine_differences[i].what.data());
    }
};
[[maybe_unused]] testing::Environment* const wine_report = testing::AddGlobalTestEnvironment(new WineReport);

struct SystemText {
    std::uint32_t code;
    WindowsOrWine<std::string_view> text;
};

constexpr WineDiffers texts = WineDiffers::message_texts;

// Windows' texts are those of its system message table in English; Wine's are
// those its own table has. Wine ends them with "\n", Windows with "\r\n";
// both are trimmed away.
constexpr std::array system_texts{
    SystemText{0x00000000, {texts, "The operation completed successfully.", "Success."}},
    SystemText{0x80070002, {texts, "The system cannot find the file specified.", "File not found."}},
    SystemText{0x80070003, {texts, "The system cannot find the path specified.", "Path not found."}},
    SystemText{0x80070005, {texts, "Access is denied.", "Access denied."}},
    SystemText{0x8007000E,
               {texts, "Not enough memory resources are available to complete this operation.", "Out of memory."}},
    SystemText{0x80070057, {texts, "The parameter is incorrect.", "Invalid parameter."}},
    SystemText{0x8007007B,
               {texts, "The filename, directory name, or volume label syntax is incorrect.", "Invalid name."}},
    SystemText{0x80004001, {texts, "Not implemented", "Not implemented."}},
    SystemText{0x80004005, {texts, "Unspecified error", "Call failed."}},
    // Wine's message table has no text for these.
    SystemText{0x8004131A, {texts, "The task XML is malformed.", ""}},
    SystemText{0x80040154, {texts, "Class not registered", ""}},
    SystemText{0x800401F0, {texts, "CoInitialize has not been called.", ""}},
};

}  // namespace

bool under_wine(WineDiffers difference) {
    if (platform_under_test() != Platform::wine) return false;
    for (std::size_t i = 0; i < std::size(wine_differences); ++i)
        if (wine_differences[i].id == difference) met[i] = true;
    return true;
}

Platform platform_under_test() {
#ifdef _WIN32
    static const Platform platform = [] {
        HMODULE ntdll = GetModuleHandleA("ntdll.dll");
        return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr ? Platform::wine
                                                                                        : Platform::windows;
    }();
    return platform;
#else
    return Platform::simulation;
#endif
}

std::string_view platform_name(Platform platform) {
    switch (platform) {
        case Platform::simulation: return "simulation";
        case Platform::wine: return "Wine";
        case Platform::windows: return "Windows";
    }
    return "?";
}

Apartment current_apartment() {
    const HRESULT probe = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (probe == RPC_E_CHANGED_MODE) return Apartment::sta;
    if (SUCCEEDED(probe)) CoUninitialize();
    return probe == S_OK ? Apartment::none : Apartment::mta;
}

std::string_view apartment_name(Apartment apartment) {
    switch (apartment) {
        case Apartment::none: return "none";
        case Apartment::mta: return "mta";
        case Apartment::sta: return "sta";
    }
    return "?";
}

bool enter_apartment(Apartment apartment) {
    switch (apartment) {
        case Apartment::none: return true;
        case Apartment::mta: return CoInitializeEx(nullptr, COINIT_MULTITHREADED) == S_OK;
        case Apartment::sta: return CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED) == S_OK;
    }
    return false;
}

std::string_view system_text(HRESULT code) {
    for (const SystemText& entry : system_texts)
        if (entry.code == static_cast<std::uint32_t>(code)) return entry.text.here();
    return {};
}

std::string expected_display_text(HRESULT code) {
    char hex[11];
    std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(code));
    const std::string_view text = system_text(code);
    if (text.empty()) return hex;
    return std::string(text) + " (" + hex + ")";
}

std::string task_xml(std::string_view description) {
    std::string xml =
        "<?xml version=\"1.0\"?>\n"
        "<Task version=\"1.2\" xmlns=\"http://schemas.microsoft.com/windows/2004/02/mit/task\">\n"
        "  <RegistrationInfo><Description>";
    xml += description;
    xml +=
        "</Description></RegistrationInfo>\n"
        "  <Settings><Enabled>true</Enabled></Settings>\n"
        "  <Actions>\n"
        "    <Exec><Command>cmd.exe</Command><Arguments>/c exit 0</Arguments></Exec>\n"
        "  </Actions>\n"
        "</Task>\n";
    return xml;
}

}  // namespace velmora::fidelity
