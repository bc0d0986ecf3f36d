// The four operations as a nanobind user would bind them: std::string_view
// arguments, the lock released by a call guard, a failure thrown as
// std::runtime_error (RuntimeError in Python).
#include <nanobind/nanobind.h>
#include <nanobind/stl/string_view.h>

#include <stdexcept>
#include <string_view>

#include "scheduler/operations.h"

namespace nb = nanobind;
using namespace nb::literals;
using velmora::scheduler::Outcome;

namespace {

template <class T>
T value_or_throw(Outcome<T> outcome) {
    if (!outcome) throw std::runtime_error(outcome.error().message);
    if constexpr (!std::is_void_v<T>) return *outcome;
}

using release = nb::call_guard<nb::gil_scoped_release>;

}  // namespace

NB_MODULE(_bench_nanobind, m) {
    m.def(
        "register_xml",
        [](std::string_view task_name, std::string_view xml_data) {
            value_or_throw(velmora::scheduler::register_xml(task_name, xml_data));
        },
        "task_name"_a, "xml_data"_a, release());
    m.def(
        "delete_task", [](std::string_view task_name) { value_or_throw(velmora::scheduler::delete_task(task_name)); },
        "task_name"_a, release());
    m.def(
        "run_task", [](std::string_view task_name) { value_or_throw(velmora::scheduler::run_task(task_name)); },
        "task_name"_a, release());
    m.def(
        "task_exists",
        [](std::string_view task_name) { return value_or_throw(velmora::scheduler::task_exists(task_name)); },
        "task_name"_a, release());
}
