#pragma once

#include <windows.h>

#include <optional>
#include <string>

namespace qsh {

// Empty when `userId` (a name or a SID string, as a task's principal gives it) names the
// account this process runs as; otherwise a text naming why not.
std::wstring userIdRefusal(const std::wstring& userId);

// The SID string of the account this process runs as (the same elevated or not).
std::optional<std::wstring> ownAccountSid(DWORD& error);

} // namespace qsh
