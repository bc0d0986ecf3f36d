#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace velmora::failures {

class Error;

// What a failed scheduler step yields. Holds no COM and no interpreter object,
// so it outlives the scheduler connection and crosses from the operation
// (running without the interpreter lock) to the entry function (with it).
struct TaskFailure {
    std::string message;    // display text of the error, UTF-8, may hold U+0000
    std::string_view step;  // one of the eight static step labels
    std::int32_t hresult;   // HRESULT of the failed call; 0 for a missing interface

    // Makes the display text (which reads the error object, so this runs on
    // the failing thread, inside its apartment, before anything is released),
    // then drops the error. `label` must be one of the labels in failures::step.
    static TaskFailure from_error(Error error, std::string_view label) noexcept;
};

}  // namespace velmora::failures
