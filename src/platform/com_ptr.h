#pragma once

#include <cstddef>
#include <utility>

#include "platform/platform.h"

namespace velmora::platform {

// One owned reference to a COM interface. put() releases what is held before
// handing out the address, so an out-parameter never overwrites a live
// reference; reset() nulls the member before Release() so that a re-entrant
// call never sees a pointer that is being released.
template <class T>
class ComPtr {
public:
    ComPtr() noexcept = default;
    // NOLINTNEXTLINE(cppcoreguidelines-explicit-constructor): `return nullptr;` as for a raw pointer
    ComPtr(std::nullptr_t) noexcept {}
    ComPtr(ComPtr&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    ComPtr& operator=(ComPtr&& other) noexcept {
        if (this != &other) {
            reset();
            ptr_ = std::exchange(other.ptr_, nullptr);
        }
        return *this;
    }
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;
    ~ComPtr() { reset(); }

    T* get() const noexcept { return ptr_; }
    T* operator->() const noexcept { return ptr_; }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }

    T** put() noexcept {
        reset();
        return &ptr_;
    }
    // For calls that take the out-pointer as void** (CoCreateInstance,
    // QueryInterface), as IID_PPV_ARGS does.
    void** put_void() noexcept { return reinterpret_cast<void**>(put()); }

    void reset() noexcept {
        if (T* ptr = std::exchange(ptr_, nullptr)) ptr->Release();
    }

    // The interface `iid` of the same object, or null when it is not offered.
    template <class U>
    ComPtr<U> try_query(REFIID iid) const noexcept {
        ComPtr<U> result;
        if (ptr_ != nullptr && FAILED(ptr_->QueryInterface(iid, result.put_void()))) result.reset();
        return result;
    }

private:
    T* ptr_ = nullptr;
};

}  // namespace velmora::platform
