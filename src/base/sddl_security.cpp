#include "base/sddl_security.h"

#include <sddl.h>

namespace qsh {

SddlSecurity::SddlSecurity(const std::wstring& sddl) {
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                              descriptor_.put(), nullptr)) {
        error_ = GetLastError();
        return;
    }
    attributes_ = {sizeof attributes_, descriptor_.get(), FALSE};
}

} // namespace qsh
