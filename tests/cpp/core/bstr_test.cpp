#include <gtest/gtest.h>

#include <sys/mman.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "../operation_call.h"
#include "failures/internal_fault.h"
#include "scheduler/operations.h"
#include "scheduler/session.h"
#include "sim_fixture.h"

namespace velmora {

using namespace velmora::failures;
using namespace velmora::platform;
namespace {

using testing_support::PrintTo;

using Strings = std::vector<std::string>;
using platform::Bstr;
using platform::Utf16;

constexpr std::string_view out_of_memory_fault =
    "called `Result::unwrap()` on an `Err` value: Error { code: HRESULT(0x8007000E), message: \"Not enough "
    "memory resources are available to complete this operation.\" }";

// Runs `body` and returns the message of the internal fault it throws.
template <class Body>
std::optional<std::string> fault_of(Body&& body) {
    try {
        body();
    } catch (const InternalFault& fault) {
        return fault.message().value_or("<no text>");
    }
    return std::nullopt;
}

class ToBstr : public testing_support::SimFixture {};

TEST_F(ToBstr, EmptyTextIsANullBstrAndAllocatesNothing) {
    const Bstr bstr = scheduler::to_bstr("");
    EXPECT_EQ(bstr.get(), nullptr);
    EXPECT_TRUE(log().empty());
}

struct ContentCase {
    const char* name;
    std::string_view text;
    std::u16string_view units;
};

class ToBstrContent : public testing_support::SimFixture, public testing::WithParamInterface<ContentCase> {};

TEST_P(ToBstrContent, HoldsExactlyTheUtf16Units) {
    const Bstr bstr = scheduler::to_bstr(GetParam().text);
    ASSERT_NE(bstr.get(), nullptr);
    EXPECT_EQ(SysStringLen(bstr.get()), GetParam().units.size());
    EXPECT_EQ(Utf16(bstr.view()), Utf16(GetParam().units.begin(), GetParam().units.end()));
}

INSTANTIATE_TEST_SUITE_P(
    Scheduler, ToBstrContent,
    testing::Values(ContentCase{"Backslash", "\\", u"\\"},
                    // Three characters with U+0000 in the middle: length 3.
                    ContentCase{"InnerNul", std::string_view("a\0b", 3), std::u16string_view(u"a\0b", 3)},
                    ContentCase{"OnlyNul", std::string_view("\0", 1), std::u16string_view(u"\0", 1)},
                    // A character above U+FFFF counts as both units of its pair.
                    ContentCase{"NonBmp", "x\xf0\x9f\x98\x80", u"x\xd83d\xde00"},
                    ContentCase{"Mixed", "\xc3\xa9\xe2\x82\xac\xf4\x8f\xbf\xbf", u"\u00e9\u20ac\U0010FFFF"}),
    [](const auto& info) { return std::string(info.param.name); });

struct AllocationFailureCase {
    const char* name;
    HRESULT hresult;
    bool null_out;
    winsim::ErrorObject error;
    std::string_view fault;
};

class ToBstrAllocationFailure : public testing_support::SimFixture,
                                public testing::WithParamInterface<AllocationFailureCase> {};

TEST_P(ToBstrAllocationFailure, IsAnInternalFaultWithTheDiagnosticForm) {
    winsim::script("SysAllocStringLen", GetParam().hresult, GetParam().null_out, GetParam().error);
    EXPECT_EQ(fault_of([] { scheduler::to_bstr("my task"); }), GetParam().fault);
    // Captured straight after the allocation; there is nothing to free.
    EXPECT_EQ(calls_after("SysAllocStringLen(my task)").front(), "GetErrorInfo");
    EXPECT_FALSE(called("SysFreeString(my task)"));
}

INSTANTIATE_TEST_SUITE_P(
    Scheduler, ToBstrAllocationFailure,
    testing::Values(AllocationFailureCase{"Null", S_OK, true, {}, out_of_memory_fault},
                    AllocationFailureCase{"Failed", E_OUTOFMEMORY, false, {}, out_of_memory_fault},
                    // An error object left on the thread is what the message reads.
                    AllocationFailureCase{
                        "WithErrorObject", E_OUTOFMEMORY, false,
                        testing_support::restricted_error(std::nullopt, E_OUTOFMEMORY, u"Heap exhausted.\r\n"),
                        "called `Result::unwrap()` on an `Err` value: Error { code: HRESULT(0x8007000E), "
                        "message: \"Heap exhausted.\" }"}),
    [](const auto& info) { return std::string(info.param.name); });

constexpr std::string_view no_address_space = "<cannot reserve address space for the text>";

// The fault of make_bstr for `count` units. The units are never read past
// the start, so an untouched read-only reservation stands in for them.
std::string fault_for_units(std::size_t count) {
    const std::size_t bytes = count * sizeof(WCHAR);
    void* units = mmap(nullptr, bytes, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (units == MAP_FAILED) return std::string(no_address_space);
    const auto fault = fault_of([&] { scheduler::make_bstr({static_cast<const WCHAR*>(units), count}); });
    munmap(units, bytes);
    return fault.value_or("<no fault>");
}

// Text of more than 0xFFFFFFFF units cannot be a BSTR.
TEST_F(ToBstr, MoreUnitsThanABstrCanCountIsAnInternalFault) {
    const std::string fault = fault_for_units(0x100000000u);
    if (fault == no_address_space) GTEST_SKIP() << fault;
    EXPECT_EQ(fault,
              "called `Result::unwrap()` on an `Err` value: Error { code: HRESULT(0x80070057), message: "
              "\"The parameter is incorrect.\" }");
    EXPECT_FALSE(called("SysAllocStringLen"));
    EXPECT_FALSE(called("GetErrorInfo"));
}

// Exactly 0xFFFFFFFF units still fit: they go to the allocation (refused here).
TEST_F(ToBstr, AsManyUnitsAsABstrCanCountReachTheAllocation) {
    winsim::script("SysAllocStringLen", S_OK, true);
    const std::string fault = fault_for_units(0xFFFFFFFFu);
    if (fault == no_address_space) GTEST_SKIP() << fault;
    EXPECT_EQ(fault, out_of_memory_fault);
}

// A BSTR that cannot be made abandons the operation; what it holds is still
// given back, latest first.
using testing_support::Op;

struct OperationFaultCase {
    const char* name;
    Op op;
    int allocations_before;  // successful SysAllocStringLen calls before the failing one
    winsim::Apartment apartment;
    Strings released;
    std::string_view never_called;
};

class OperationFault : public testing_support::SimFixture, public testing::WithParamInterface<OperationFaultCase> {};

TEST_P(OperationFault, ReleasesWhatIsHeld) {
    const OperationFaultCase& c = GetParam();
    enter_apartment(c.apartment);
    if (c.allocations_before > 0) winsim::script("SysAllocStringLen", S_OK, false, {}, c.allocations_before);
    winsim::script("SysAllocStringLen", E_OUTOFMEMORY);

    const auto fault = fault_of([&] { (void)testing_support::invoke(c.op, "my task", "<Task/>"); });

    EXPECT_EQ(fault, out_of_memory_fault);
    EXPECT_EQ(releases(), c.released);
    EXPECT_FALSE(called(c.never_called));
}

const Strings session_only = {"SysFreeString(\\)", "IUnknown::Release(ITaskFolder)", "IUnknown::Release(ITaskService)",
                              "CoUninitialize"};

INSTANTIATE_TEST_SUITE_P(
    Scheduler, OperationFault,
    testing::Values(
        // The root folder's path is the first BSTR of every operation.
        OperationFaultCase{"WhileOpening",
                           Op::task_exists,
                           0,
                           winsim::Apartment::none,
                           {"IUnknown::Release(ITaskService)", "CoUninitialize"},
                           "ITaskService::GetFolder"},
        OperationFaultCase{"WhileOpeningOnSta",
                           Op::run_task,
                           0,
                           winsim::Apartment::sta,
                           {"IUnknown::Release(ITaskService)"},
                           "ITaskService::GetFolder"},
        OperationFaultCase{"RunTaskName", Op::run_task, 1, winsim::Apartment::none, session_only,
                           "ITaskFolder::GetTask"},
        OperationFaultCase{"DeleteTaskName", Op::delete_task, 1, winsim::Apartment::none, session_only,
                           "ITaskFolder::DeleteTask"},
        OperationFaultCase{"TaskExistsName", Op::task_exists, 1, winsim::Apartment::none, session_only,
                           "ITaskFolder::GetTask"},
        OperationFaultCase{"RegisterXmlName", Op::register_xml, 1, winsim::Apartment::none, session_only,
                           "SysAllocStringLen(<Task/>)"},
        OperationFaultCase{"RegisterXmlXml",
                           Op::register_xml,
                           2,
                           winsim::Apartment::none,
                           {"SysFreeString(\\)", "SysFreeString(my task)", "IUnknown::Release(ITaskFolder)",
                            "IUnknown::Release(ITaskService)", "CoUninitialize"},
                           "ITaskFolder::RegisterTask"},
        OperationFaultCase{"RegisterXmlXmlOnMta",
                           Op::register_xml,
                           2,
                           winsim::Apartment::mta,
                           {"SysFreeString(\\)", "SysFreeString(my task)", "IUnknown::Release(ITaskFolder)",
                            "IUnknown::Release(ITaskService)", "CoUninitialize"},
                           "ITaskFolder::RegisterTask"},
        OperationFaultCase{"RegisterXmlXmlOnSta",
                           Op::register_xml,
                           2,
                           winsim::Apartment::sta,
                           {"SysFreeString(\\)", "SysFreeString(my task)", "IUnknown::Release(ITaskFolder)",
                            "IUnknown::Release(ITaskService)"},
                           "ITaskFolder::RegisterTask"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace velmora
