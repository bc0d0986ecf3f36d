#pragma once
// The four task operations behind one enumeration, for tests that pick an
// operation by parameter or at random.

#include <expected>
#include <string_view>
#include <utility>

#include "failures/task_failure.h"
#include "scheduler/operations.h"

namespace velmora::testing_support {

using namespace velmora::failures;

enum class Op { run_task, delete_task, task_exists, register_xml };

// One shape for the four results: the boolean of task_exists, true otherwise.
inline std::expected<bool, TaskFailure> invoke(Op op, std::string_view name, std::string_view xml) {
    auto flatten = [](scheduler::Outcome<void> outcome) -> std::expected<bool, TaskFailure> {
        if (!outcome) return std::unexpected(std::move(outcome.error()));
        return true;
    };
    switch (op) {
        case Op::run_task: return flatten(scheduler::run_task(name));
        case Op::delete_task: return flatten(scheduler::delete_task(name));
        case Op::task_exists: return scheduler::task_exists(name);
        case Op::register_xml: return flatten(scheduler::register_xml(name, xml));
    }
    return false;
}

}  // namespace velmora::testing_support
