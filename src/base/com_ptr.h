#pragma once

#include <windows.h>

#include <utility>

namespace qsh {

// Sole owner of one COM interface pointer; releases it once.
template <class Interface> class ComPtr {
  public:
    ComPtr() = default;
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;
    ComPtr(ComPtr&& other) noexcept : pointer_(std::exchange(other.pointer_, nullptr)) {}
    ComPtr& operator=(ComPtr&& other) noexcept {
        if (this != &other) {
            reset();
            pointer_ = std::exchange(other.pointer_, nullptr);
        }
        return *this;
    }
    ~ComPtr() { reset(); }

    Interface* get() const { return pointer_; }
    Interface* operator->() const { return pointer_; }
    explicit operator bool() const { return pointer_ != nullptr; }
    void reset() {
        if (Interface* old = std::exchange(pointer_, nullptr)) {
            old->Release();
        }
    }
    // For out-parameters: releases what is held and hands out the slot.
    Interface** put() {
        reset();
        return &pointer_;
    }
    // The same slot typed for QueryInterface and CoCreateInstance.
    void** putVoid() { return reinterpret_cast<void**>(put()); }

  private:
    Interface* pointer_ = nullptr;
};

} // namespace qsh
