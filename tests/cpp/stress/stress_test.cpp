// Many threads run the four task operations at once against the simulated
// platform while scripted failures, paused steps and apartments vary. Every
// result is checked against what the thread could expect, and the scripted
// failures that were used up are checked against what was scripted: each
// step's queue is consumed front first, one entry per call, whichever thread
// makes the call. Built with -fsanitize=thread by tools/tsan.
//
// VELMORA_STRESS_ROUNDS and VELMORA_STRESS_OPS (operations per thread and
// round) set the size; VELMORA_STRESS_SEED the random seed.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <expected>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include <winsim/control.h>

#include "../fixed_texts.h"
#include "../operation_call.h"
#include "failures/internal_fault.h"
#include "scheduler/operations.h"

namespace velmora {

using namespace velmora::failures;
namespace {

constexpr int thread_count = 16;
constexpr HRESULT e_outofmemory = static_cast<HRESULT>(0x8007000E);
constexpr HRESULT not_found = static_cast<HRESULT>(0x80070002);
constexpr HRESULT malformed_xml = static_cast<HRESULT>(0x8004131A);
constexpr std::string_view valid_xml = testing_support::task_xml;
constexpr std::string_view malformed = "<Task>";

long setting(const char* name, long fallback) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0') return fallback;
    return std::strtol(text, nullptr, 10);
}

std::string hex(HRESULT code) {
    char text[11];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(code));
    return text;
}

// The text a failure shows: the message, a blank and the code, or the code alone.
std::string display(std::string_view message, HRESULT code) {
    if (message.empty()) return hex(code);
    return std::string(message) + " (" + hex(code) + ")";
}

std::u16string widen(std::string_view ascii) { return {ascii.begin(), ascii.end()}; }

// Well-formed UTF-8 to UTF-16, for the names the workers make up.
std::u16string widen_utf8(std::string_view text) {
    std::u16string out;
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const int length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        char32_t c = length == 1 ? lead : lead & (0x3F >> (length - 1));
        for (int k = 1; k < length; ++k) c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        if (c >= 0x10000) {
            out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
        i += static_cast<std::size_t>(length);
    }
    return out;
}

using testing_support::invoke;
using testing_support::Op;
enum class Shape { bare, bare_without_text, plain, restricted_same, restricted_other, null_out };

// The scriptable steps that the operations reach, in the order of their log entries.
struct StepInfo {
    std::string_view name;
    std::string_view log_entry;  // a prefix for SysAllocStringLen
    bool has_out_pointer;
};
constexpr std::array<StepInfo, 9> steps = {{
    {"CoInitializeEx", "CoInitializeEx", false},
    {"CoCreateInstance", "CoCreateInstance", true},
    {"Connect", "ITaskService::Connect", false},
    {"GetFolder", "ITaskService::GetFolder", true},
    {"GetTask", "ITaskFolder::GetTask", true},
    {"RunEx", "IRegisteredTask::RunEx", true},
    {"DeleteTask", "ITaskFolder::DeleteTask", false},
    {"RegisterTask", "ITaskFolder::RegisterTask", true},
    {"SysAllocStringLen", "SysAllocStringLen(", true},
}};
constexpr std::size_t sys_alloc = 8;

std::size_t step_index(std::string_view name) {
    for (std::size_t i = 0; i < steps.size(); ++i)
        if (steps[i].name == name) return i;
    return steps.size();
}

// One scripted queue entry and what a call that takes it must report.
struct Entry {
    std::size_t step;
    long count;
    HRESULT hresult;
    std::string outcome;  // the TaskFailure's display text, or the fault message
};

// What a call that met a scripted failure reported: step, HRESULT, text.
struct Observed {
    std::size_t step;
    HRESULT hresult;
    std::string outcome;
    auto operator<=>(const Observed&) const = default;
};

