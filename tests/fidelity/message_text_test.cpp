// The message text of a failure that left no error object comes from the
// system message table. Held against Wine's table (which differs from Windows'
// in wording, and has no text for some codes) and the simulation's.

#include <gtest/gtest.h>

#include <string>

#include "failures/failure_record.h"
#include "fidelity/platform_under_test.h"

namespace velmora::fidelity {

using namespace velmora::failures;
using namespace velmora::platform;
namespace {

class SystemMessage : public testing::TestWithParam<std::uint32_t> {};

TEST_P(SystemMessage, DisplayTextIsTheTrimmedSystemTextAndTheCode) {
    const auto code = static_cast<HRESULT>(GetParam());
    EXPECT_EQ(Error::without_info(code).display_text(), expected_display_text(code));
}

INSTANTIATE_TEST_SUITE_P(Codes, SystemMessage,
                         testing::Values(0x80070002u, 0x80070003u, 0x80070005u, 0x8007000Eu, 0x80070057u, 0x8007007Bu,
                                         0x80004001u, 0x80004005u, 0x8004131Au, 0x80040154u, 0x800401F0u),
                         [](const testing::TestParamInfo<std::uint32_t>& info) {
                             return format_hresult(static_cast<HRESULT>(info.param));
                         });

TEST(SystemMessage, CodeWithoutTextIsTheCodeAlone) {
    // FACILITY_ITF codes of no component that either table knows.
    EXPECT_EQ(Error::without_info(static_cast<HRESULT>(0x8004FE01)).display_text(), "0x8004FE01");
}

TEST(SystemMessage, MissingInterfaceIsTheSuccessTextAndZero) {
    const WindowsOrWine<std::string> expected{
        WineDiffers::message_texts, "The operation completed successfully. (0x00000000)", "Success. (0x00000000)"};
    EXPECT_EQ(Error::missing_interface().display_text(), expected.here());
}

}  // namespace
}  // namespace velmora::fidelity
