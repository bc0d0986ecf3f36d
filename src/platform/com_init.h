#pragma once

#include "platform/platform.h"
#include "platform/unique_handle.h"

namespace velmora::platform {

struct LeaveApartment {
    void operator()(bool) const noexcept { CoUninitialize(); }
};

// Balances one successful CoInitializeEx of the current thread: the
// CoInitializeEx contract wants one CoUninitialize for each call that
// succeeded (S_OK or S_FALSE), on the same thread. A guard made without
// ownership (the thread was already in another apartment, so the
// initialisation was refused) never calls CoUninitialize.
class ComInit : public UniqueHandle<bool, LeaveApartment, false> {
public:
    ComInit() noexcept = default;
    static ComInit adopt() noexcept { return ComInit(true); }

    bool owned() const noexcept { return static_cast<bool>(*this); }

private:
    explicit ComInit(bool owned) noexcept : UniqueHandle(owned) {}
};

}  // namespace velmora::platform