std::string fault_text(std::string_view message) {
    return "called `Result::unwrap()` on an `Err` value: Error { code: HRESULT(" + hex(e_outofmemory) +
           "), message: \"" + std::string(message) + "\" }";
}

// A round's script: random entries for random steps, each with its own HRESULT
// (SysAllocStringLen entries all fail with E_OUTOFMEMORY and differ by text).
std::vector<Entry> script_round(std::mt19937& rng, int round, bool combase) {
    std::vector<Entry> entries;
    const int size = 8 + static_cast<int>(rng() % 24);
    winsim::set_message(static_cast<std::uint32_t>(e_outofmemory), u"No memory left.\r\n");
    for (int k = 0; k < size; ++k) {
        const std::size_t step = rng() % steps.size();
        const long count = 1 + static_cast<long>(rng() % 6);
        const HRESULT code = static_cast<HRESULT>(0x80AB0000u | (static_cast<unsigned>(round) << 8) | k);
        const std::string tag = std::to_string(round) + "." + std::to_string(k);
        Shape shape = static_cast<Shape>(rng() % 6);
        if (shape == Shape::null_out && !steps[step].has_out_pointer) shape = Shape::bare;

        winsim::ErrorObject error;
        HRESULT scripted = code;
        std::string message;
        if (step == sys_alloc) {
            scripted = e_outofmemory;
            if (shape == Shape::restricted_same) {
                error = {winsim::ErrorObject::Kind::restricted, std::nullopt, e_outofmemory,
                         widen("Short of memory " + tag + "\r\n")};
                message = "Short of memory " + tag;
            } else {
                message = "No memory left.";
                if (shape != Shape::null_out) shape = Shape::bare;
            }
            winsim::script(steps[step].name, shape == Shape::null_out ? S_OK : scripted, shape == Shape::null_out,
                           error, static_cast<int>(count));
            entries.push_back({step, count, e_outofmemory, fault_text(message)});
            continue;
        }
        const std::string system_text = "System text " + tag + ".";
        if (shape != Shape::bare_without_text)
            winsim::set_message(static_cast<std::uint32_t>(code), widen(system_text + "\r\n"));
        switch (shape) {
            case Shape::bare: message = system_text; break;
            case Shape::bare_without_text: break;
            case Shape::plain:
                error = {winsim::ErrorObject::Kind::plain, widen("Plain " + tag + " \t\r\n"), 0, std::nullopt};
                message = combase ? "Plain " + tag : system_text;
                break;
            case Shape::restricted_same: {
                const bool has_restricted = rng() % 2 == 0;
                error = {winsim::ErrorObject::Kind::restricted, widen("Description " + tag + "\n"), code,
                         has_restricted ? std::optional(widen("Restricted " + tag + "\r\n")) : std::nullopt};
                message = has_restricted ? "Restricted " + tag : "Description " + tag;
                break;
            }
            case Shape::restricted_other:
                error = {winsim::ErrorObject::Kind::restricted, widen("Other " + tag), code ^ 1, widen("Other " + tag)};
                message = system_text;
                break;
            case Shape::null_out:
                scripted = S_OK;
                message = "The operation completed successfully.";
                break;
        }
        winsim::script(steps[step].name, scripted, shape == Shape::null_out, error, static_cast<int>(count));
        entries.push_back({step, count, scripted, display(message, scripted)});
    }
    return entries;
}

// What one worker thread saw in a round.
struct WorkerReport {
    std::vector<Observed> scripted;
    std::vector<std::string> problems;
    std::map<std::string, std::string> own_tasks;  // name -> XML, as the worker registered them
    std::map<std::string, long> runs;              // successful run_task calls per name
    // Log entries the worker's calls must have made, per step: lowest and highest.
    std::array<long, steps.size()> reached_min{};
    std::array<long, steps.size()> reached_max{};
};

class Worker {
public:
    Worker(int id, unsigned seed, int ops, std::string malformed_text)
        : id_(id), rng_(seed), ops_(ops), malformed_text_(std::move(malformed_text)) {}

