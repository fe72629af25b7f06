// RAII ownership of one system handle.
#pragma once

#include "platform/platform.h"

#include <utility>

namespace kiln::platform {

// The single owner of one system handle; closes it, unexamined, when it goes.
class OwnedHandle {
public:
    OwnedHandle() noexcept = default;
    explicit OwnedHandle(Handle handle) noexcept : handle_(handle) {}
    OwnedHandle(const OwnedHandle&) = delete;
    OwnedHandle& operator=(const OwnedHandle&) = delete;
    OwnedHandle(OwnedHandle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
    OwnedHandle& operator=(OwnedHandle&& other) noexcept {
        if (this != &other) {
            reset();
            handle_ = std::exchange(other.handle_, nullptr);
        }
        return *this;
    }
    ~OwnedHandle() { reset(); }

    Handle get() const noexcept { return handle_; }
    explicit operator bool() const noexcept { return handle_ != nullptr; }
    // Gives the handle up without closing it.
    Handle release() noexcept { return std::exchange(handle_, nullptr); }
    void reset() noexcept {
        if (Handle handle = std::exchange(handle_, nullptr)) {
            close(handle);
        }
    }

private:
    Handle handle_ = nullptr;
};

}  // namespace kiln::platform
