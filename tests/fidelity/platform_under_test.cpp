#include "fidelity/platform_under_test.h"

#include <array>
#include <cstdio>

namespace velmora::fidelity {
namespace {

struct SystemText {
    std::uint32_t code;
    WindowsOrWine<std::string_view> text;
};

// Windows' texts are those of its system message table in English; Wine's are
// those its own table has. Wine ends them with "\n", Windows with "\r\n";
// both are trimmed away.
constexpr std::array system_texts{
    SystemText{0x00000000, {"The operation completed successfully.", "Success."}},
    SystemText{0x80070002, {"The system cannot find the file specified.", "File not found."}},
    SystemText{0x80070003, {"The system cannot find the path specified.", "Path not found."}},
    SystemText{0x80070005, {"Access is denied.", "Access denied."}},
    SystemText{0x8007000E, {"Not enough memory resources are available to complete this operation.", "Out of memory."}},
    SystemText{0x80070057, {"The parameter is incorrect.", "Invalid parameter."}},
    SystemText{0x8007007B, {"The filename, directory name, or volume label syntax is incorrect.", "Invalid name."}},
    SystemText{0x80004001, {"Not implemented", "Not implemented."}},
    SystemText{0x80004005, {"Unspecified error", "Call failed."}},
    // Wine's message table has no text for these.
    SystemText{0x8004131A, {"The task XML is malformed.", ""}},
    SystemText{0x80040154, {"Class not registered", ""}},
    SystemText{0x800401F0, {"CoInitialize has not been called.", ""}},
};

}  // namespace

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
