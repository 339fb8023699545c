#pragma once

#include <windows.h>

#include <optional>
#include <string>

namespace qsh {

// Empty when `userId` (a name or a SID string, as a task's principal gives it) names the account
// whose SID string is `expectedSid`; otherwise a text naming why not.
std::wstring userIdRefusal(const std::wstring& userId, const std::wstring& expectedSid);

// Empty when this process runs as the user who asked for the command and `userId`, a
// document's principal UserId where it has one, names that user; otherwise why the document's
// task cannot be that user's.
std::wstring accountRefusal(const std::optional<std::wstring>& userId);

// The SID string of the account this process runs as (the same elevated or not).
std::optional<std::wstring> ownAccountSid(DWORD& error);

} // namespace qsh
