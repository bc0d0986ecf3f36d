// Helpers for the benchmark: the four operations driven from C++ with no
// binding at all (the platform's own cost, which every binding pays), the
// steps of a failing call timed one by one, and a counter of the
// interpreter's own allocations.
#include <Python.h>

#include <time.h>

#include <atomic>
#include <cstdint>
#include <string_view>

#include "failures/task_failure.h"
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
    Py_BEGIN_ALLOW_THREADS const long long start = thread_cpu_ns();
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
    Py_END_ALLOW_THREADS return Py_BuildValue("(LL)", elapsed, failures);
}

PyObject* text_object(std::string_view text) noexcept {
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

// A loop of `count` runs of one step of a failing call, timed as a whole in
// the thread's CPU time: nanoseconds per run. Each run frees what it made,
// so the figure holds the making and the freeing alike.
template <class Step>
double time_step(long long count, Step&& step) {
    const long long start = thread_cpu_ns();
    for (long long i = 0; i < count; ++i) {
        if (!step()) return -1.0;
    }
    return static_cast<double>(thread_cpu_ns() - start) / static_cast<double>(count);
}

bool set_item(PyObject* dict, const char* key, double ns) {
    PyObject* value = PyFloat_FromDouble(ns);
    if (value == nullptr) return false;
    const int failed = PyDict_SetItemString(dict, key, value);
    Py_DECREF(value);
    return failed == 0;
}

// failure_steps(count, module_name, class_name, message, hresult, step) -> {step: ns}
//
// The calls that our module makes when a scheduler step fails, each in a loop
// of its own, called from C exactly as the module calls them: the import
// (PyImport_Import, which finds __import__ through the calling frame's
// globals, here the benchmark's loop as in a real call), the class lookup,
// the three argument objects made from UTF-8, the class call, and setting
// the instance as the raised exception (taken back at once, as the
// interpreter's unwinding takes it). "runtime_error" is what the floor does
// instead: the message and PyErr_SetObject(RuntimeError, message).
// The names should be interned, as the module's are.
PyObject* failure_steps(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (nargs != 6) {
        PyErr_SetString(PyExc_TypeError, "failure_steps(count, module_name, class_name, message, hresult, step)");
        return nullptr;
    }
    const long long count = PyLong_AsLongLong(args[0]);
    if (count <= 0) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "count must be positive");
        return nullptr;
    }
    PyObject* const module_name = args[1];
    PyObject* const class_name = args[2];
    std::string_view message;
    std::string_view step;
    if (!text_of(args[3], message) || !text_of(args[5], step)) return nullptr;
    const unsigned long long hresult = PyLong_AsUnsignedLongLong(args[4]);
    if (PyErr_Occurred()) return nullptr;

    PyObject* result = PyDict_New();
    PyObject* module = result ? PyImport_Import(module_name) : nullptr;
    PyObject* type = module ? PyObject_GetAttr(module, class_name) : nullptr;
    PyObject* message_object = type ? text_object(message) : nullptr;
    PyObject* hresult_object = message_object ? PyLong_FromUnsignedLongLong(hresult) : nullptr;
    PyObject* step_object = hresult_object ? text_object(step) : nullptr;
    PyObject* call[] = {nullptr, message_object, hresult_object, step_object};
    PyObject* instance =
        step_object ? PyObject_Vectorcall(type, call + 1, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr) : nullptr;
    bool ok = instance != nullptr;
    ok = ok && set_item(result, "import", time_step(count, [&] {
                            PyObject* imported = PyImport_Import(module_name);
                            Py_XDECREF(imported);
                            return imported != nullptr;
                        }));
    ok = ok && set_item(result, "lookup", time_step(count, [&] {
                            PyObject* found = PyObject_GetAttr(module, class_name);
                            Py_XDECREF(found);
                            return found != nullptr;
                        }));
    ok = ok && set_item(result, "arguments", time_step(count, [&] {
                            PyObject* made_message = text_object(message);
                            PyObject* made_hresult = PyLong_FromUnsignedLongLong(hresult);
                            PyObject* made_step = text_object(step);
                            const bool made = made_message && made_hresult && made_step;
                            Py_XDECREF(made_message);
                            Py_XDECREF(made_hresult);
                            Py_XDECREF(made_step);
                            return made;
                        }));
    ok = ok && set_item(result, "call", time_step(count, [&] {
                            PyObject* made =
                                PyObject_Vectorcall(type, call + 1, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
                            Py_XDECREF(made);
                            return made != nullptr;
                        }));
    ok = ok && set_item(result, "set", time_step(count, [&] {
                            PyErr_SetRaisedException(Py_NewRef(instance));
                            PyObject* taken = PyErr_GetRaisedException();
                            Py_XDECREF(taken);
                            return taken == instance;
                        }));
    ok = ok && set_item(result, "runtime_error", time_step(count, [&] {
                            PyObject* made_message = text_object(message);
                            if (made_message == nullptr) return false;
                            PyErr_SetObject(PyExc_RuntimeError, made_message);
                            Py_DECREF(made_message);
                            PyObject* taken = PyErr_GetRaisedException();
                            Py_XDECREF(taken);
                            return taken != nullptr;
                        }));
    Py_XDECREF(instance);
    Py_XDECREF(step_object);
    Py_XDECREF(hresult_object);
    Py_XDECREF(message_object);
    Py_XDECREF(type);
    Py_XDECREF(module);
    if (!ok) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "a step of the failing call failed");
        Py_XDECREF(result);
        return nullptr;
    }
    return result;
}