    WorkerReport run() {
        const winsim::Apartment apartment = id_ % 4 == 1   ? winsim::Apartment::sta
                                            : id_ % 4 == 2 ? winsim::Apartment::mta
                                                           : winsim::Apartment::none;
        winsim::set_apartment(apartment);
        const int depth = winsim::init_depth();
        for (int i = 0; i < ops_; ++i) {
            one_operation();
            if (winsim::init_depth() != depth)
                problem("init depth " + std::to_string(winsim::init_depth()) + " after an operation, expected " +
                        std::to_string(depth));
        }
        winsim::set_apartment(winsim::Apartment::none);
        if (winsim::init_depth() != 0) problem("init depth not zero at the end");
        return std::move(report_);
    }

private:
    void problem(std::string text) { report_.problems.push_back("thread " + std::to_string(id_) + ": " + text); }

    void reached(std::size_t step, long low, long high) {
        report_.reached_min[step] += low;
        report_.reached_max[step] += high;
    }

    // The steps an operation goes through, in order; SysAllocStringLen once
    // for the root folder path, once per text argument.
    static std::vector<std::size_t> sequence(Op op) {
        std::vector<std::size_t> seq = {0, 1, 2, sys_alloc, 3, sys_alloc};
        switch (op) {
            case Op::run_task: seq.insert(seq.end(), {4, 5}); break;
            case Op::delete_task: seq.push_back(6); break;
            case Op::task_exists: seq.push_back(4); break;
            case Op::register_xml: seq.insert(seq.end(), {sys_alloc, 7}); break;
        }
        return seq;
    }

    void one_operation() {
        const Op op = static_cast<Op>(rng_() % 4);
        const bool shared = rng_() % 5 == 0;
        // Non-ASCII, non-BMP and inner NUL characters in every name.
        const std::string name =
            shared ? "shared \xc3\xa9" + std::to_string(rng_() % 2)
                   : "w" + std::to_string(id_) + std::string("\0\xf0\x9f\x98\x80", 5) + std::to_string(rng_() % 3);
        const bool bad_xml = op == Op::register_xml && rng_() % 8 == 0;
        const std::string xml =
            bad_xml ? std::string(malformed) : std::string(valid_xml) + "<!-- " + std::to_string(rng_()) + " -->";
        const bool registered = report_.own_tasks.contains(name);

        std::expected<bool, TaskFailure> result = false;
        std::optional<std::string> fault;
        try {
            result = invoke(op, name, xml);
        } catch (const InternalFault& caught) {
            fault = caught.message().value_or("<no message>");
        }

        const std::vector<std::size_t> seq = sequence(op);
        if (fault) {
            // Faults come from SysAllocStringLen only; which of its calls
            // failed is not visible, so the reached counts get a range.
            report_.scripted.push_back({sys_alloc, e_outofmemory, *fault});
            const auto first_alloc = seq.begin() + 3;
            const auto last_alloc = std::find(seq.rbegin(), seq.rend(), sys_alloc).base() - 1;
            for (auto it = seq.begin(); it <= last_alloc; ++it) reached(*it, it <= first_alloc ? 1 : 0, 1);
            return;
        }
        if (result) {
            for (std::size_t step : seq) reached(step, 1, 1);
            check_success(op, name, xml, shared, registered, *result);
            return;
        }
        const TaskFailure& failure = result.error();
        const std::size_t step = step_index(failure.step);
        const auto stop = std::find(seq.begin(), seq.end(), step);
        if (stop == seq.end()) {
            problem("failure labelled " + std::string(failure.step) + " from an operation that has no such step");
            return;
        }
        for (auto it = seq.begin(); it <= stop; ++it) reached(*it, 1, 1);
        if (natural_failure(op, step, failure, shared, registered, bad_xml)) return;
        report_.scripted.push_back({step, failure.hresult, failure.message});
    }

