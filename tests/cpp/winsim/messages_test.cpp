// FormatMessageW over the system message table, and LocalFree of its buffers.

#include "winsim_fixture.h"

namespace winsim_test {
namespace {

constexpr DWORD system_flags =
    FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;

// The text FormatMessageW gives for a code, or nullopt when it returns 0.
std::optional<std::u16string> system_text(std::uint32_t code) {
    LPWSTR buffer = nullptr;
    const DWORD length = FormatMessageW(system_flags, nullptr, code, 0, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
    if (length == 0) {
        EXPECT_EQ(buffer, nullptr);
        return std::nullopt;
    }
    EXPECT_EQ(buffer[length], u'\0');
    std::u16string text(buffer, length);
    EXPECT_EQ(LocalFree(buffer), nullptr);
    return text;
}

struct MessageCase {
    std::uint32_t code;
    const char16_t* text;
};

class SystemMessages : public Sim, public ::testing::WithParamInterface<MessageCase> {};

TEST_P(SystemMessages, HoldTheWindowsText) {
    EXPECT_EQ(system_text(GetParam().code), std::u16string(GetParam().text));
    EXPECT_EQ(winsim::live_objects(), baseline_);
}

// Not the table entry for entry (that would only restate it): the shape every
// text has on Windows, a trailing "\r\n", and a Win32 code found under its
// HRESULT as well as on its own.
INSTANTIATE_TEST_SUITE_P(Table, SystemMessages,
                         ::testing::Values(MessageCase{0x00000000, u"The operation completed successfully.\r\n"},
                                           MessageCase{0x80070005, u"Access is denied.\r\n"},
                                           MessageCase{0x00000005, u"Access is denied.\r\n"}));

using Messages = Sim;

TEST_F(Messages, UnknownCodeGivesNothing) {
    EXPECT_EQ(system_text(0x80041399), std::nullopt);
    EXPECT_EQ(system_text(0xDEADBEEF), std::nullopt);
}

TEST_F(Messages, TableCanBeChangedAndIsRestoredByReset) {
    winsim::set_message(0x80070005, u"Custom\ttext \r\n");
    winsim::set_message(0xDEADBEEF, u"");
    winsim::set_message(0x80004005, std::nullopt);
    EXPECT_EQ(system_text(0x80070005), u"Custom\ttext \r\n");
    EXPECT_EQ(system_text(0xDEADBEEF), std::nullopt) << "an empty text gives 0 characters";
    EXPECT_EQ(system_text(0x80004005), std::nullopt);
    winsim::reset();
    EXPECT_EQ(system_text(0x80070005), u"Access is denied.\r\n");
    EXPECT_EQ(system_text(0x80004005), u"Unspecified error\r\n");
}

TEST_F(Messages, CallerBuffer) {
    WCHAR buffer[64];
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, 0x80070005,
                                        0, buffer, 64, nullptr);
    EXPECT_EQ(std::u16string(buffer, length), u"Access is denied.\r\n");
    EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, 0x80070005, 0, buffer,
                             5, nullptr),
              0u)
        << "too small";
}

TEST_F(Messages, BufferIsCountedUntilFreed) {
    LPWSTR buffer = nullptr;
    ASSERT_NE(FormatMessageW(system_flags, nullptr, 0, 0, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr), 0u);
    EXPECT_EQ(winsim::live_objects(), baseline_ + 1);
    EXPECT_EQ(LocalFree(buffer), nullptr);
    EXPECT_EQ(winsim::live_objects(), baseline_);
    EXPECT_EQ(winsim::calls(), (std::vector<std::string>{"FormatMessageW", "LocalFree"}));
}

TEST_F(Messages, LocalFreeOfAForeignPointerIsReported) {
    int local = 0;
    EXPECT_EQ(LocalFree(&local), &local);
    EXPECT_EQ(LocalFree(nullptr), nullptr);
    ASSERT_EQ(winsim::violations().size(), 1u);
    winsim::reset();
}

}  // namespace
}  // namespace winsim_test
