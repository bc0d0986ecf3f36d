#pragma once

#include <utility>

#include "platform/platform.h"

namespace velmora::platform {

// Balances one successful CoInitializeEx of the current thread. A guard made
// without ownership (the thread was already in another apartment, so the
// initialisation was refused) never calls CoUninitialize.
class ComInit {
public:
    ComInit() noexcept = default;
    static ComInit adopt() noexcept {
        ComInit init;
        init.owned_ = true;
        return init;
    }
    ComInit(ComInit&& other) noexcept : owned_(std::exchange(other.owned_, false)) {}
    ComInit& operator=(ComInit&& other) noexcept {
        if (this != &other) {
            reset();
            owned_ = std::exchange(other.owned_, false);
        }
        return *this;
    }
    ComInit(const ComInit&) = delete;
    ComInit& operator=(const ComInit&) = delete;
    ~ComInit() { reset(); }

    bool owned() const noexcept { return owned_; }

    void reset() noexcept {
        if (std::exchange(owned_, false)) CoUninitialize();
    }

private:
    bool owned_ = false;
};

}  // namespace velmora::platform
