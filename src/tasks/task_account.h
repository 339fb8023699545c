#pragma once

#include <string>

namespace qsh {

// Empty when `userId` (a name or a SID string, as a task's principal gives it) names the
// account this process runs as; otherwise a text naming why not.
std::wstring userIdRefusal(const std::wstring& userId);

} // namespace qsh
