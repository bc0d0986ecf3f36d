#pragma once

#include <utility>

namespace velmora::platform {

// Owns one platform handle and closes it once with `Close{}(handle)`, unless
// it is the `Empty` value. Move-only; moving leaves the source empty. reset() empties
// the owner before closing, so that nothing reached from `Close` can see a
// handle that is being closed.
template <class Handle, class Close, Handle Empty = Handle{}>
class UniqueHandle {
public:
    UniqueHandle() noexcept = default;
    explicit UniqueHandle(Handle handle) noexcept : handle_(handle) {}
    UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        reset(other.release());
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    ~UniqueHandle() { reset(); }

    Handle get() const noexcept { return handle_; }
    explicit operator bool() const noexcept { return handle_ != Empty; }

    // For an out-parameter: closes what is held, then hands out the address.
    Handle* put() noexcept {
        reset();
        return &handle_;
    }

    // Gives the handle up without closing it.
    [[nodiscard]] Handle release() noexcept { return std::exchange(handle_, Empty); }

    void reset(Handle handle = Empty) noexcept {
        if (Handle old = std::exchange(handle_, handle); old != Empty) Close{}(old);
    }

private:
    Handle handle_ = Empty;
};

}  // namespace velmora::platform