    void check_success(Op op, const std::string& name, const std::string& xml, bool shared, bool registered,
                       bool value) {
        switch (op) {
            case Op::register_xml:
                if (!shared) report_.own_tasks[name] = xml;
                break;
            case Op::delete_task:
                if (!shared && !registered) problem("deleted a task that was never registered");
                report_.own_tasks.erase(name);
                break;
            case Op::task_exists:
                if (!shared && value != registered) problem("task_exists gave " + std::to_string(value));
                break;
            case Op::run_task:
                if (!shared && !registered) problem("ran a task that was never registered");
                ++report_.runs[name];
                break;
        }
    }

    // A failure the platform gives without a script: a missing task, or XML
    // it cannot read. Whether the task is there is known for the worker's own
    // names; for shared names another thread may have deleted it at any time.
    bool natural_failure(Op op, std::size_t step, const TaskFailure& failure, bool shared, bool registered,
                         bool bad_xml) {
        static const std::string missing = display("The system cannot find the file specified.", not_found);
        if (failure.hresult == not_found && failure.message == missing) {
            const bool may_be_missing = shared || !registered;
            if ((op == Op::run_task && (step == 4 || (step == 5 && shared))) || (op == Op::delete_task && step == 6)) {
                if (!may_be_missing) problem("task reported missing while registered");
                return true;
            }
        }
        if (bad_xml && step == 7 && failure.hresult == malformed_xml) {
            if (failure.message != malformed_text_) problem("malformed XML reported as " + failure.message);
            return true;
        }
        return false;
    }

    int id_;
    std::mt19937 rng_;
    int ops_;
    std::string malformed_text_;
    WorkerReport report_;
};

// The platform's log, counted per step.
std::array<long, steps.size()> count_calls(const std::vector<std::string>& log) {
    std::array<long, steps.size()> counts{};
    for (const std::string& entry : log)
        for (std::size_t i = 0; i < steps.size(); ++i)
            if (i == sys_alloc ? entry.starts_with(steps[i].log_entry) : entry == steps[i].log_entry) ++counts[i];
    return counts;
}

// Which scripted outcomes the calls used up: each step's queue front first,
// as many entries as the step was called.
std::vector<Observed> consumed(const std::vector<Entry>& entries, const std::array<long, steps.size()>& calls) {
    std::array<long, steps.size()> budget = calls;
    std::vector<Observed> used;
    for (const Entry& entry : entries) {
        const long n = std::min(entry.count, budget[entry.step]);
        budget[entry.step] -= n;
        for (long i = 0; i < n; ++i) used.push_back({entry.step, entry.hresult, entry.outcome});
    }
    std::sort(used.begin(), used.end());
    return used;
}

// Pauses a random step until some callers wait in it, then lets them go, over
// and over until every worker is done.
void pause_and_resume(std::mt19937& rng, const std::atomic<int>& finished) {
    while (finished.load() < thread_count) {
        const std::string_view step = steps[rng() % steps.size()].name;
        const int wanted = 1 + static_cast<int>(rng() % 4);
        winsim::pause(step);
        while (finished.load() < thread_count &&
               winsim::waiting(step) < std::min(wanted, thread_count - finished.load()))
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        winsim::resume(step);
        std::this_thread::sleep_for(std::chrono::microseconds(rng() % 500));
    }
}

std::string describe(const std::vector<Observed>& items) {
    std::string text;
    for (const Observed& item : items)
        text += std::string(steps[item.step].name) + " " + hex(item.hresult) + " " + item.outcome + "\n";
    return text;
}

