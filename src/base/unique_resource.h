#pragma once

#include <windows.h>

#include <utility>

namespace qsh {

// Sole owner of one system resource: `Traits` names its type (Value), the value that holds
// nothing (empty), which values hold something (holds) and how one is given back (close).
// The resource is given back once, by the owner's destructor or reset.
template <class Traits> class UniqueResource {
  public:
    using Value = typename Traits::Value;

    UniqueResource() = default;
    explicit UniqueResource(Value value) : value_(value) {}
    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;
    UniqueResource(UniqueResource&& other) noexcept : value_(other.release()) {}
    UniqueResource& operator=(UniqueResource&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    ~UniqueResource() { reset(); }

    Value get() const { return value_; }
    explicit operator bool() const { return Traits::holds(value_); }
    // Hands ownership to the caller.
    Value release() { return std::exchange(value_, Traits::empty()); }
    void reset(Value value = Traits::empty()) {
        Value old = std::exchange(value_, value);
        if (Traits::holds(old)) {
            Traits::close(old);
        }
    }
    // For out-parameters: gives back what is held and hands out the slot.
    Value* put() {
        reset();
        return &value_;
    }

  private:
    Value value_ = Traits::empty();
};

// A kernel handle; null and INVALID_HANDLE_VALUE both hold nothing.
struct KernelHandleTraits {
    using Value = HANDLE;
    static Value empty() { return nullptr; }
    static bool holds(Value value) { return value != nullptr && value != INVALID_HANDLE_VALUE; }
    static void close(Value value) { CloseHandle(value); }
};
using UniqueHandle = UniqueResource<KernelHandleTraits>;

// A loaded module.
struct ModuleTraits {
    using Value = HMODULE;
    static Value empty() { return nullptr; }
    static bool holds(Value value) { return value != nullptr; }
    static void close(Value value) { FreeLibrary(value); }
};
using UniqueModule = UniqueResource<ModuleTraits>;

// What a system call allocated with LocalAlloc for its caller (FormatMessageW's buffer,
// CommandLineToArgvW's array, SID and security descriptor conversions).
template <class Pointer> struct LocalMemoryTraits {
    using Value = Pointer;
    static Value empty() { return nullptr; }
    static bool holds(Value value) { return value != nullptr; }
    static void close(Value value) { LocalFree(value); }
};
template <class Pointer> using LocalOwned = UniqueResource<LocalMemoryTraits<Pointer>>;

} // namespace qsh
