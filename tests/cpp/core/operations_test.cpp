#include <gtest/gtest.h>

#include <chrono>
#include <expected>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "../fixed_texts.h"
#include "../operation_call.h"
#include "failures/failure_record.h"
#include "scheduler/operations.h"
#include "sim_fixture.h"

namespace velmora {

using namespace velmora::failures;
using namespace velmora::platform;
namespace {

using testing_support::PrintTo;

using Strings = std::vector<std::string>;
using winsim::Apartment;

using testing_support::task_xml;
const std::string xml_allocated = "SysAllocStringLen(" + std::string(testing_support::task_xml_in_log) + ")";
const std::string xml_freed = "SysFreeString(" + std::string(testing_support::task_xml_in_log) + ")";

// ASCII text as the scheduler stores it.
std::u16string stored(std::string_view text) { return std::u16string(text.begin(), text.end()); }

using testing_support::Op;

std::expected<bool, TaskFailure> invoke(Op op, std::string_view name = "my task") {
    return testing_support::invoke(op, name, task_xml);
}

std::string op_name(Op op) {
    switch (op) {
        case Op::run_task: return "RunTask";
        case Op::delete_task: return "DeleteTask";
        case Op::task_exists: return "TaskExists";
        case Op::register_xml: return "RegisterXml";
    }
    return "";
}

class OperationTest : public testing_support::SimFixture {
protected:
    void register_task(std::string_view name = "my task") {
        ASSERT_TRUE(scheduler::register_xml(name, task_xml).has_value());
        forget_calls();
    }
};

// The opening steps of every operation, as the log shows them. Each scheduler
// call is preceded by taking any stale error object off the thread.
const Strings opening = {
    "GetErrorInfo",          "CoInitializeEx",        "GetErrorInfo", "CoCreateInstance",        "GetErrorInfo",
    "ITaskService::Connect", "SysAllocStringLen(\\)", "GetErrorInfo", "ITaskService::GetFolder", "SysFreeString(\\)"};
const Strings closing = {"IUnknown::Release(ITaskFolder)", "IUnknown::Release(ITaskService)", "CoUninitialize"};

Strings concat(std::initializer_list<Strings> parts) {
    Strings all;
    for (const Strings& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

TEST_F(OperationTest, RegisterXmlCreatesTheTask) {
    ASSERT_TRUE(scheduler::register_xml("my task", task_xml).has_value());
    EXPECT_EQ(log(), concat({opening,
                             {"SysAllocStringLen(my task)", xml_allocated, "GetErrorInfo", "ITaskFolder::RegisterTask",
                              "IUnknown::Release(IRegisteredTask)", xml_freed, "SysFreeString(my task)"},
                             closing}));
    EXPECT_EQ(winsim::tasks().at(u"my task"), stored(task_xml));
}

TEST_F(OperationTest, RegisterXmlUpdatesAnExistingTask) {
    register_task();
    constexpr std::string_view updated =
        "<Task xmlns=\"http://schemas.microsoft.com/windows/2004/02/mit/task\">"
        "<Actions><Exec><Command>updated</Command></Exec></Actions></Task>";
    ASSERT_TRUE(scheduler::register_xml("my task", updated).has_value());
    EXPECT_FALSE(called("ITaskFolder::GetTask"));
    EXPECT_FALSE(called("ITaskFolder::DeleteTask"));
    EXPECT_EQ(winsim::tasks().at(u"my task"), stored(updated));
}

TEST_F(OperationTest, RunTaskStartsTheTaskAndReleasesTheInstanceAtOnce) {
    register_task();
    ASSERT_TRUE(scheduler::run_task("my task").has_value());
    EXPECT_EQ(log(), concat({opening,
                             {"SysAllocStringLen(my task)", "GetErrorInfo", "ITaskFolder::GetTask",
                              "SysFreeString(my task)", "GetErrorInfo", "IRegisteredTask::RunEx",
                              "IUnknown::Release(IRunningTask)", "IUnknown::Release(IRegisteredTask)"},
                             closing}));
    EXPECT_EQ(winsim::run_counts().at(u"my task"), 1);
}

TEST_F(OperationTest, DeleteTaskRemovesTheTask) {
    register_task();
    ASSERT_TRUE(scheduler::delete_task("my task").has_value());
    EXPECT_EQ(
        log(),
        concat({opening,
                {"SysAllocStringLen(my task)", "GetErrorInfo", "ITaskFolder::DeleteTask", "SysFreeString(my task)"},
                closing}));
    EXPECT_TRUE(winsim::tasks().empty());
}

TEST_F(OperationTest, TaskExistsFindsARegisteredTaskAndKeepsNoReference) {
    register_task();
    const auto exists = scheduler::task_exists("my task");
    ASSERT_TRUE(exists.has_value());
    EXPECT_TRUE(*exists);
    EXPECT_EQ(log(), concat({opening,
                             {"SysAllocStringLen(my task)", "GetErrorInfo", "ITaskFolder::GetTask",
                              "SysFreeString(my task)", "IUnknown::Release(IRegisteredTask)"},
                             closing}));
}

// Names reach the scheduler unchanged, NUL and characters above U+FFFF included.
TEST_F(OperationTest, NamesKeepNulAndNonBmpCharacters) {
    const std::string_view name("a\0b\xf0\x9f\x98\x80", 7);
    ASSERT_TRUE(scheduler::register_xml(name, task_xml).has_value());
    ASSERT_TRUE(scheduler::run_task(name).has_value());
    const std::u16string expected(u"a\0b\U0001F600", 5);
    EXPECT_EQ(winsim::tasks().count(expected), 1u);
    EXPECT_EQ(winsim::run_counts().at(expected), 1);
    EXPECT_EQ(scheduler::task_exists(name), true);
    EXPECT_EQ(scheduler::task_exists(std::string_view("a", 1)), false);
}

// An empty name is not rejected: it reaches the scheduler as a null BSTR,
// which the scheduler refuses for a lookup.
TEST_F(OperationTest, EmptyNameReachesTheSchedulerAsNullBstr) {
    const auto outcome = scheduler::task_exists("");
    ASSERT_FALSE(outcome.has_value());
    EXPECT_EQ(outcome.error().step, "GetTask");
    EXPECT_EQ(outcome.error().hresult, E_INVALIDARG);
    EXPECT_EQ(outcome.error().message, testing_support::invalid_argument_text);
    EXPECT_EQ(calls_matching({"SysAllocStringLen", "SysFreeString"}),
              (Strings{"SysAllocStringLen(\\)", "SysFreeString(\\)"}));
}

struct NotFoundCase {
    const char* name;
    HRESULT code;
};

class TaskExistsNotFound : public OperationTest, public testing::WithParamInterface<NotFoundCase> {};

// Both not-found codes answer false; the error object the call left is
// dropped without any message text being made.
TEST_P(TaskExistsNotFound, IsFalseAndMakesNoMessage) {
    winsim::script("GetTask", GetParam().code, false,
                   testing_support::restricted_error(u"description", GetParam().code, u"restricted"));
    const auto exists = scheduler::task_exists("my task");
    ASSERT_TRUE(exists.has_value());
    EXPECT_FALSE(*exists);
    EXPECT_FALSE(called("FormatMessageW"));
    EXPECT_FALSE(called("IRestrictedErrorInfo::GetErrorDetails"));
    // Captured before the name is freed.
    EXPECT_EQ(calls_after("ITaskFolder::GetTask").front(), "GetErrorInfo");
    // The capture gives back the reference GetErrorInfo handed out and the
    // propagation context interface; dropping the Error gives back the last.
    EXPECT_EQ(releases(), concat({{"SysFreeString(\\)", "IUnknown::Release(IRestrictedErrorInfo)",
                                   "IUnknown::Release(IRestrictedErrorInfo)", "SysFreeString(my task)",
                                   "IUnknown::Release(IRestrictedErrorInfo)"},
                                  closing}));
    EXPECT_TRUE(called("ILanguageExceptionErrorInfo2::CapturePropagationContext"));
}

INSTANTIATE_TEST_SUITE_P(Operations, TaskExistsNotFound,
                         testing::Values(NotFoundCase{"FileNotFound", HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)},
                                         NotFoundCase{"PathNotFound", HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND)}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(OperationTest, TaskExistsIsFalseForMissingTaskAndMissingFolder) {
    EXPECT_EQ(scheduler::task_exists("missing"), false);
    EXPECT_EQ(scheduler::task_exists("no folder\\missing"), false);
}

// Every failing step of every operation, with an HRESULT and with a success
// that hands back no interface.
struct StepFailureCase {
    std::string name;
    Op op;
    std::string_view step;       // scripted step
    std::string_view call;       // its entry in the call log
    bool null_out;
    std::string_view label;      // expected step label
    Strings released;            // everything given up, in order
    int freed_before_message = 0;
};

StepFailureCase step_case(Op op, std::string_view step, std::string_view call, bool null_out, std::string_view label,
                          Strings released, int freed_before_message = 0) {
    return {op_name(op) + "_" + std::string(step) + (null_out ? "_NullOut" : "_Fails"),
            op,
            step,
            call,
            null_out,
            label,
            std::move(released),
            freed_before_message};
}

class StepFailure : public OperationTest, public testing::WithParamInterface<StepFailureCase> {};

constexpr HRESULT scripted_code = WINSIM_HR(0x80041F01);

TEST_P(StepFailure, ReturnsTheLabelledFailureAndReleasesLatestFirst) {
    const StepFailureCase& c = GetParam();
    if (c.step == "RunEx") register_task();
    winsim::set_message(static_cast<std::uint32_t>(scripted_code), u"Scripted failure.\r\n");
    winsim::script(c.step, c.null_out ? S_OK : scripted_code, c.null_out);

    const auto outcome = invoke(c.op);

    ASSERT_FALSE(outcome.has_value());
    EXPECT_EQ(outcome.error().step, c.label);
    if (c.null_out) {
        EXPECT_EQ(outcome.error().hresult, 0);
        EXPECT_EQ(outcome.error().message, "The operation completed successfully. (0x00000000)");
    } else {
        EXPECT_EQ(outcome.error().hresult, scripted_code);
        EXPECT_EQ(outcome.error().message, "Scripted failure. (0x80041F01)");
    }
    EXPECT_EQ(releases(), c.released);

    // The error object is taken right after the failed call (none is asked for
    // a missing interface), and the message is made before the step's own
    // clean-up; only task_exists frees its name as soon as GetTask returns.
    const Strings after = calls_after(c.call);
    ASSERT_FALSE(after.empty());
    if (!c.null_out) {
        EXPECT_EQ(after.front(), "GetErrorInfo");
    }
    const auto message_made = std::ranges::find(after, "FormatMessageW");
    ASSERT_NE(message_made, after.end());
    const auto freed_first = std::count_if(after.begin(), message_made, [](const std::string& call) {
        return call.starts_with("SysFreeString(") || call.starts_with("IUnknown::Release(") || call == "CoUninitialize";
    });
    EXPECT_EQ(freed_first, c.freed_before_message);
    // Nothing of the operation runs after its failed step.
    for (std::string_view later :
         {"ITaskService::Connect", "ITaskService::GetFolder", "ITaskFolder::GetTask", "IRegisteredTask::RunEx",
          "ITaskFolder::DeleteTask", "ITaskFolder::RegisterTask", "SysAllocStringLen"})
        EXPECT_EQ(std::ranges::count(after, later), 0) << later;
}

const Strings open_failed_after_init = {"CoUninitialize"};
const Strings open_failed_after_create = {"IUnknown::Release(ITaskService)", "CoUninitialize"};
const Strings open_failed_after_folder = {"SysFreeString(\\)", "IUnknown::Release(ITaskService)", "CoUninitialize"};
const Strings name_and_session = concat({{"SysFreeString(\\)", "SysFreeString(my task)"}, closing});

std::vector<StepFailureCase> step_failure_cases() {
    const Strings run_ex_released =
        concat({{"SysFreeString(\\)", "SysFreeString(my task)", "IUnknown::Release(IRegisteredTask)"}, closing});
    const Strings register_released = concat({{"SysFreeString(\\)", xml_freed, "SysFreeString(my task)"}, closing});

    std::vector<StepFailureCase> cases;
    for (Op op : {Op::run_task, Op::delete_task, Op::task_exists, Op::register_xml}) {
        cases.push_back(step_case(op, "CoInitializeEx", "CoInitializeEx", false, "CoInitializeEx", {}));
        cases.push_back(step_case(op, "Connect", "ITaskService::Connect", false, "Connect", open_failed_after_create));
        for (bool null_out : {false, true}) {
            cases.push_back(step_case(op, "CoCreateInstance", "CoCreateInstance", null_out, "CoCreateInstance",
                                      open_failed_after_init));
            cases.push_back(
                step_case(op, "GetFolder", "ITaskService::GetFolder", null_out, "GetFolder", open_failed_after_folder));
        }
    }
    for (bool null_out : {false, true}) {
        cases.push_back(
            step_case(Op::run_task, "GetTask", "ITaskFolder::GetTask", null_out, "GetTask", name_and_session));
        cases.push_back(step_case(Op::run_task, "RunEx", "IRegisteredTask::RunEx", null_out, "RunEx", run_ex_released));
        cases.push_back(
            step_case(Op::task_exists, "GetTask", "ITaskFolder::GetTask", null_out, "GetTask", name_and_session, 1));
        cases.push_back(step_case(Op::register_xml, "RegisterTask", "ITaskFolder::RegisterTask", null_out,
                                  "RegisterTask", register_released));
    }
    cases.push_back(
        step_case(Op::delete_task, "DeleteTask", "ITaskFolder::DeleteTask", false, "DeleteTask", name_and_session));
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Operations, StepFailure, testing::ValuesIn(step_failure_cases()),
                         [](const auto& info) { return info.param.name; });

// Codes with a meaning elsewhere get none here: they are failures like any other.
struct PlainFailureCase {
    const char* name;
    Op op;
    std::string_view step;
    HRESULT code;
    std::string_view message;
};

class FailureWithoutSpecialMeaning : public OperationTest, public testing::WithParamInterface<PlainFailureCase> {};

TEST_P(FailureWithoutSpecialMeaning, IsReportedUnderItsStep) {
    const PlainFailureCase& c = GetParam();
    winsim::script(c.step, c.code);
    const auto outcome = invoke(c.op);
    ASSERT_FALSE(outcome.has_value());
    EXPECT_EQ(outcome.error().step, c.step);
    EXPECT_EQ(outcome.error().hresult, c.code);
    EXPECT_EQ(outcome.error().message, c.message);
    EXPECT_FALSE(called("IRegisteredTask::RunEx"));
}

INSTANTIATE_TEST_SUITE_P(
    Operations, FailureWithoutSpecialMeaning,
    testing::Values(PlainFailureCase{"TaskExistsAccessDenied", Op::task_exists, "GetTask", E_ACCESSDENIED,
                                     testing_support::access_denied_text},
                    PlainFailureCase{"RunTaskNotFound", Op::run_task, "GetTask",
                                     HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), testing_support::file_not_found_text},
                    PlainFailureCase{"RunTaskPathNotFound", Op::run_task, "GetTask",
                                     HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND),
                                     "The system cannot find the path specified. (0x80070003)"},
                    PlainFailureCase{"DeleteTaskNotFound", Op::delete_task, "DeleteTask",
                                     HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), testing_support::file_not_found_text},
                    PlainFailureCase{"RegisterAccessDenied", Op::register_xml, "RegisterTask", E_ACCESSDENIED,
                                     testing_support::access_denied_text}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(OperationTest, AccessDeniedKeepsItsSignedCode) {
    winsim::script("DeleteTask", E_ACCESSDENIED);
    const auto outcome = scheduler::delete_task("my task");
    ASSERT_FALSE(outcome.has_value());
    EXPECT_EQ(outcome.error().hresult, -2147024891);
}

TEST_F(OperationTest, MalformedXmlCarriesTheSchedulersDescription) {
    const auto outcome = scheduler::register_xml("my task", "<Task><Actions></Task>");
    ASSERT_FALSE(outcome.has_value());
    EXPECT_EQ(outcome.error().step, "RegisterTask");
    EXPECT_EQ(outcome.error().hresult, SCHED_E_MALFORMEDXML);
    EXPECT_TRUE(outcome.error().message.starts_with("(1,")) << outcome.error().message;
    EXPECT_TRUE(outcome.error().message.ends_with(" (0x8004131A)")) << outcome.error().message;
    EXPECT_TRUE(winsim::tasks().empty());
}

// The apartment the thread is already in decides whether the operation leaves
// it again: an MTA thread gets S_FALSE and is balanced by one CoUninitialize,
// an STA thread is borrowed and never uninitialised.
struct ApartmentCase {
    const char* name;
    Apartment apartment;
    bool uninitialises;
};

class ExistingApartment : public OperationTest, public testing::WithParamInterface<ApartmentCase> {};

TEST_P(ExistingApartment, IsLeftAsItWas) {
    enter_apartment(GetParam().apartment);
    for (Op op : {Op::register_xml, Op::task_exists, Op::run_task, Op::delete_task}) {
        forget_calls();
        const auto outcome = invoke(op);
        ASSERT_TRUE(outcome.has_value()) << op_name(op) << ": " << outcome.error().message;
        EXPECT_EQ(std::ranges::count(log(), "CoUninitialize"), GetParam().uninitialises ? 1 : 0);
        EXPECT_EQ(winsim::init_depth(), 1);
    }
}

INSTANTIATE_TEST_SUITE_P(Operations, ExistingApartment,
                         testing::Values(ApartmentCase{"Multithreaded", Apartment::mta, true},
                                         ApartmentCase{"SingleThreaded", Apartment::sta, false}),
                         [](const auto& info) { return std::string(info.param.name); });

// A refused initialisation is tolerated; the error object it left is dropped.
TEST_F(OperationTest, ChangedModeDropsItsErrorObject) {
    enter_apartment(Apartment::sta);
    winsim::script("CoInitializeEx", RPC_E_CHANGED_MODE, false, testing_support::plain_error(u"changed"));
    ASSERT_TRUE(scheduler::register_xml("my task", task_xml).has_value());
    EXPECT_EQ(calls_after("CoInitializeEx").front(), "GetErrorInfo");
    EXPECT_FALSE(called("FormatMessageW"));
    EXPECT_FALSE(called("CoUninitialize"));
}

TEST_F(OperationTest, FailureOnASingleThreadedApartmentDoesNotUninitialise) {
    enter_apartment(Apartment::sta);
    winsim::script("Connect", E_ACCESSDENIED);
    const auto outcome = scheduler::task_exists("my task");
    ASSERT_FALSE(outcome.has_value());
    EXPECT_EQ(outcome.error().step, "Connect");
    EXPECT_EQ(releases(), Strings{"IUnknown::Release(ITaskService)"});
}

// Each thread joins and leaves its own apartment.
TEST_F(OperationTest, RunsOnAFreshThreadAndLeavesItUninitialised) {
    register_task();
    int depth_after = -1;
    std::expected<bool, TaskFailure> outcome = false;
    std::thread worker([&] {
        outcome = scheduler::task_exists("my task");
        depth_after = winsim::init_depth();
    });
    worker.join();
    EXPECT_EQ(outcome, true);
    EXPECT_EQ(depth_after, 0);
}

// Sessions share nothing: a thread held inside GetTask does not stop another
// thread from running a whole operation in its own apartment.
TEST_F(OperationTest, SessionsOnTwoThreadsAreIndependent) {
    register_task();
    winsim::pause("GetTask");
    std::expected<bool, TaskFailure> held = false;
    int held_depth = -1;
    std::thread worker([&] {
        held = scheduler::task_exists("my task");
        held_depth = winsim::init_depth();
    });
    // Bounded only so that a broken pause cannot hang the suite.
    for (int i = 0; i < 10000 && winsim::waiting("GetTask") == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const bool worker_was_held = winsim::waiting("GetTask") == 1;

    const auto other = scheduler::register_xml("other", task_xml);
    const int depth_meanwhile = winsim::init_depth();
    winsim::resume("GetTask");
    worker.join();

    EXPECT_TRUE(worker_was_held);
    EXPECT_TRUE(other.has_value());
    EXPECT_EQ(depth_meanwhile, 0);
    EXPECT_EQ(held, true);
    EXPECT_EQ(held_depth, 0);
    EXPECT_EQ(winsim::tasks().size(), 2u);
}

}  // namespace
}  // namespace velmora