// raise_ready(exception) raises the given instance; ready_none(exception)
// returns None. Both drop the traceback of the instance's last raise first,
// so the difference between the two in the failing call's loop is what the
// interpreter's own unwinding costs for a raise: the traceback entry, the
// handler lookup, the match, and clearing the exception.
PyObject* raise_ready(PyObject*, PyObject* exception) noexcept {
    if (PyException_SetTraceback(exception, Py_None) < 0) return nullptr;
    PyErr_SetRaisedException(Py_NewRef(exception));
    return nullptr;
}

PyObject* ready_none(PyObject*, PyObject* exception) noexcept {
    if (PyException_SetTraceback(exception, Py_None) < 0) return nullptr;
    Py_RETURN_NONE;
}

// The failing call made in stages. Each function binds a task name as the
// limit does, runs task_exists with the lock released (the caller scripts it
// to fail), then takes the steps of our module's exception path up to its
// own and stops: it drops what it made and returns None, or, from `raise` on,
// leaves the exception to the interpreter. Timed side by side in the failing
// case's loop, the difference between one stage and the one before is what
// that step costs inside a real failing call, caches and all.
enum class Stage { platform, import, lookup, arguments, call, set, raise, runtime_error };

PyObject* interned_errors_name() noexcept {
    static PyObject* const name = PyUnicode_InternFromString("velmora.errors");
    return name;
}

PyObject* interned_class_name(std::int32_t hresult) noexcept {
    static PyObject* const permission = PyUnicode_InternFromString("TaskPermissionError");
    static PyObject* const scheduler_error = PyUnicode_InternFromString("TaskSchedulerError");
    return static_cast<std::uint32_t>(hresult) == 0x80070005u ? permission : scheduler_error;
}

