#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "failures/failure_record.h"
#include "platform/text.h"
#include "scheduler/session.h"

namespace velmora {

using namespace velmora::failures;
using namespace velmora::platform;
namespace {

using platform::Utf16;

Utf16 units(std::u16string_view text) { return Utf16(text.begin(), text.end()); }

struct Utf8Case {
    const char* name;
    std::u16string_view utf16;
    std::string_view utf8;
};

std::string case_name(const testing::TestParamInfo<Utf8Case>& info) { return info.param.name; }

// Well-formed text, the same in both directions: the first and last character
// of every sequence length, where a moved boundary changes the encoding.
const Utf8Case well_formed[] = {
    {"Empty", u"", ""},
    {"Ascii", u"Access is denied.", "Access is denied."},
    {"Nul", std::u16string_view(u"a\0b", 3), std::string_view("a\0b", 3)},
    {"LastOneByte", u"\u007f", "\x7f"},
    {"FirstTwoBytes", u"\u0080", "\xc2\x80"},
    {"LastTwoBytes", u"\u07c0\u07ff", "\xdf\x80\xdf\xbf"},
    {"FirstThreeBytes", u"\u0800", "\xe0\xa0\x80"},
    {"LastThreeBytes", u"\uffff", "\xef\xbf\xbf"},
    {"FirstFourBytes", u"\U00010000", "\xf0\x90\x80\x80"},
    {"NonBmp", u"a\U0001F600b",
     "a\xf0\x9f\x98\x80"
     "b"},
    {"LastPlane", u"\U0010FFFF", "\xf4\x8f\xbf\xbf"},
};

class WellFormedText : public testing::TestWithParam<Utf8Case> {};

TEST_P(WellFormedText, Utf16ToUtf8) { EXPECT_EQ(to_utf8(units(GetParam().utf16)), GetParam().utf8); }

TEST_P(WellFormedText, Utf8ToUtf16) { EXPECT_EQ(platform::to_utf16(GetParam().utf8), units(GetParam().utf16)); }

INSTANTIATE_TEST_SUITE_P(Text, WellFormedText, testing::ValuesIn(well_formed), case_name);

class Utf16ToUtf8 : public testing::TestWithParam<Utf8Case> {};

TEST_P(Utf16ToUtf8, ReplacesUnpairedSurrogates) { EXPECT_EQ(to_utf8(units(GetParam().utf16)), GetParam().utf8); }

INSTANTIATE_TEST_SUITE_P(Text, Utf16ToUtf8,
                         testing::Values(Utf8Case{"LoneHighAtEnd", u"x\xd83d", "x\xef\xbf\xbd"},
                                         Utf8Case{"LoneLow", u"\xde00x", "\xef\xbf\xbdx"},
                                         // The unit after an unpaired high surrogate is read on its own.
                                         Utf8Case{"HighThenAscii",
                                                  u"\xd83d"
                                                  "a",
                                                  "\xef\xbf\xbd"
                                                  "a"},
                                         Utf8Case{"HighThenHighThenLow", u"\xd83d\xd83d\xde00",
                                                  "\xef\xbf\xbd\xf0\x9f\x98\x80"},
                                         Utf8Case{"LowThenHigh", u"\xde00\xd83d", "\xef\xbf\xbd\xef\xbf\xbd"}),
                         case_name);

TEST(Utf16ToUtf8, StopsAtTheEndOfTheText) {
    // A high surrogate that ends the text is unpaired, whatever follows it in memory.
    const Utf16 buffer = units(u"x\xd83d\xde00");
    EXPECT_EQ(to_utf8(platform::Utf16View(buffer).substr(0, 2)), "x\xef\xbf\xbd");
}

TEST(Utf8ToUtf16, StopsAtTheEndOfTheText) {
    // A sequence that the end of the text cuts short is malformed, whatever follows it in memory.
    const std::string buffer = "a\xc3\xa9";
    const std::string_view cut = std::string_view(buffer).substr(0, 2);
    EXPECT_EQ(platform::to_utf16(cut), units(u"a\ufffd"));
    EXPECT_EQ(replace_invalid_utf8(cut), "a\xef\xbf\xbd");
}

class Utf8ToUtf16 : public testing::TestWithParam<Utf8Case> {};

TEST_P(Utf8ToUtf16, ReplacesMalformedBytes) { EXPECT_EQ(platform::to_utf16(GetParam().utf8), units(GetParam().utf16)); }

// Malformed input is never read past its end and never yields a surrogate unit.
INSTANTIATE_TEST_SUITE_P(Text, Utf8ToUtf16,
                         testing::Values(Utf8Case{"TruncatedAtEnd", u"a\ufffd", "a\xe2"},
                                         Utf8Case{"StrayContinuation", u"\ufffda",
                                                  "\x80"
                                                  "a"},
                                         Utf8Case{"EncodedSurrogate", u"\ufffd\ufffd\ufffd", "\xed\xa0\x80"},
                                         Utf8Case{"Overlong", u"\ufffd\ufffd", "\xc0\xaf"},
                                         Utf8Case{"AboveLastPlane", u"\ufffd\ufffd\ufffd\ufffd", "\xf4\x90\x80\x80"}),
                         case_name);

struct TrimCase {
    const char* name;
    std::u16string_view text;
    std::u16string_view trimmed;
};

class TrimEnd : public testing::TestWithParam<TrimCase> {};

TEST_P(TrimEnd, RemovesOnlyTrailingSpaceUnits) {
    const Utf16 text = units(GetParam().text);
    EXPECT_EQ(Utf16(trim_end(text)), units(GetParam().trimmed));
}

INSTANTIATE_TEST_SUITE_P(
    Text, TrimEnd,
    testing::Values(TrimCase{"Empty", u"", u""}, TrimCase{"Nothing", u"Done.", u"Done."},
                    TrimCase{"CrLf", u"Access is denied.\r\n", u"Access is denied."},
                    TrimCase{"EverySpaceUnit", u"x\t\n\v\f\r ", u"x"}, TrimCase{"OnlySpace", u" \r\n\t ", u""},
                    TrimCase{"LeadingAndInnerStay", u" a\r\nb \n", u" a\r\nb"},
                    // Other white space is not trimmed.
                    TrimCase{"NoBreakSpaceStays", u"x\u00a0", u"x\u00a0"},
                    TrimCase{"NextLineStays", u"x\u0085", u"x\u0085"},
                    TrimCase{"NulStays", std::u16string_view(u"x\0", 2), std::u16string_view(u"x\0", 2)},
                    TrimCase{"BelowTabStays", u"x\b", u"x\b"}),
    [](const auto& info) { return std::string(info.param.name); });

struct HresultCase {
    HRESULT code;
    std::string_view text;
};

class FormatHresult : public testing::TestWithParam<HresultCase> {};

TEST_P(FormatHresult, EightUpperCaseDigits) { EXPECT_EQ(format_hresult(GetParam().code), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(Text, FormatHresult,
                         testing::Values(HresultCase{E_ACCESSDENIED, "0x80070005"},
                                         HresultCase{E_OUTOFMEMORY, "0x8007000E"}, HresultCase{0, "0x00000000"},
                                         HresultCase{1, "0x00000001"},
                                         HresultCase{static_cast<HRESULT>(0xFFFFFFFF), "0xFFFFFFFF"},
                                         HresultCase{0x0ABCDEF0, "0x0ABCDEF0"}));

}  // namespace
}  // namespace velmora
