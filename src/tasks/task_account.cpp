#include "tasks/task_account.h"

#include <windows.h>
#include <sddl.h>

#include <optional>
#include <vector>

#include "base/caller_access.h"
#include "base/token.h"
#include "base/unique_resource.h"
#include "base/windows_error.h"

namespace qsh {
std::optional<std::wstring> ownAccountSid(DWORD& error) {
    return tokenUserSid(nullptr, error);
}

namespace {

// The account an account name resolves to, as the Task Scheduler looks it up.
std::optional<std::wstring> sidOfName(const std::wstring& name, DWORD& error) {
    DWORD sidSize = 0;
    DWORD domainSize = 0;
    SID_NAME_USE use = SidTypeUnknown;
    LookupAccountNameW(nullptr, name.c_str(), nullptr, &sidSize, nullptr, &domainSize, &use);
    error = GetLastError();
    if (error != ERROR_INSUFFICIENT_BUFFER) {
        return std::nullopt;
    }
    std::vector<BYTE> sid(sidSize);
    std::wstring domain(domainSize, L'\0');
    if (!LookupAccountNameW(nullptr, name.c_str(), sid.data(), &sidSize, domain.data(), &domainSize,
                            &use)) {
        error = GetLastError();
        return std::nullopt;
    }
    return sidText(sid.data());
}

std::optional<std::wstring> sidOfSidString(const std::wstring& text) {
    LocalOwned<PSID> sid;
    if (!ConvertStringSidToSidW(text.c_str(), sid.put())) {
        return std::nullopt;
    }
    return sidText(sid.get());
}

} // namespace

std::wstring userIdRefusal(const std::wstring& userId, const std::wstring& expectedSid) {
    DWORD error = ERROR_SUCCESS;
    // A text may read both as a SID string and as an account name: every reading that
    // resolves must be the expected account, whichever one the Task Scheduler takes.
    const std::optional<std::wstring> bySid = sidOfSidString(userId);
    const std::optional<std::wstring> byName = sidOfName(userId, error);
    if (!bySid && !byName) {
        return L"The task XML is refused: its principal's UserId names no account (error " +
               std::to_wstring(error) + L").";
    }
    for (const std::optional<std::wstring>& sid : {bySid, byName}) {
        if (sid && *sid != expectedSid) {
            return L"The task XML is refused: its principal's UserId names " + *sid +
                   L", not the user who asked for the task.";
        }
    }
    return {};
}

std::wstring accountRefusal(const std::optional<std::wstring>& userId) {
    std::wstring asking;
    std::wstring error;
    if (!askingUserSid(asking, error)) {
        return L"The task XML could not be checked: " + error;
    }
    DWORD code = ERROR_SUCCESS;
    const std::optional<std::wstring> own = ownAccountSid(code);
    if (!own) {
        return L"The task XML could not be checked: reading the helper's own account failed: " +
               formatWindowsError(code);
    }
    // After an administrator typed credentials at the prompt, the helper runs as that
    // administrator, and so would every task it registers from a document.
    if (*own != asking) {
        return L"The task XML is refused: the helper runs as another account (" + *own +
               L") than the user who asked for the task (" + asking +
               L"), and a task it registers would run as that account.";
    }
    return userId ? userIdRefusal(*userId, asking) : std::wstring();
}

} // namespace qsh
