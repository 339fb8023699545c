#pragma once

#include <string>

namespace qsh {

// Full path of the running executable, or empty when the system call fails.
std::wstring getSelfPath();

} // namespace qsh
