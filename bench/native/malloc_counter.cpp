// Preloaded (LD_PRELOAD) into the benchmark's allocation and memory runs:
// counts every allocation of the C heap, whoever makes it, keeps the bytes in
// use and their high-water mark, and hands every block to glibc.
// No thread_local and no static constructor: this runs before anything else.
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* block, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
void __libc_free(void* block);
std::size_t malloc_usable_size(void* block);
}

namespace {
std::atomic<std::uint64_t> allocations{0};
std::atomic<std::int64_t> live_bytes{0};
std::atomic<std::int64_t> peak_bytes{0};

void count() noexcept { allocations.fetch_add(1, std::memory_order_relaxed); }

void grow(void* block) noexcept {
    if (block == nullptr) return;
    const auto size = static_cast<std::int64_t>(malloc_usable_size(block));
    const std::int64_t now = live_bytes.fetch_add(size, std::memory_order_relaxed) + size;
    std::int64_t peak = peak_bytes.load(std::memory_order_relaxed);
    while (now > peak && !peak_bytes.compare_exchange_weak(peak, now, std::memory_order_relaxed)) {
    }
}

void shrink(void* block) noexcept {
    if (block == nullptr) return;
    live_bytes.fetch_sub(static_cast<std::int64_t>(malloc_usable_size(block)), std::memory_order_relaxed);
}

void* track(void* block) noexcept {
    grow(block);
    return block;
}
}  // namespace

extern "C" {

__attribute__((visibility("default"))) std::uint64_t velmora_bench_malloc_count() {
    return allocations.load(std::memory_order_relaxed);
}

// Bytes of the C heap in use now, their high-water mark, and a restart of
// the mark at the current use.
__attribute__((visibility("default"))) std::int64_t velmora_bench_heap_live() {
    return live_bytes.load(std::memory_order_relaxed);
}
__attribute__((visibility("default"))) std::int64_t velmora_bench_heap_peak() {
    return peak_bytes.load(std::memory_order_relaxed);
}
__attribute__((visibility("default"))) void velmora_bench_heap_reset_peak() {
    peak_bytes.store(live_bytes.load(std::memory_order_relaxed), std::memory_order_relaxed);
}

__attribute__((visibility("default"))) void* malloc(std::size_t size) {
    count();
    return track(__libc_malloc(size));
}

__attribute__((visibility("default"))) void* calloc(std::size_t n, std::size_t size) {
    count();
    return track(__libc_calloc(n, size));
}

__attribute__((visibility("default"))) void* realloc(void* block, std::size_t size) {
    count();
    // The old block's size is gone once glibc has it; a failed realloc keeps it.
    const auto old_size = block == nullptr ? 0 : static_cast<std::int64_t>(malloc_usable_size(block));
    void* moved = __libc_realloc(block, size);
    if (moved != nullptr || size == 0) {
        live_bytes.fetch_sub(old_size, std::memory_order_relaxed);
        grow(moved);
    }
    return moved;
}

__attribute__((visibility("default"))) void free(void* block) {
    shrink(block);
    __libc_free(block);
}

__attribute__((visibility("default"))) void* memalign(std::size_t alignment, std::size_t size) {
    count();
    return track(__libc_memalign(alignment, size));
}

__attribute__((visibility("default"))) void* aligned_alloc(std::size_t alignment, std::size_t size) {
    count();
    return track(__libc_memalign(alignment, size));
}

__attribute__((visibility("default"))) int posix_memalign(void** out, std::size_t alignment, std::size_t size) {
    if (alignment % sizeof(void*) != 0 || (alignment & (alignment - 1)) != 0) return EINVAL;
    count();
    void* block = track(__libc_memalign(alignment, size));
    if (block == nullptr) return ENOMEM;
    *out = block;
    return 0;
}

}  // extern "C"
