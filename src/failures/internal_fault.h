#pragma once

#include <optional>
#include <string>
#include <utility>

namespace velmora::failures {

// An unexpected failure of the module's own code: a broken invariant that
// abandons the running operation. Thrown only for such faults (expected
// failures travel as values) and caught only by the module's fault boundary,
// which turns it into a Python exception. It deliberately does not derive
// from std::exception so that no generic handler can swallow it.
class InternalFault {
public:
    // A fault with a UTF-8 message.
    explicit InternalFault(std::string message) : message_(std::move(message)) {}
    // A fault whose payload is not usable as text.
    InternalFault() = default;

    // The fault's message, or nothing when the payload carries no text.
    const std::optional<std::string>& message() const noexcept { return message_; }

private:
    std::optional<std::string> message_;
};

[[noreturn]] inline void throw_internal_fault(std::string message) {
    // NOLINTNEXTLINE(bugprone-std-exception-baseclass): no std::exception, as the class says
    throw InternalFault(std::move(message));
}

}  // namespace velmora::failures
