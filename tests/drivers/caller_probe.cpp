// Runs the helper's own code, as QuillfenSchedulerHelper.exe does, and logs, for each file
// named on the command line, whose token the thread carries while it opens it:
//
//   qsh-caller-probe <helper arguments>...
//
//   "Probe: open <path> as thread=<0|1> elevated=<0|1> level=<n>"
//
// thread=1 when the thread has a token of its own (it impersonates), elevated from that token
// (else from the process's), level its impersonation level (SecurityImpersonation is 2).
// Wine does not check file access against the thread's token, so this line is what a test can
// see of the helper opening files as the user who asked.
//
// QSH_PROBE_ASKING_SID, when set, is the SID string the helper takes for the user who asked for
// the command, as after an administrator typed credentials for another user (Wine has one user).

#include <windows.h>

#include <string>

#include "app/entry.h"
#include "base/caller_access.h"
#include "base/unique_resource.h"
#include "diag/log.h"

namespace {

void recordToken(const std::wstring& path) {
    qsh::UniqueHandle token;
    const bool thread = OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, token.put()) != 0;
    if (!thread) {
        OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put());
    }
    TOKEN_ELEVATION elevation{};
    SECURITY_IMPERSONATION_LEVEL level = SecurityAnonymous;
    DWORD returned = 0;
    GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof elevation, &returned);
    if (thread) {
        GetTokenInformation(token.get(), TokenImpersonationLevel, &level, sizeof level, &returned);
    }
    qsh::logMessage(L"Probe: open " + path + L" as thread=" + (thread ? L"1" : L"0") +
                    L" elevated=" + std::to_wstring(elevation.TokenIsElevated) + L" level=" +
                    std::to_wstring(static_cast<int>(level)));
}

} // namespace

int wmain() {
    qsh::setCallerOpenHook(recordToken);
    const DWORD needed = GetEnvironmentVariableW(L"QSH_PROBE_ASKING_SID", nullptr, 0);
    if (needed != 0) {
        std::wstring sid(needed, L'\0');
        sid.resize(GetEnvironmentVariableW(L"QSH_PROBE_ASKING_SID", sid.data(), needed));
        qsh::setAskingUserOverride(sid);
    }
    return qsh::runHelper();
}