template <Stage Last>
PyObject* failing_stage(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    std::string_view name;
    if (nargs != 1 || kwnames != nullptr) {
        PyErr_BadArgument();
        return nullptr;
    }
    if (!text_of(args[0], name)) return nullptr;
    scheduler::Outcome<bool> outcome;
    Py_BEGIN_ALLOW_THREADS outcome = scheduler::task_exists(name);
    Py_END_ALLOW_THREADS if (outcome) {
        PyErr_SetString(PyExc_RuntimeError, "the platform did not fail: script GetTask first");
        return nullptr;
    }
    const velmora::failures::TaskFailure& failure = outcome.error();
    if constexpr (Last == Stage::platform) {
        Py_RETURN_NONE;
    } else if constexpr (Last == Stage::runtime_error) {
        PyObject* message = text_object(failure.message);
        if (message == nullptr) return nullptr;
        PyErr_SetObject(PyExc_RuntimeError, message);
        Py_DECREF(message);
        return nullptr;
    } else {
        PyObject* module = PyImport_Import(interned_errors_name());
        if (module == nullptr || Last == Stage::import) {
            Py_XDECREF(module);
            return module == nullptr ? nullptr : Py_NewRef(Py_None);
        }
        PyObject* type = PyObject_GetAttr(module, interned_class_name(failure.hresult));
        Py_DECREF(module);
        if (type == nullptr || Last == Stage::lookup) {
            Py_XDECREF(type);
            return type == nullptr ? nullptr : Py_NewRef(Py_None);
        }
        PyObject* call[] = {nullptr, text_object(failure.message),
                            PyLong_FromUnsignedLongLong(static_cast<std::uint32_t>(failure.hresult)),
                            text_object(failure.step)};
        const bool made = call[1] != nullptr && call[2] != nullptr && call[3] != nullptr;
        PyObject* instance = nullptr;
        if (made && Last != Stage::arguments) {
            instance = PyObject_Vectorcall(type, call + 1, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
        }
        for (PyObject* object : call) Py_XDECREF(object);
        Py_DECREF(type);
        if (!made) return nullptr;
        if constexpr (Last == Stage::arguments) {
            Py_RETURN_NONE;
        } else {
            if (instance == nullptr || Last == Stage::call) {
                Py_XDECREF(instance);
                return instance == nullptr ? nullptr : Py_NewRef(Py_None);
            }
            PyErr_SetRaisedException(instance);
            if constexpr (Last == Stage::set) {
                Py_DECREF(PyErr_GetRaisedException());
                Py_RETURN_NONE;
            } else {
                return nullptr;
            }
        }
    }
}

// Our module's flags, so that the stages are dispatched as our functions are;
// module method tables refuse METH_STATIC, so the exec slot makes them.
constexpr int stage_flags = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;
PyMethodDef stages[] = {
    {"failing_platform", _PyCFunction_CAST(failing_stage<Stage::platform>), stage_flags, nullptr},
    {"failing_import", _PyCFunction_CAST(failing_stage<Stage::import>), stage_flags, nullptr},
    {"failing_lookup", _PyCFunction_CAST(failing_stage<Stage::lookup>), stage_flags, nullptr},
    {"failing_arguments", _PyCFunction_CAST(failing_stage<Stage::arguments>), stage_flags, nullptr},
    {"failing_call", _PyCFunction_CAST(failing_stage<Stage::call>), stage_flags, nullptr},
    {"failing_set", _PyCFunction_CAST(failing_stage<Stage::set>), stage_flags, nullptr},
    {"failing_raise", _PyCFunction_CAST(failing_stage<Stage::raise>), stage_flags, nullptr},
    {"failing_runtime_error", _PyCFunction_CAST(failing_stage<Stage::runtime_error>), stage_flags, nullptr},
};

int add_stages(PyObject* module) noexcept {
    if (interned_errors_name() == nullptr || interned_class_name(0) == nullptr) return -1;
    PyObject* name = PyModule_GetNameObject(module);
    if (name == nullptr) return -1;
    int result = 0;
    for (PyMethodDef& method : stages) {
        if (PyModule_Add(module, method.ml_name, PyCMethod_New(&method, module, name, nullptr)) < 0) {
            result = -1;
            break;
        }
    }
    Py_DECREF(name);
    return result;
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
    {"failure_steps", _PyCFunction_CAST(failure_steps), METH_FASTCALL,
     "failure_steps(count, module_name, class_name, message, hresult, step, /)\n--\n\n"
     "Times each call of a failing call's exception path from C; returns {step: ns per run}."},
    {"raise_ready", raise_ready, METH_O, "raise_ready(exception, /)\n--\n\nRaises the instance, traceback reset."},
    {"ready_none", ready_none, METH_O, "ready_none(exception, /)\n--\n\nResets the traceback; returns None."},
    {"count_interpreter_allocations", count_interpreter_allocations, METH_NOARGS,
     "count_interpreter_allocations()\n--\n\n"
     "Starts counting the interpreter's allocations on first use; returns the count so far."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(add_stages)},
    {0, nullptr},
};

PyModuleDef definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_bench_native",
    .m_doc = nullptr,
    .m_size = 0,
    .m_methods = methods,
    .m_slots = slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__bench_native() { return PyModuleDef_Init(&definition); }
