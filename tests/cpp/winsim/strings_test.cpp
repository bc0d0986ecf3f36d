// BSTRs and HSTRINGs: exact content and length, accounting, and misuse.

#include <cstring>

#include "winsim_fixture.h"

namespace winsim_test {
namespace {

using Strings = Sim;

TEST_F(Strings, BstrKeepsEveryUnitAndCountsAsAlive) {
    const std::u16string text(u"a\0\xD83D\xDE00z", 5);
    BSTR value = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(SysStringLen(value), 5u);
    EXPECT_EQ(std::u16string(value, 5), text);
    EXPECT_EQ(value[5], u'\0');
    std::uint32_t prefix = 0;
    std::memcpy(&prefix, reinterpret_cast<const char*>(value) - 4, 4);
    EXPECT_EQ(prefix, 10u) << "the byte length sits in front of the text";
    EXPECT_EQ(winsim::live_objects(), baseline_ + 1);
    SysFreeString(value);
    EXPECT_EQ(winsim::live_objects(), baseline_);
}

TEST_F(Strings, NullSourceGivesZeroedTextOfThatLength) {
    BSTR value = SysAllocStringLen(nullptr, 3);
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(std::u16string(value, 3), std::u16string(3, u'\0'));
    SysFreeString(value);
}

TEST_F(Strings, NullBstrHasNoLengthAndFreesToNothing) {
    EXPECT_EQ(SysStringLen(nullptr), 0u);
    SysFreeString(nullptr);
    EXPECT_EQ(winsim::calls(), std::vector<std::string>{"SysFreeString(null)"});
}

TEST_F(Strings, LogShowsTextCutAfterThirtyTwoCharacters) {
    const std::u16string long_text = u"0123456789abcdefghijklmnopqrstuvWXYZ";
    const std::u16string unpaired = u"x\xD800y\U0001F600";
    {
        TestBstr a(long_text);
    }
    {
        TestBstr b(unpaired);
    }
    {
        TestBstr c(u"\\");
    }
    const std::vector<std::string> expected = {
        "SysAllocStringLen(0123456789abcdefghijklmnopqrstuv...)",
        "SysFreeString(0123456789abcdefghijklmnopqrstuv...)",
        "SysAllocStringLen(x\xEF\xBF\xBDy\xF0\x9F\x98\x80)",
        "SysFreeString(x\xEF\xBF\xBDy\xF0\x9F\x98\x80)",
        "SysAllocStringLen(\\)",
        "SysFreeString(\\)",
    };
    EXPECT_EQ(winsim::calls(), expected);
}

TEST_F(Strings, SecondFreeIsReportedAndHarmless) {
    BSTR value = SysAllocStringLen(u"abc", 3);
    SysFreeString(value);
    SysFreeString(value);
    EXPECT_EQ(winsim::violations(), std::vector<std::string>{"SysFreeString of a BSTR that was already freed"});
    EXPECT_EQ(winsim::calls().back(), "SysFreeString(<freed>)");
    EXPECT_EQ(winsim::live_objects(), baseline_);
    winsim::reset();
}

TEST_F(Strings, ForeignPointersAreReportedNotFreed) {
    char16_t stack_text[] = u"stack";
    SysFreeString(stack_text);
    EXPECT_EQ(SysStringLen(stack_text), 0u);
    EXPECT_EQ(winsim::violations(), (std::vector<std::string>{"SysFreeString of a pointer that is not a BSTR",
                                                              "SysStringLen of a pointer that is not a BSTR"}));
    EXPECT_EQ(std::u16string(stack_text), u"stack");
    winsim::reset();
}

TEST_F(Strings, ScriptedAllocationFailureGivesNull) {
    winsim::script("SysAllocStringLen", E_OUTOFMEMORY);
    EXPECT_EQ(SysAllocStringLen(u"abc", 3), nullptr);
    TestBstr after(u"abc");
    EXPECT_NE(after.get(), nullptr) << "the script affects one call only";
}

TEST_F(Strings, ScriptedNullOutGivesNull) {
    winsim::script("SysAllocStringLen", S_OK, true, {}, 2);
    EXPECT_EQ(SysAllocStringLen(u"a", 1), nullptr);
    EXPECT_EQ(SysAllocStringLen(u"b", 1), nullptr);
    TestBstr after(u"c");
    EXPECT_NE(after.get(), nullptr);
}

TEST_F(Strings, ImpossibleLengthGivesNull) { EXPECT_EQ(SysAllocStringLen(nullptr, 0xFFFFFFFFu), nullptr); }

TEST_F(Strings, HstringLifecycle) {
    HSTRING value = nullptr;
    ASSERT_EQ(WindowsCreateString(u"abc", 3, &value), S_OK);
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(winsim::live_objects(), baseline_ + 1);
    EXPECT_EQ(WindowsDeleteString(value), S_OK);
    EXPECT_EQ(winsim::live_objects(), baseline_);
}

struct HstringCase {
    const char16_t* source;
    UINT32 length;
    bool with_out;
    HRESULT expected;
};

class HstringCreation : public Sim, public ::testing::WithParamInterface<HstringCase> {};

TEST_P(HstringCreation, GivesTheRuntimeResult) {
    HSTRING value = reinterpret_cast<HSTRING>(1);
    EXPECT_EQ(WindowsCreateString(GetParam().source, GetParam().length, GetParam().with_out ? &value : nullptr),
              GetParam().expected);
    if (GetParam().with_out) {
        EXPECT_EQ(value, nullptr);
    }
}

INSTANTIATE_TEST_SUITE_P(Edges, HstringCreation,
                         ::testing::Values(HstringCase{u"abc", 0, true, S_OK},  // empty: the null HSTRING
                                           HstringCase{nullptr, 0, true, S_OK},
                                           HstringCase{nullptr, 2, true, E_POINTER},
                                           HstringCase{u"abc", 3, false, E_INVALIDARG}));

TEST_F(Strings, HstringDeletedTwiceIsReported) {
    HSTRING value = nullptr;
    ASSERT_EQ(WindowsCreateString(u"abc", 3, &value), S_OK);
    WindowsDeleteString(value);
    EXPECT_EQ(WindowsDeleteString(value), S_OK);
    EXPECT_EQ(WindowsDeleteString(nullptr), S_OK);
    EXPECT_EQ(winsim::violations(),
              std::vector<std::string>{"WindowsDeleteString of an HSTRING that was already deleted"});
    winsim::reset();
}

}  // namespace
}  // namespace winsim_test
