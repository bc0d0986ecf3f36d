// Scripted outcomes of each step, pausing, the call log and concurrent use.

#include <atomic>
#include <stdexcept>

#include "winsim_fixture.h"

namespace winsim_test {
namespace {

using Scripting = Sim;

// Calls the step once on an open session and reports what the call returned,
// whether its out-pointer came back non-null and whether an error object was
// left. Everything it gets is released.
struct StepResult {
    HRESULT hr;
    bool out_set;
    std::optional<std::u16string> error_description;
};

std::optional<std::u16string> take_description() {
    IErrorInfo* info = nullptr;
    if (GetErrorInfo(0, &info) != S_OK) return std::nullopt;
    BSTR description = nullptr;
    info->GetDescription(&description);
    std::u16string text = text_of(description);
    SysFreeString(description);
    info->Release();
    return text;
}

StepResult call_step(const std::string& step) {
    VARIANT empty{};
    if (step == "CoInitializeEx") {
        const HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        if (SUCCEEDED(hr)) CoUninitialize();
        return {hr, false, take_description()};
    }
    if (step == "CoCreateInstance" || step == "Connect" || step == "GetFolder") {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        ITaskService* service = nullptr;
        HRESULT hr = CoCreateInstance(CLSID_TaskScheduler, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskService,
                                      reinterpret_cast<void**>(&service));
        StepResult result{hr, service != nullptr, std::nullopt};
        if (step != "CoCreateInstance" && service != nullptr) {
            hr = service->Connect(empty, empty, empty, empty);
            result = {hr, false, std::nullopt};
            if (step == "GetFolder" && SUCCEEDED(hr)) {
                TestBstr root(u"\\");
                ITaskFolder* folder = nullptr;
                result.hr = service->GetFolder(root.get(), &folder);
                result.out_set = folder != nullptr;
                if (folder != nullptr) folder->Release();
            }
        }
        result.error_description = take_description();
        if (service != nullptr) service->Release();
        CoUninitialize();
        return result;
    }
    // The other steps need a session, and a task, whose making must not consume the script.
    Session session;
    if (session.folder() == nullptr) return {E_UNEXPECTED, false, std::nullopt};
    if (step == "RegisterTask") {
        IRegisteredTask* task = nullptr;
        const HRESULT hr = session.register_task(u"New", sample_xml, TASK_CREATE_OR_UPDATE, &task);
        StepResult result{hr, task != nullptr, take_description()};
        if (task != nullptr) task->Release();
        return result;
    }
    if (session.register_task(u"Present", sample_xml) != S_OK) return {E_UNEXPECTED, false, std::nullopt};
    if (step == "DeleteTask") {
        TestBstr name(u"Present");
        const HRESULT hr = session.folder()->DeleteTask(name.get(), 0);
        return {hr, false, take_description()};
    }
    TestBstr name(u"Present");
    IRegisteredTask* task = nullptr;
    const HRESULT get_hr = session.folder()->GetTask(name.get(), &task);
    if (step == "GetTask") {
        StepResult result{get_hr, task != nullptr, take_description()};
        if (task != nullptr) task->Release();
        return result;
    }
    if (task == nullptr) return {E_UNEXPECTED, false, std::nullopt};
    IRunningTask* running = nullptr;
    const HRESULT hr = task->RunEx(empty, 0, 0, nullptr, &running);
    StepResult result{hr, running != nullptr, take_description()};
    if (running != nullptr) running->Release();
    task->Release();
    return result;
}

class ScriptedSteps : public Sim, public ::testing::WithParamInterface<const char*> {};

TEST_P(ScriptedSteps, FailWithTheScriptedResultAndErrorObjectOnce) {
    const std::string step = GetParam();
    winsim::script(
        step, E_ACCESSDENIED, false,
        {winsim::ErrorObject::Kind::plain, u"scripted " + std::u16string(step.begin(), step.end()), 0, std::nullopt});
    const StepResult failed = call_step(step);
    EXPECT_EQ(failed.hr, E_ACCESSDENIED);
    EXPECT_FALSE(failed.out_set);
    EXPECT_EQ(failed.error_description, u"scripted " + std::u16string(step.begin(), step.end()));
    const StepResult next = call_step(step);
    EXPECT_TRUE(SUCCEEDED(next.hr)) << "the script covered one call";
    EXPECT_EQ(next.error_description, std::nullopt);
}

TEST_P(ScriptedSteps, CountCoversThatManyCalls) {
    const std::string step = GetParam();
    winsim::script(step, E_FAIL, false, {}, 2);
    EXPECT_EQ(call_step(step).hr, E_FAIL);
    EXPECT_EQ(call_step(step).hr, E_FAIL);
    EXPECT_TRUE(SUCCEEDED(call_step(step).hr));
}

INSTANTIATE_TEST_SUITE_P(Steps, ScriptedSteps,
                         ::testing::Values("CoInitializeEx", "CoCreateInstance", "Connect", "GetFolder", "GetTask",
                                           "RunEx", "DeleteTask", "RegisterTask"));

class NullOutSteps : public Sim, public ::testing::WithParamInterface<const char*> {};

TEST_P(NullOutSteps, SucceedWithoutAnInterface) {
    winsim::script(GetParam(), S_OK, true);
    const StepResult result = call_step(GetParam());
    EXPECT_EQ(result.hr, S_OK);
    EXPECT_FALSE(result.out_set);
    EXPECT_TRUE(call_step(GetParam()).out_set);
}

INSTANTIATE_TEST_SUITE_P(Steps, NullOutSteps,
                         ::testing::Values("CoCreateInstance", "GetFolder", "GetTask", "RunEx", "RegisterTask"));

TEST_F(Scripting, SuccessCodeIsReturnedAfterTheWork) {
    winsim::script("RegisterTask", S_FALSE);
    const StepResult result = call_step("RegisterTask");
    EXPECT_EQ(result.hr, S_FALSE);
    EXPECT_TRUE(result.out_set);
    EXPECT_EQ(winsim::tasks().count(u"New"), 1u);
}

TEST_F(Scripting, ZeroCountScriptsNothing) {
    winsim::script("GetTask", E_FAIL, false, {}, 0);
    EXPECT_EQ(call_step("GetTask").hr, S_OK);
}

TEST_F(Scripting, ScriptsQueueInOrder) {
    winsim::script("DeleteTask", E_FAIL);
    winsim::script("DeleteTask", E_ACCESSDENIED);
    EXPECT_EQ(call_step("DeleteTask").hr, E_FAIL);
    EXPECT_EQ(call_step("DeleteTask").hr, E_ACCESSDENIED);
    EXPECT_EQ(call_step("DeleteTask").hr, S_OK);
}

TEST_F(Scripting, ResetForgetsScripts) {
    winsim::script("GetTask", E_FAIL, false, {}, 5);
    winsim::reset();
    EXPECT_EQ(call_step("GetTask").hr, S_OK);
}

struct BadScript {
    const char* step;
    bool null_out;
    int count;
};

class BadScripts : public Sim, public ::testing::WithParamInterface<BadScript> {};

TEST_P(BadScripts, AreRefused) {
    EXPECT_THROW(winsim::script(GetParam().step, E_FAIL, GetParam().null_out, {}, GetParam().count),
                 std::invalid_argument);
}

INSTANTIATE_TEST_SUITE_P(Cases, BadScripts,
                         ::testing::Values(BadScript{"Unknown", false, 1}, BadScript{"", false, 1},
                                           BadScript{"gettask", false, 1}, BadScript{"GetTask", false, -1},
                                           BadScript{"Connect", true, 1}, BadScript{"DeleteTask", true, 1},
                                           BadScript{"CoInitializeEx", true, 1}));

TEST_F(Scripting, OtherControlsRefuseUnknownSteps) {
    EXPECT_THROW(winsim::pause("Nope"), std::invalid_argument);
    EXPECT_THROW(winsim::resume("Nope"), std::invalid_argument);
    EXPECT_THROW(winsim::waiting("Nope"), std::invalid_argument);
    EXPECT_THROW(winsim::set_latency("Nope", 0), std::invalid_argument);
    EXPECT_THROW(winsim::set_latency("GetTask", -1), std::invalid_argument);
    EXPECT_FALSE(winsim::is_step("Nope"));
    EXPECT_TRUE(winsim::is_step("GetErrorDetails"));
}

// Waits, without a deadline, until the condition holds: the test runner's own
// timeout catches a hang.
template <class Condition>
void wait_until(Condition condition) {
    while (!condition()) std::this_thread::yield();
}

TEST_F(Scripting, PausedStepBlocksUntilResumed) {
    winsim::pause("GetTask");
    std::atomic<bool> done{false};
    HRESULT hr = E_FAIL;
    std::thread caller([&] {
        hr = call_step("GetTask").hr;
        done = true;
    });
    wait_until([] { return winsim::waiting("GetTask") == 1; });
    EXPECT_FALSE(done.load());
    EXPECT_TRUE(logged("ITaskFolder::GetTask")) << "logged on entry";
    winsim::resume("GetTask");
    caller.join();
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(winsim::waiting("GetTask"), 0);
}

TEST_F(Scripting, ResetReleasesPausedCallers) {
    winsim::pause("Connect");
    std::thread caller([] { call_step("Connect"); });
    wait_until([] { return winsim::waiting("Connect") == 1; });
    winsim::reset();
    caller.join();
    EXPECT_EQ(winsim::waiting("Connect"), 0);
}

TEST_F(Scripting, ScriptAppliesToACallPausedBeforeIt) {
    winsim::pause("DeleteTask");
    HRESULT hr = S_OK;
    std::thread caller([&] { hr = call_step("DeleteTask").hr; });
    wait_until([] { return winsim::waiting("DeleteTask") == 1; });
    winsim::script("DeleteTask", E_ACCESSDENIED);
    winsim::resume("DeleteTask");
    caller.join();
    EXPECT_EQ(hr, E_ACCESSDENIED);
}

TEST_F(Scripting, LatencyDoesNotChangeResults) {
    winsim::set_latency("GetTask", 0.001);
    EXPECT_EQ(call_step("GetTask").hr, S_OK);
}

TEST_F(Scripting, CallLogIsCapped) {
    for (int i = 0; i < 100010; ++i) SysFreeString(nullptr);
    EXPECT_EQ(winsim::calls().size(), 100000u);
    winsim::reset();
    EXPECT_TRUE(winsim::calls().empty());
}

TEST_F(Scripting, ConcurrentSessionsShareOneStore) {
    constexpr int threads = 8;
    constexpr int rounds = 50;
    std::vector<std::thread> workers;
    std::atomic<int> failures{0};
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([t, &failures] {
            for (int r = 0; r < rounds; ++r) {
                Session session;
                const std::u16string own = u"Task" + std::u16string(1, static_cast<char16_t>(u'A' + t));
                if (session.register_task(own, sample_xml) != S_OK) ++failures;
                if (session.register_task(u"Shared", sample_xml) != S_OK) ++failures;
                IRegisteredTask* task = nullptr;
                TestBstr name(own);
                if (session.folder()->GetTask(name.get(), &task) != S_OK) {
                    ++failures;
                    continue;
                }
                VARIANT empty{};
                IRunningTask* running = nullptr;
                if (task->RunEx(empty, 0, 0, nullptr, &running) != S_OK) ++failures;
                if (running != nullptr) running->Release();
                task->Release();
                if (r % 2 == 1 && session.folder()->DeleteTask(name.get(), 0) != S_OK) ++failures;
                if (winsim::init_depth() != 1) ++failures;
            }
        });
    }
    for (std::thread& worker : workers) worker.join();
    EXPECT_EQ(failures.load(), 0);
    const auto runs = winsim::run_counts();
    ASSERT_EQ(runs.size(), static_cast<std::size_t>(threads));
    for (const auto& [name, count] : runs) EXPECT_EQ(count, rounds) << "for one task";
    EXPECT_EQ(winsim::tasks().size(), 1u) << "every own task was deleted last; the shared one stays";
}

TEST_F(Scripting, ConcurrentScriptsAreEachConsumedOnce) {
    constexpr int threads = 6;
    winsim::script("GetTask", E_ACCESSDENIED, false, {}, threads * 3);
    std::atomic<int> denied{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&] {
            for (int i = 0; i < 5; ++i)
                if (call_step("GetTask").hr == E_ACCESSDENIED) ++denied;
        });
    for (std::thread& worker : workers) worker.join();
    EXPECT_EQ(denied.load(), threads * 3);
}

}  // namespace
}  // namespace winsim_test
