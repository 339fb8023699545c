#pragma once

#include <windows.h>

#include <utility>

namespace qsh {

// Sole owner of one kernel handle; closes it once. Null and INVALID_HANDLE_VALUE mean empty.
class UniqueHandle {
  public:
    UniqueHandle() = default;
    explicit UniqueHandle(HANDLE handle) : handle_(handle) {}
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    UniqueHandle(UniqueHandle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) {
            reset(std::exchange(other.handle_, nullptr));
        }
        return *this;
    }
    ~UniqueHandle() { reset(); }

    HANDLE get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
    HANDLE release() { return std::exchange(handle_, nullptr); }
    void reset(HANDLE handle = nullptr) {
        HANDLE old = std::exchange(handle_, handle);
        if (old != nullptr && old != INVALID_HANDLE_VALUE) {
            CloseHandle(old);
        }
    }
    // For out-parameters: closes what is held and hands out the slot.
    HANDLE* put() {
        reset();
        return &handle_;
    }

  private:
    HANDLE handle_ = nullptr;
};

} // namespace qsh
