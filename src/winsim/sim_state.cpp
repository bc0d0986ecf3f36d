#include "sim_state.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include "com_object.h"

namespace winsim::detail {
namespace {

constexpr std::size_t log_capacity = 100000;
constexpr std::size_t violation_capacity = 10000;
constexpr std::size_t graveyard_capacity = 4096;

struct StepControl {
    std::deque<std::pair<Outcome, long>> script;  // outcome, calls it still affects
    double latency_seconds = 0;
    bool paused = false;
    std::uint64_t resumes = 0;
    int waiting = 0;
};

struct State {
    std::mutex mutex;
    std::condition_variable resumed;
    std::array<StepControl, step_count> steps;
    std::vector<std::string> calls;
    bool calls_truncated = false;
    std::vector<std::string> violations;
    // Its own lock: objects die wherever their last reference goes, also
    // while the state lock is held.
    std::mutex graveyard_mutex;
    std::deque<std::unique_ptr<Buried>> graveyard;
};

// Never destroyed: threads may still call in while the process exits.
State& state() {
    static State* const instance = new State;
    return *instance;
}

std::atomic<long> live{0};

void append_utf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// Appends up to `limit` characters; returns whether text was left over.
bool utf8_prefix(std::u16string_view text, std::size_t limit, std::string& out) {
    std::size_t chars = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (chars == limit) return true;
        char32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        append_utf8(out, c);
        ++chars;
    }
    return false;
}

}  // namespace

std::optional<Step> find_step(std::string_view name) noexcept {
    for (std::size_t i = 0; i < step_count; ++i)
        if (step_names[i] == name) return static_cast<Step>(i);
    return std::nullopt;
}

bool step_has_out_pointer(Step step) noexcept {
    return step != Step::CoInitializeEx && step != Step::Connect && step != Step::DeleteTask;
}

std::mutex& state_mutex() { return state().mutex; }

std::optional<Outcome> enter_step(Step step) {
    State& s = state();
    std::unique_lock lock(s.mutex);
    StepControl& control = s.steps[static_cast<std::size_t>(step)];
    if (control.paused) {
        const std::uint64_t seen = control.resumes;
        ++control.waiting;
        s.resumed.wait(lock, [&] { return control.resumes != seen; });
        --control.waiting;
    }
    std::optional<Outcome> outcome;
    while (!control.script.empty() && !outcome) {
        auto& [next, calls_left] = control.script.front();
        if (calls_left > 0) outcome = next;
        if (--calls_left <= 0) control.script.pop_front();
    }
    const double latency = control.latency_seconds;
    lock.unlock();
    if (latency > 0) std::this_thread::sleep_for(std::chrono::duration<double>(latency));
    return outcome;
}

void log_call(std::string entry) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    if (s.calls.size() < log_capacity)
        s.calls.push_back(std::move(entry));
    else
        s.calls_truncated = true;
}

void report_violation(std::string text) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    if (s.violations.size() < violation_capacity) s.violations.push_back(std::move(text));
}

std::string log_text(std::u16string_view text) {
    std::string out;
    if (utf8_prefix(text, 32, out)) out += "...";
    return out;
}

void count_born() noexcept { live.fetch_add(1, std::memory_order_relaxed); }
void count_died() noexcept { live.fetch_sub(1, std::memory_order_relaxed); }
long live_count() noexcept { return live.load(std::memory_order_relaxed); }

ThreadState& thread_state() noexcept {
    thread_local ThreadState current;
    return current;
}

ThreadState::~ThreadState() {
    // The thread is ending: its error object goes with it, as on Windows.
    park_error(nullptr);
}

bool thread_has_apartment() noexcept { return thread_state().depth > 0; }

void park_error(IErrorInfo* error) noexcept {
    IErrorInfo* old = std::exchange(thread_state().error, error);
    if (old == nullptr) return;
    if (auto* ours = dynamic_cast<ObjectCore*>(old))
        ours->release_quietly();
    else
        old->Release();
}

void leave_scripted_error(const Outcome& outcome) {
    if (outcome.error.kind != ErrorObject::Kind::none) park_error(make_error_object(outcome.error));
}

// --- Object lifetime ------------------------------------------------------------

void bury(Buried* object) noexcept {
    State& s = state();
    std::unique_ptr<Buried> evicted;
    {
        std::lock_guard lock(s.graveyard_mutex);
        s.graveyard.emplace_back(object);
        if (s.graveyard.size() > graveyard_capacity) {
            evicted = std::move(s.graveyard.front());
            s.graveyard.pop_front();
        }
    }
}

ObjectCore::ObjectCore(const char* kind, bool needs_apartment) noexcept
    : kind_(kind), needs_apartment_(needs_apartment) {
    count_born();
}

ULONG ObjectCore::add_ref_logged() noexcept {
    log_call(std::string("IUnknown::AddRef(") + kind_ + ")");
    if (is_dead()) {
        report_violation(std::string("IUnknown::AddRef on a released ") + kind_);
        return 0;
    }
    if (needs_apartment_ && !thread_has_apartment())
        report_violation(std::string("IUnknown::AddRef(") + kind_ + ") on a thread without a COM apartment");
    return refs_.fetch_add(1, std::memory_order_relaxed) + 1;
}

