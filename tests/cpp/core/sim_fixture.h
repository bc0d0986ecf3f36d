#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <initializer_list>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include <winsim/control.h>

#include "platform/platform.h"

namespace velmora::testing_support {

using namespace velmora::failures;
using namespace velmora::platform;

// Parameter tables print as their case name rather than as raw bytes.
template <class Case>
    requires requires(const Case& c) { std::string_view(c.name); }
void PrintTo(const Case& c, std::ostream* out) {
    *out << c.name;
}

inline winsim::ErrorObject plain_error(std::optional<std::u16string> description) {
    winsim::ErrorObject error;
    error.kind = winsim::ErrorObject::Kind::plain;
    error.description = std::move(description);
    return error;
}

inline winsim::ErrorObject restricted_error(std::optional<std::u16string> description, HRESULT code,
                                            std::optional<std::u16string> restricted_description) {
    winsim::ErrorObject error;
    error.kind = winsim::ErrorObject::Kind::restricted;
    error.description = std::move(description);
    error.code = code;
    error.restricted_description = std::move(restricted_description);
    return error;
}

// Every test against the simulation starts from a clean platform on a thread
// outside any apartment, and ends by checking that nothing is left behind:
// no live object, BSTR or string, no misuse, and the thread's COM
// initialisation back where the test put it.
class SimFixture : public ::testing::Test {
protected:
    void SetUp() override {
        // Takes any error object an earlier test left on this thread.
        SetErrorInfo(0, nullptr);
        winsim::set_apartment(winsim::Apartment::none);
        winsim::reset();
        expected_depth_ = 0;
        mark_ = 0;
    }

    void TearDown() override {
        EXPECT_EQ(winsim::live_objects(), 0);
        EXPECT_EQ(winsim::violations(), std::vector<std::string>{});
        EXPECT_EQ(winsim::init_depth(), expected_depth_);
    }

    // Puts the thread into an apartment before the code under test runs; the
    // depth it has then is what must be left at the end.
    void enter_apartment(winsim::Apartment apartment) {
        winsim::set_apartment(apartment);
        expected_depth_ = winsim::init_depth();
    }

    // Later checks look only at the calls made from now on (resetting the
    // simulation would also empty its task store).
    void forget_calls() { mark_ = winsim::calls().size(); }

    // The platform calls since the test began or since forget_calls().
    std::vector<std::string> log() const {
        std::vector<std::string> all = winsim::calls();
        return {all.begin() + static_cast<std::ptrdiff_t>(std::min(mark_, all.size())), all.end()};
    }

    std::vector<std::string> calls_matching(std::initializer_list<std::string_view> prefixes) const {
        std::vector<std::string> kept;
        for (std::string& call : log())
            if (std::ranges::any_of(prefixes, [&](std::string_view prefix) { return call.starts_with(prefix); }))
                kept.push_back(std::move(call));
        return kept;
    }

    // What is given up: interface releases, freed BSTRs and leaving the apartment.
    std::vector<std::string> releases() const {
        return calls_matching({"IUnknown::Release(", "SysFreeString(", "CoUninitialize"});
    }

    // The calls of the log after the first one equal to `call`.
    std::vector<std::string> calls_after(std::string_view call) const {
        std::vector<std::string> all = log();
        auto found = std::ranges::find(all, call);
        if (found == all.end()) return {};
        return {found + 1, all.end()};
    }

    bool called(std::string_view call) const {
        const std::vector<std::string> all = log();
        return std::ranges::find(all, call) != all.end();
    }

private:
    int expected_depth_ = 0;
    std::size_t mark_ = 0;
};

}  // namespace velmora::testing_support
