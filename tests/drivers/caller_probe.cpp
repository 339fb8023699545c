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
// QSH_PROBE_IMPORT plays another program at the moments create-xml's staged copy is not held
// against writers: "tamper" appends a byte while the hold takes over from the writer; "swap"
// puts another file in its place before the delete that follows a successful import.
//
// QSH_PROBE_ASKING_SID, when set, is the SID string the helper takes for the user who asked for
// the command, as after an administrator typed credentials for another user (Wine has one user).

#include <windows.h>

#include <cstring>
#include <string>

#include "app/entry.h"
#include "base/caller_access.h"
#include "base/unique_resource.h"
#include "diag/log.h"
#include "tasks/staged_import.h"

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

std::wstring variable(const wchar_t* name) {
    const DWORD needed = GetEnvironmentVariableW(name, nullptr, 0);
    std::wstring value(needed, L'\0');
    value.resize(needed != 0 ? GetEnvironmentVariableW(name, value.data(), needed) : 0);
    return value;
}

void writeWhole(const std::wstring& path, DWORD disposition, const char* bytes) {
    const qsh::UniqueHandle file(CreateFileW(path.c_str(), FILE_APPEND_DATA,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                             disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    WriteFile(file.get(), bytes, static_cast<DWORD>(std::strlen(bytes)), &written, nullptr);
}

void playOnImport(qsh::ImportMoment moment, const std::wstring& path) {
    const std::wstring play = variable(L"QSH_PROBE_IMPORT");
    if (play == L"tamper" && moment == qsh::ImportMoment::Narrowing) {
        writeWhole(path, OPEN_EXISTING, "X");
    } else if (play == L"swap" && moment == qsh::ImportMoment::Deleting) {
        // Made while the staged copy still exists, so that it cannot get the copy's file id
        // (a file system may give a deleted file's number to the next new file).
        const std::wstring planted = path + L".planted";
        writeWhole(planted, CREATE_NEW, "planted");
        MoveFileExW(planted.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
    }
}

} // namespace

int wmain() {
    qsh::setStagedImportHook(playOnImport);
    qsh::setCallerOpenHook(recordToken);
    if (const std::wstring sid = variable(L"QSH_PROBE_ASKING_SID"); !sid.empty()) {
        qsh::setAskingUserOverride(sid);
    }
    return qsh::runHelper();
}
