// Helpers for the benchmark: the four operations driven from C++ with no
// binding at all (the platform's own cost, which every binding pays), and a
// counter of the interpreter's own allocations.
#include <Python.h>

#include <time.h>

#include <atomic>
#include <cstdint>
#include <string_view>

#include "scheduler/operations.h"

namespace {

namespace scheduler = velmora::scheduler;

// UTF-8 of a str (its cached form) or the bytes of a bytes object as they are:
// bytes let the memory measurement leave out the str's UTF-8 form.
bool text_of(PyObject* object, std::string_view& out) {
    if (PyBytes_Check(object)) {
        out = std::string_view(PyBytes_AS_STRING(object), static_cast<std::size_t>(PyBytes_GET_SIZE(object)));
        return true;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(object, &size);
    if (data == nullptr) return false;
    out = std::string_view(data, static_cast<std::size_t>(size));
    return true;
}

// CPU time of the calling thread: time that other processes take from this
// one does not count, which on a shared machine is most of the noise.
long long thread_cpu_ns() noexcept {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<long long>(now.tv_sec) * 1'000'000'000LL + now.tv_nsec;
}

// platform_loop(operation, count, task_name, xml_data=None) -> (CPU nanoseconds, failures)
PyObject* platform_loop(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (nargs < 3 || nargs > 4) {
        PyErr_SetString(PyExc_TypeError, "platform_loop(operation, count, task_name, xml_data=None)");
        return nullptr;
    }
    std::string_view operation;
    std::string_view name;
    std::string_view xml;
    if (!text_of(args[0], operation) || !text_of(args[2], name)) return nullptr;
    if (nargs == 4 && args[3] != Py_None && !text_of(args[3], xml)) return nullptr;
    const long long count = PyLong_AsLongLong(args[1]);
    if (count < 0) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "count must not be negative");
        return nullptr;
    }
    enum class Op { exists, register_xml, run, remove } op;
    if (operation == "task_exists") {
        op = Op::exists;
    } else if (operation == "register_xml") {
        op = Op::register_xml;
    } else if (operation == "run_task") {
        op = Op::run;
    } else if (operation == "delete_task") {
        op = Op::remove;
    } else {
        PyErr_SetString(PyExc_ValueError, "unknown operation");
        return nullptr;
    }

    long long failures = 0;
    long long elapsed = 0;
    Py_BEGIN_ALLOW_THREADS
    const long long start = thread_cpu_ns();
    for (long long i = 0; i < count; ++i) {
        bool ok = true;
        switch (op) {
        case Op::exists: ok = scheduler::task_exists(name).has_value(); break;
        case Op::register_xml: ok = scheduler::register_xml(name, xml).has_value(); break;
        case Op::run: ok = scheduler::run_task(name).has_value(); break;
        case Op::remove: ok = scheduler::delete_task(name).has_value(); break;
        }
        failures += ok ? 0 : 1;
    }
    elapsed = thread_cpu_ns() - start;
    Py_END_ALLOW_THREADS
    return Py_BuildValue("(LL)", elapsed, failures);
}

// Counts every allocation the interpreter asks for, in all three domains, by
// wrapping the allocators that are installed (as tracemalloc does).
std::atomic<std::uint64_t> interpreter_allocations{0};
PyMemAllocatorEx wrapped[3];
bool counting = false;

void* counted_malloc(void* ctx, std::size_t size) {
    interpreter_allocations.fetch_add(1, std::memory_order_relaxed);
    auto* inner = static_cast<PyMemAllocatorEx*>(ctx);
    return inner->malloc(inner->ctx, size);
}
void* counted_calloc(void* ctx, std::size_t count, std::size_t size) {
    interpreter_allocations.fetch_add(1, std::memory_order_relaxed);
    auto* inner = static_cast<PyMemAllocatorEx*>(ctx);
    return inner->calloc(inner->ctx, count, size);
}
void* counted_realloc(void* ctx, void* old, std::size_t size) {
    interpreter_allocations.fetch_add(1, std::memory_order_relaxed);
    auto* inner = static_cast<PyMemAllocatorEx*>(ctx);
    return inner->realloc(inner->ctx, old, size);
}
void counted_free(void* ctx, void* block) {
    auto* inner = static_cast<PyMemAllocatorEx*>(ctx);
    inner->free(inner->ctx, block);
}

PyObject* count_interpreter_allocations(PyObject*, PyObject*) noexcept {
    if (!counting) {
        const PyMemAllocatorDomain domains[] = {PYMEM_DOMAIN_RAW, PYMEM_DOMAIN_MEM, PYMEM_DOMAIN_OBJ};
        for (int i = 0; i < 3; ++i) {
            PyMem_GetAllocator(domains[i], &wrapped[i]);
            PyMemAllocatorEx hook{&wrapped[i], counted_malloc, counted_calloc, counted_realloc, counted_free};
            PyMem_SetAllocator(domains[i], &hook);
        }
        counting = true;
    }
    return PyLong_FromUnsignedLongLong(interpreter_allocations.load(std::memory_order_relaxed));
}

PyMethodDef methods[] = {
    {"platform_loop", _PyCFunction_CAST(platform_loop), METH_FASTCALL,
     "platform_loop(operation, count, task_name, xml_data=None, /)\n--\n\n"
     "Runs an operation count times without a binding; returns (thread CPU nanoseconds, failures)."},
    {"count_interpreter_allocations", count_interpreter_allocations, METH_NOARGS,
     "count_interpreter_allocations()\n--\n\n"
     "Starts counting the interpreter's allocations on first use; returns the count so far."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_bench_native",
    .m_doc = nullptr,
    .m_size = 0,
    .m_methods = methods,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__bench_native() { return PyModuleDef_Init(&definition); }