TEST(Stress, SixteenThreadsWithScriptedFailuresAndPausedSteps) {
    const int rounds = static_cast<int>(setting("VELMORA_STRESS_ROUNDS", 50));
    const int ops = static_cast<int>(setting("VELMORA_STRESS_OPS", 60));
    const unsigned seed = static_cast<unsigned>(setting("VELMORA_STRESS_SEED", 20261208));
    std::mt19937 rng(seed);
    long operations = 0;
    long scripted_outcomes = 0;

    for (int round = 0; round < rounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round) + ", seed " + std::to_string(seed));
        winsim::reset();
        const bool combase = rng() % 4 != 0;
        winsim::set_combase(combase, combase);

        // The text of malformed XML, learnt on this thread alone; every thread must get the same.
        const auto probe = scheduler::register_xml("probe", malformed);
        ASSERT_FALSE(probe.has_value());
        ASSERT_EQ(probe.error().hresult, malformed_xml);
        const std::string malformed_text = probe.error().message;
        const std::size_t mark = winsim::calls().size();

        const std::vector<Entry> entries = script_round(rng, round, combase);
        const bool pausing = rng() % 3 != 0;

        std::vector<WorkerReport> reports(thread_count);
        std::atomic<int> finished{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < thread_count; ++t)
            threads.emplace_back([&, t, worker_seed = static_cast<unsigned>(rng())] {
                reports[static_cast<std::size_t>(t)] = Worker(t, worker_seed, ops, malformed_text).run();
                finished.fetch_add(1);
            });
        if (pausing) pause_and_resume(rng, finished);
        for (std::thread& thread : threads) thread.join();
        operations += static_cast<long>(thread_count) * ops;

        const std::vector<std::string> all = winsim::calls();
        ASSERT_LT(all.size(), 100000u) << "the call log filled up; use fewer operations per round";
        const std::array<long, steps.size()> calls = count_calls({all.begin() + static_cast<long>(mark), all.end()});

        std::vector<Observed> observed;
        std::array<long, steps.size()> low{};
        std::array<long, steps.size()> high{};
        std::map<std::string, long> runs;
        std::map<std::u16string, std::u16string> expected_tasks;
        for (const WorkerReport& report : reports) {
            for (const std::string& problem : report.problems) ADD_FAILURE() << problem;
            observed.insert(observed.end(), report.scripted.begin(), report.scripted.end());
            for (std::size_t i = 0; i < steps.size(); ++i) {
                low[i] += report.reached_min[i];
                high[i] += report.reached_max[i];
            }
            for (const auto& [name, count] : report.runs) runs[name] += count;
            for (const auto& [name, xml] : report.own_tasks) expected_tasks[widen_utf8(name)] = widen(xml);
        }
        for (std::size_t i = 0; i < steps.size(); ++i) {
            EXPECT_GE(calls[i], low[i]) << steps[i].name << " called fewer times than the results show";
            EXPECT_LE(calls[i], high[i]) << steps[i].name << " called more times than the results show";
        }
        std::sort(observed.begin(), observed.end());
        const std::vector<Observed> expected = consumed(entries, calls);
        EXPECT_EQ(describe(observed), describe(expected));
        scripted_outcomes += static_cast<long>(observed.size());

        std::map<std::u16string, std::u16string> own;
        for (auto& [name, xml] : winsim::tasks())
            if (!name.starts_with(u"shared ")) own.emplace(name, xml);
        EXPECT_TRUE(own == expected_tasks) << "the store differs from what the workers registered";
        std::map<std::u16string, long> expected_runs;
        for (const auto& [name, count] : runs) expected_runs[widen_utf8(name)] = count;
        EXPECT_TRUE(winsim::run_counts() == expected_runs) << "runs recorded differ from successful run_task calls";

        EXPECT_EQ(winsim::live_objects(), 0);
        EXPECT_EQ(winsim::violations(), std::vector<std::string>{});
        EXPECT_EQ(winsim::init_depth(), 0);
        if (HasFailure()) break;
    }
    std::printf("stress: %d threads, %ld operations in %d rounds, %ld scripted failures met\n", thread_count,
                operations, rounds, scripted_outcomes);
}

}  // namespace
}  // namespace velmora
