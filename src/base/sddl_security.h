#pragma once

#include <windows.h>

#include <string>

#include "base/unique_resource.h"

namespace qsh {

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