ULONG ObjectCore::release_logged() noexcept {
    log_call(std::string("IUnknown::Release(") + kind_ + ")");
    if (is_dead()) {
        report_violation(std::string("IUnknown::Release on a released ") + kind_);
        return 0;
    }
    if (needs_apartment_ && !thread_has_apartment())
        report_violation(std::string("IUnknown::Release(") + kind_ + ") on a thread without a COM apartment");
    return drop();
}

void ObjectCore::add_ref_quietly() noexcept { refs_.fetch_add(1, std::memory_order_relaxed); }

void ObjectCore::release_quietly() noexcept {
    if (!is_dead()) drop();
}

ULONG ObjectCore::drop() noexcept {
    const ULONG left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) {
        dead_.store(true, std::memory_order_release);
        count_died();
        bury(this);
    }
    return left;
}

bool ObjectCore::enter_method(const char* interface_and_method) noexcept {
    log_call(interface_and_method);
    if (is_dead()) {
        report_violation(std::string(interface_and_method) + " on a released " + kind_);
        return false;
    }
    if (needs_apartment_ && !thread_has_apartment())
        report_violation(std::string(interface_and_method) + " on a thread without a COM apartment");
    return true;
}

bool ObjectCore::enter_query_interface() noexcept {
    log_call(std::string("IUnknown::QueryInterface(") + kind_ + ")");
    if (is_dead()) {
        report_violation(std::string("IUnknown::QueryInterface on a released ") + kind_);
        return false;
    }
    if (needs_apartment_ && !thread_has_apartment())
        report_violation(std::string("IUnknown::QueryInterface(") + kind_ + ") on a thread without a COM apartment");
    return true;
}

}  // namespace winsim::detail

// --- Scripting and inspection ---------------------------------------------------------

namespace winsim {

using namespace detail;

namespace {

Step step_or_throw(std::string_view name) {
    if (auto step = find_step(name)) return *step;
    throw std::invalid_argument("unknown step: " + std::string(name));
}

}  // namespace

bool is_step(std::string_view step) { return find_step(step).has_value(); }

void reset() {
    State& s = state();
    {
        std::lock_guard lock(s.mutex);
        for (StepControl& control : s.steps) {
            control.script.clear();
            control.latency_seconds = 0;
            if (control.paused) {
                control.paused = false;
                ++control.resumes;
            }
        }
        s.calls.clear();
        s.calls_truncated = false;
        s.violations.clear();
    }
    s.resumed.notify_all();
    reset_scheduler();
    reset_messages();
    reset_loader();
}

void script(std::string_view step_name, HRESULT hresult, bool null_out, ErrorObject error, int count) {
    const Step step = step_or_throw(step_name);
    if (count < 0) throw std::invalid_argument("count must not be negative");
    if (null_out && !step_has_out_pointer(step))
        throw std::invalid_argument(std::string(step_name) + " has no out-pointer");
    if (error.kind == ErrorObject::Kind::none && (error.description || error.restricted_description))
        throw std::invalid_argument("an error object of kind none has no description");
    State& s = state();
    std::lock_guard lock(s.mutex);
    if (count > 0)
        s.steps[static_cast<std::size_t>(step)].script.emplace_back(Outcome{hresult, null_out, std::move(error)},
                                                                    count);
}

void set_latency(std::string_view step_name, double seconds) {
    const Step step = step_or_throw(step_name);
    if (!(seconds >= 0) || seconds > 3600) throw std::invalid_argument("latency must be between 0 and 3600 seconds");
    State& s = state();
    std::lock_guard lock(s.mutex);
    s.steps[static_cast<std::size_t>(step)].latency_seconds = seconds;
}

void pause(std::string_view step_name) {
    const Step step = step_or_throw(step_name);
    State& s = state();
    std::lock_guard lock(s.mutex);
    s.steps[static_cast<std::size_t>(step)].paused = true;
}

void resume(std::string_view step_name) {
    const Step step = step_or_throw(step_name);
    State& s = state();
    {
        std::lock_guard lock(s.mutex);
        StepControl& control = s.steps[static_cast<std::size_t>(step)];
        control.paused = false;
        ++control.resumes;
    }
    s.resumed.notify_all();
}

int waiting(std::string_view step_name) {
    const Step step = step_or_throw(step_name);
    State& s = state();
    std::lock_guard lock(s.mutex);
    return s.steps[static_cast<std::size_t>(step)].waiting;
}

void set_apartment(Apartment apartment) {
    ThreadState& t = thread_state();
    t.apartment = apartment;
    t.depth = apartment == Apartment::none ? 0 : 1;
}

long live_objects() { return live_count(); }

int init_depth() { return thread_state().depth; }

std::vector<std::string> calls() {
    State& s = state();
    std::lock_guard lock(s.mutex);
    return s.calls;
}

std::vector<std::string> violations() {
    State& s = state();
    std::lock_guard lock(s.mutex);
    return s.violations;
}

}  // namespace winsim
