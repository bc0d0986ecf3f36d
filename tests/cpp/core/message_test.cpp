#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "../fixed_texts.h"
#include "failures/failure_record.h"
#include "scheduler/operations.h"
#include "sim_fixture.h"

namespace velmora {

using namespace velmora::failures;
using namespace velmora::platform;
namespace {

using testing_support::PrintTo;

using Strings = std::vector<std::string>;
using testing_support::plain_error;
using testing_support::restricted_error;

constexpr HRESULT untexted_code = WINSIM_HR(0x80041F02);
constexpr HRESULT texted_code = WINSIM_HR(0x80041F03);

// How the message text of a failure is found: the restricted error object the
// failed call left (trusted only for its own code), a plain error object's
// description turned into a restricted error, or the system message table.
struct MessageCase {
    const char* name;
    HRESULT code;                                   // what the failing call returns
    winsim::ErrorObject error;                      // what it leaves on the thread
    std::optional<std::u16string> system_text = {};  // table text for texted_code
    bool combase_loads = true;
    bool has_ro_originate_error = true;
    std::string_view message;                       // expected display text
    Strings called = {};
    Strings not_called = {};
};

class MessageText : public testing_support::SimFixture, public testing::WithParamInterface<MessageCase> {};

TEST_P(MessageText, IsMadeFromTheRightSource) {
    const MessageCase& c = GetParam();
    winsim::set_message(static_cast<std::uint32_t>(texted_code), c.system_text);
    winsim::set_combase(c.combase_loads, c.has_ro_originate_error);
    winsim::script("DeleteTask", c.code, false, c.error);

    const auto outcome = scheduler::delete_task("my task");

    ASSERT_FALSE(outcome.has_value());
    EXPECT_EQ(outcome.error().message, c.message);
    EXPECT_EQ(outcome.error().hresult, c.code);
    EXPECT_EQ(outcome.error().step, "DeleteTask");
    for (const std::string& call : c.called) EXPECT_TRUE(called(call)) << call;
    for (const std::string& call : c.not_called) EXPECT_FALSE(called(call)) << call;
}

const Strings origination = {"IErrorInfo::GetDescription", "LoadLibraryExA", "GetProcAddress", "RoOriginateError"};

std::vector<MessageCase> message_cases() {
    return {
        {.name = "SystemText",
         .code = E_ACCESSDENIED,
         .error = {},
         .message = testing_support::access_denied_text,
         .called = {"FormatMessageW", "LocalFree"}},
        {.name = "NoSystemTextGivesTheCodeAlone", .code = untexted_code, .error = {}, .message = "0x80041F02"},
        {.name = "SystemTextKeepsInnerBreaks",
         .code = texted_code,
         .error = {},
         .system_text = u"First line.\r\nSecond line.\r\n\t ",
         .message = "First line.\r\nSecond line. (0x80041F03)"},
        {.name = "SystemTextOfOnlySpaceGivesTheCodeAlone",
         .code = texted_code,
         .error = {},
         .system_text = u" \r\n",
         .message = "0x80041F03"},
        {.name = "SystemTextUnpairedSurrogate",
         .code = texted_code,
         .error = {},
         .system_text = u"bad \xd800 unit\r\n",
         .message = "bad \xef\xbf\xbd unit (0x80041F03)"},
        {.name = "RestrictedDescriptionWins",
         .code = E_ACCESSDENIED,
         .error = restricted_error(u"Description.", E_ACCESSDENIED, u"Restricted.\r\n"),
         .message = "Restricted. (0x80070005)",
         .called = {"ILanguageExceptionErrorInfo2::CapturePropagationContext", "IRestrictedErrorInfo::GetErrorDetails"},
         .not_called = {"FormatMessageW", "LoadLibraryExA"}},
        {.name = "EmptyRestrictedDescriptionFallsToDescription",
         .code = E_ACCESSDENIED,
         .error = restricted_error(u"Description.\n", E_ACCESSDENIED, u""),
         .message = "Description. (0x80070005)"},
        {.name = "NullRestrictedDescriptionFallsToDescription",
         .code = E_ACCESSDENIED,
         .error = restricted_error(u"Description.\r\n", E_ACCESSDENIED, std::nullopt),
         .message = "Description. (0x80070005)"},
        {.name = "BlankRestrictedDescriptionGivesTheCodeAlone",
         .code = E_ACCESSDENIED,
         .error = restricted_error(u"Description.", E_ACCESSDENIED, u" \r\n "),
         .message = "0x80070005",
         .not_called = {"FormatMessageW"}},
        {.name = "BothDescriptionsEmptyGiveTheCodeAlone",
         .code = E_ACCESSDENIED,
         .error = restricted_error(u"", E_ACCESSDENIED, u""),
         .message = "0x80070005",
         .not_called = {"FormatMessageW"}},
        {.name = "BothDescriptionsNullGiveTheCodeAlone",
         .code = E_ACCESSDENIED,
         .error = restricted_error(std::nullopt, E_ACCESSDENIED, std::nullopt),
         .message = "0x80070005"},
        {.name = "RestrictedErrorOfAnotherCodeIsNotTrusted",
         .code = E_ACCESSDENIED,
         .error = restricted_error(u"Description.", E_FAIL, u"Restricted."),
         .message = testing_support::access_denied_text,
         .called = {"FormatMessageW"}},
        {.name = "RestrictedDescriptionSurrogates",
         .code = E_ACCESSDENIED,
         .error = restricted_error(std::nullopt, E_ACCESSDENIED, u"pair \U0001F600 lone \xdc00!"),
         .message = "pair \xf0\x9f\x98\x80 lone \xef\xbf\xbd! (0x80070005)"},
        {.name = "RestrictedDescriptionKeepsNul",
         .code = E_ACCESSDENIED,
         .error = restricted_error(std::nullopt, E_ACCESSDENIED, std::u16string(u"a\0b", 3)),
         .message = std::string_view("a\0b (0x80070005)", 16)},
        {.name = "PlainDescriptionIsOriginatedAndTrimmed",
         .code = SCHED_E_MALFORMEDXML,
         .error = plain_error(u"(3,4)::ERROR: bad\r\n"),
         .message = "(3,4)::ERROR: bad (0x8004131A)",
         .called = {"IErrorInfo::GetDescription", "LoadLibraryExA", "GetProcAddress", "WindowsCreateString",
                    "RoOriginateError", "WindowsDeleteString", "IRestrictedErrorInfo::GetErrorDetails"},
         .not_called = {"FreeLibrary", "ILanguageExceptionErrorInfo2::CapturePropagationContext", "FormatMessageW"}},
        {.name = "PlainDescriptionSurrogates",
         .code = E_ACCESSDENIED,
         .error = plain_error(u"lone \xd800"),
         .message = "lone \xef\xbf\xbd (0x80070005)"},
        // An empty description is handed over as a null string; the
        // originated error then only carries the system text.
        {.name = "PlainNullDescription",
         .code = E_ACCESSDENIED,
         .error = plain_error(std::nullopt),
         .message = testing_support::access_denied_text,
         .called = {"RoOriginateError"},
         .not_called = {"WindowsCreateString"}},
        {.name = "PlainWithoutCombase",
         .code = E_ACCESSDENIED,
         .error = plain_error(u"Plain."),
         .combase_loads = false,
         .has_ro_originate_error = false,
         .message = testing_support::access_denied_text,
         .called = {"LoadLibraryExA", "FormatMessageW"},
         .not_called = {"GetProcAddress", "FreeLibrary", "RoOriginateError"}},
        {.name = "PlainWithoutRoOriginateError",
         .code = E_ACCESSDENIED,
         .error = plain_error(u"Plain."),
         .has_ro_originate_error = false,
         .message = testing_support::access_denied_text,
         .called = {"LoadLibraryExA", "GetProcAddress", "FreeLibrary", "FormatMessageW"},
         .not_called = {"RoOriginateError"}},
    };
}

INSTANTIATE_TEST_SUITE_P(Failures, MessageText, testing::ValuesIn(message_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

class MessageTextTest : public testing_support::SimFixture {};

// GetErrorDetails is used as it leaves its outputs, whatever it returns.
TEST_F(MessageTextTest, FailedDetailsFallBackToTheSystemText) {
    winsim::script("DeleteTask", E_ACCESSDENIED, false,
                   restricted_error(u"Description.", E_ACCESSDENIED, u"Restricted."));
    winsim::script("GetErrorDetails", E_FAIL);
    const auto outcome = scheduler::delete_task("my task");
    ASSERT_FALSE(outcome.has_value());
    EXPECT_EQ(outcome.error().message, testing_support::access_denied_text);
}

TEST_F(MessageTextTest, DetailsWithTheCodeButNoTextGiveTheCodeAlone) {
    winsim::script("DeleteTask", E_ACCESSDENIED, false,
                   restricted_error(u"Description.", E_ACCESSDENIED, u"Restricted."));
    winsim::script("GetErrorDetails", S_OK, true);
    const auto outcome = scheduler::delete_task("my task");
    ASSERT_FALSE(outcome.has_value());
    EXPECT_EQ(outcome.error().message, "0x80070005");
}

TEST_F(MessageTextTest, FailedGetDescriptionOriginatesAnEmptyDescription) {
    winsim::script("DeleteTask", E_ACCESSDENIED, false, plain_error(u"Plain."));
    winsim::script("GetDescription", E_OUTOFMEMORY);
    const auto outcome = scheduler::delete_task("my task");
    ASSERT_FALSE(outcome.has_value());
    EXPECT_EQ(outcome.error().message, testing_support::access_denied_text);
    EXPECT_FALSE(called("WindowsCreateString"));
}

// A description that cannot become an HSTRING cannot be originated: the
// system text stands in, as when RoOriginateError is missing.
TEST_F(MessageTextTest, FailedHstringCreationGivesTheSystemText) {
    winsim::script("DeleteTask", E_ACCESSDENIED, false, plain_error(u"Plain."));
    winsim::script("WindowsCreateString", E_OUTOFMEMORY);
    const auto outcome = scheduler::delete_task("my task");
    ASSERT_FALSE(outcome.has_value());
    EXPECT_EQ(outcome.error().message, testing_support::access_denied_text);
    EXPECT_FALSE(called("RoOriginateError"));
}

// The library stays loaded once RoOriginateError was found in it.
TEST_F(MessageTextTest, CombaseStaysLoadedOnceTheFunctionIsFound) {
    winsim::script("DeleteTask", E_ACCESSDENIED, false, plain_error(u"Plain."));
    ASSERT_FALSE(scheduler::delete_task("my task").has_value());
    EXPECT_EQ(calls_matching({"LoadLibraryExA", "GetProcAddress", "FreeLibrary"}),
              (Strings{"LoadLibraryExA", "GetProcAddress"}));
}

struct DiagnosticCase {
    const char* name;
    HRESULT code;
    std::string_view display;
    std::string_view diagnostic;
};

class ErrorForms : public testing_support::SimFixture, public testing::WithParamInterface<DiagnosticCase> {};

TEST_P(ErrorForms, DisplayAndDiagnostic) {
    winsim::set_message(static_cast<std::uint32_t>(texted_code), u"Quote \" and\r\nbreak.\r\n");
    const Error error = Error::without_info(GetParam().code);
    EXPECT_EQ(error.display_text(), GetParam().display);
    EXPECT_EQ(error.diagnostic(), GetParam().diagnostic);
}

INSTANTIATE_TEST_SUITE_P(
    Failures, ErrorForms,
    testing::Values(DiagnosticCase{"WithText", E_INVALIDARG, testing_support::invalid_argument_text,
                                   "Error { code: HRESULT(0x80070057), message: \"The parameter is incorrect.\" }"},
                    DiagnosticCase{"WithoutText", untexted_code, "0x80041F02",
                                   "Error { code: HRESULT(0x80041F02), message: \"\" }"},
                    DiagnosticCase{"MissingInterface", S_OK, "The operation completed successfully. (0x00000000)",
                                   "Error { code: HRESULT(0x00000000), message: \"The operation completed "
                                   "successfully.\" }"},
                    // The message goes in unescaped.
                    DiagnosticCase{"Unescaped", texted_code, "Quote \" and\r\nbreak. (0x80041F03)",
                                   "Error { code: HRESULT(0x80041F03), message: \"Quote \" and\r\nbreak.\" }"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(MessageTextTest, ErrorObjectIsReleasedOnceTheRecordIsMade) {
    winsim::script("DeleteTask", E_ACCESSDENIED, false, restricted_error(std::nullopt, E_ACCESSDENIED, u"Restricted."));
    const auto outcome = scheduler::delete_task("my task");
    ASSERT_FALSE(outcome.has_value());
    const Strings released = calls_matching({"IUnknown::Release(IRestrictedErrorInfo)"});
    // Reference from GetErrorInfo, the propagation context interface, and the
    // Error's own reference, dropped by from_error before the name is freed.
    EXPECT_EQ(released.size(), 3u);
    const Strings after = calls_after("IRestrictedErrorInfo::GetErrorDetails");
    const auto error_release = std::ranges::find(after, "IUnknown::Release(IRestrictedErrorInfo)");
    const auto name_free = std::ranges::find(after, "SysFreeString(my task)");
    EXPECT_LT(error_release, name_free);
}

}  // namespace
}  // namespace velmora
