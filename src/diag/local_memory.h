#pragma once

#include <windows.h>

#include <string>

namespace qsh {

// Owns what a system call allocated with LocalAlloc for its caller (FormatMessageW's buffer,
// CommandLineToArgvW's array, SID and security descriptor conversions).
template <class Pointer> class LocalOwned {
  public:
    LocalOwned() = default;
    explicit LocalOwned(Pointer pointer) : pointer_(pointer) {}
    LocalOwned(const LocalOwned&) = delete;
    LocalOwned& operator=(const LocalOwned&) = delete;
    ~LocalOwned() {
        if (pointer_ != nullptr) {
            LocalFree(pointer_);
        }
    }
    Pointer get() const { return pointer_; }
    Pointer* put() { return &pointer_; }
    explicit operator bool() const { return pointer_ != nullptr; }

  private:
    Pointer pointer_ = nullptr;
};

// Security attributes for a file made here, built from an SDDL text. get() is null when the
// text could not be converted; error() then says why.
class SddlSecurity {
  public:
    explicit SddlSecurity(const std::wstring& sddl);
    SddlSecurity(const SddlSecurity&) = delete;
    SddlSecurity& operator=(const SddlSecurity&) = delete;
    SECURITY_ATTRIBUTES* get() { return descriptor_ ? &attributes_ : nullptr; }
    DWORD error() const { return error_; }

  private:
    LocalOwned<PSECURITY_DESCRIPTOR> descriptor_;
    SECURITY_ATTRIBUTES attributes_{};
    DWORD error_ = ERROR_SUCCESS;
};

} // namespace qsh
