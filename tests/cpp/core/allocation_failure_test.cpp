// Running out of memory while a failure's message is composed: the failure is
// still reported, with the code alone as its text. The global allocation
// functions of this program are replaced so that a test can make every
// allocation of the module's code after the first few fail. The simulated
// platform's own allocations (its call log) are left alone: the real
// platform does not allocate through our heap.

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <execinfo.h>
#include <link.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "failures/failure_record.h"
#include "scheduler/session.h"
#include "sim_fixture.h"

namespace {

// How many allocations may still succeed; negative: no limit.
std::atomic<long> allocations_left{-1};
std::atomic<bool> refused{false};

// The address range of the simulation's library.
std::uintptr_t simulation_begin = 0;
std::uintptr_t simulation_end = 0;

void find_simulation() {
    dl_iterate_phdr(
        [](dl_phdr_info* info, std::size_t, void*) {
            if (std::strstr(info->dlpi_name, "libwinsim") == nullptr) return 0;
            for (int i = 0; i < info->dlpi_phnum; ++i) {
                const ElfW(Phdr) & segment = info->dlpi_phdr[i];
                if (segment.p_type != PT_LOAD || (segment.p_flags & PF_X) == 0) continue;
                simulation_begin = info->dlpi_addr + segment.p_vaddr;
                simulation_end = simulation_begin + segment.p_memsz;
            }
            return 1;
        },
        nullptr);
    void* warm_up[1];
    backtrace(warm_up, 1);  // loads the unwinder before any limit is set
}

bool called_by_the_simulation() {
    void* frames[64];
    const int count = backtrace(frames, 64);
    for (int i = 0; i < count; ++i) {
        const auto address = reinterpret_cast<std::uintptr_t>(frames[i]);
        if (address >= simulation_begin && address < simulation_end) return true;
    }
    return false;
}

}  // namespace

void* operator new(std::size_t size) {
    for (long left = allocations_left.load(); left >= 0 && !called_by_the_simulation();) {
        if (left == 0) {
            refused = true;
            throw std::bad_alloc();
        }
        if (allocations_left.compare_exchange_weak(left, left - 1)) break;
    }
    if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return ::operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return ::operator new(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return ::operator new(size, tag); }
// Out of line: inlined into a caller, the compiler would see memory from
// operator new handed to free().
[[gnu::noinline]] void operator delete(void* memory) noexcept { std::free(memory); }
[[gnu::noinline]] void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
[[gnu::noinline]] void operator delete[](void* memory) noexcept { std::free(memory); }
[[gnu::noinline]] void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }
[[gnu::noinline]] void operator delete(void* memory, const std::nothrow_t&) noexcept { std::free(memory); }
[[gnu::noinline]] void operator delete[](void* memory, const std::nothrow_t&) noexcept { std::free(memory); }

namespace velmora {
namespace {

using failures::Error;
using failures::TaskFailure;

class AllocationFailure : public testing_support::SimFixture {};

TEST_F(AllocationFailure, WhileComposingTheMessageLeavesTheCodeAlone) {
    find_simulation();
    ASSERT_NE(simulation_begin, 0u);
    const std::string full = "Denied by policy. (0x80070005)";
    bool code_alone_seen = false;
    for (long allowed = 0; allowed < 1000; ++allowed) {
        winsim::script("DeleteTask", E_ACCESSDENIED, false,
                       testing_support::restricted_error(std::nullopt, E_ACCESSDENIED, u"Denied by policy."));
        auto session = scheduler::SchedulerSession::open();
        ASSERT_TRUE(session.has_value());
        const platform::Bstr name = scheduler::to_bstr("my task");
        Error error = Error::from_hresult(session->root_folder().DeleteTask(name.get(), 0));

        refused = false;
        allocations_left = allowed;
        const TaskFailure failure = TaskFailure::from_error(std::move(error), "DeleteTask");
        allocations_left = -1;

        EXPECT_EQ(failure.hresult, E_ACCESSDENIED);
        EXPECT_EQ(failure.step, "DeleteTask");
        if (failure.message == full) {
            EXPECT_FALSE(refused) << allowed;
            EXPECT_TRUE(code_alone_seen) << "no allocation made while composing the message";
            return;
        }
        EXPECT_TRUE(refused) << allowed;
        EXPECT_EQ(failure.message, "0x80070005") << allowed;
        code_alone_seen = true;
    }
    FAIL() << "the message needs more than 1000 allocations";
}

}  // namespace
}  // namespace velmora
