#include "base/caller_access.h"

#include <tlhelp32.h>

#include <vector>

#include "base/file_io.h"
#include "base/token.h"
#include "base/user_writable_files.h"
#include "base/windows_error.h"

namespace qsh {
namespace {

namespace fs = std::filesystem;

CallerOpenHook callerOpenHook = nullptr;

void announceOpen(const fs::path& path) {
    if (callerOpenHook != nullptr) {
        callerOpenHook(path.wstring());
    }
}

// The id of the process that started this one, 0 when it cannot be found.
DWORD parentProcessId() {
    const UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    const DWORD self = GetCurrentProcessId();
    for (BOOL more = snapshot && Process32FirstW(snapshot.get(), &entry); more;
         more = Process32NextW(snapshot.get(), &entry)) {
        if (entry.th32ProcessID == self) {
            return entry.th32ParentProcessID;
        }
    }
    return 0;
}

bool creationTime(HANDLE process, FILETIME& created) {
    FILETIME exited{}, kernel{}, user{};
    return GetProcessTimes(process, &created, &exited, &kernel, &user) != 0;
}

// SeDebugPrivilege, enabled while alive where the token holds it and it was off. After an
// administrator typed credentials, the asking process belongs to another user, whose process
// security names neither the administrator nor the Administrators group; with the privilege
// enabled, OpenProcess grants the access asked for whatever the process's security says.
class DebugPrivilegeScope {
  public:
    DebugPrivilegeScope() {
        TOKEN_PRIVILEGES enable{};
        enable.PrivilegeCount = 1;
        enable.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
        DWORD size = sizeof previous_;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY,
                              token_.put()) ||
            !LookupPrivilegeValueW(nullptr, SE_DEBUG_NAME, &enable.Privileges[0].Luid) ||
            !AdjustTokenPrivileges(token_.get(), FALSE, &enable, sizeof previous_, &previous_,
                                   &size)) {
            token_.reset();
            return;
        }
        // ERROR_NOT_ALL_ASSIGNED: the token has no such privilege; nothing was changed.
        adjusted_ = GetLastError() == ERROR_SUCCESS;
    }
    DebugPrivilegeScope(const DebugPrivilegeScope&) = delete;
    DebugPrivilegeScope& operator=(const DebugPrivilegeScope&) = delete;
    ~DebugPrivilegeScope() {
        if (adjusted_) {
            AdjustTokenPrivileges(token_.get(), FALSE, &previous_, 0, nullptr, nullptr);
        }
    }
    bool adjusted() const { return adjusted_; }

  private:
    UniqueHandle token_;
    TOKEN_PRIVILEGES previous_{};
    bool adjusted_ = false;
};

constexpr DWORD kParentAccess = PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE;

struct ParentError {
    ParentFailure failure = ParentFailure::Gone;
    DWORD id = 0;
    DWORD error = ERROR_SUCCESS;
};

// The parent, opened; with the debug privilege when its security keeps this process out.
UniqueHandle openParent(DWORD id, ParentError& failed) {
    failed = {ParentFailure::Gone, id};
    if (id == 0) {
        return {};
    }
    UniqueHandle parent(OpenProcess(kParentAccess, FALSE, id));
    DWORD error = parent ? ERROR_SUCCESS : GetLastError();
    if (error == ERROR_ACCESS_DENIED) {
        const DebugPrivilegeScope debug;
        if (debug.adjusted()) {
            parent.reset(OpenProcess(kParentAccess, FALSE, id));
            error = parent ? ERROR_SUCCESS : GetLastError();
        }
    }
    // OpenProcess answers ERROR_INVALID_PARAMETER for an id that names no process.
    if (!parent && error != ERROR_INVALID_PARAMETER) {
        failed = {ParentFailure::Process, id, error};
    }
    return parent;
}

// The token of the process that started this one. The process is opened before its age is
// checked, so the token comes from the process that was checked even if its id is reused
// meanwhile.
UniqueHandle parentToken(DWORD access, ParentError& failed) {
    const DWORD id = parentProcessId();
    const UniqueHandle parent = openParent(id, failed);
    // An ended process is kept by whoever still holds a handle to it; it asks for nothing.
    if (!parent || WaitForSingleObject(parent.get(), 0) != WAIT_TIMEOUT) {
        return {};
    }
    FILETIME parentCreated{};
    FILETIME ownCreated{};
    if (!creationTime(parent.get(), parentCreated) ||
        !creationTime(GetCurrentProcess(), ownCreated)) {
        failed = {ParentFailure::Process, id, GetLastError()};
        return {};
    }
    // A process created after this one cannot have started it: its id was reused.
    if (CompareFileTime(&parentCreated, &ownCreated) > 0) {
        failed = {ParentFailure::Reused, id};
        return {};
    }
    UniqueHandle token;
    if (!OpenProcessToken(parent.get(), access, token.put())) {
        const DWORD error = GetLastError();
        // The token's own security decides; the debug privilege is tried as for the process.
        const DebugPrivilegeScope debug;
        if (!debug.adjusted() || !OpenProcessToken(parent.get(), access, token.put())) {
            failed = {ParentFailure::Token, id, debug.adjusted() ? GetLastError() : error};
            return {};
        }
    }
    return token;
}

// The parent's token at impersonation level.
UniqueHandle parentImpersonationToken(std::wstring& error) {
    ParentError failed;
    const UniqueHandle token = parentToken(TOKEN_DUPLICATE | TOKEN_QUERY, failed);
    UniqueHandle impersonation;
    if (!token) {
        error = parentFailureText(failed.failure, failed.id, failed.error,
                                  L"files named on the command line are not opened for it");
    } else if (!DuplicateTokenEx(token.get(), TOKEN_IMPERSONATE | TOKEN_QUERY, nullptr,
                                 SecurityImpersonation, TokenImpersonation, impersonation.put())) {
        error = formatWindowsError(GetLastError());
    }
    return impersonation;
}

// Windows may hand a thread a token at identification level without failing the call; such a
// token opens no files, and the process's own rights would be used instead.
bool impersonatingAtLevel(std::wstring& error) {
    UniqueHandle token;
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, token.put())) {
        error = formatWindowsError(GetLastError());
        return false;
    }
    TokenFailure failure;
    const auto read = tokenRecord<SECURITY_IMPERSONATION_LEVEL>(
        queryToken(token.get(), TokenImpersonationLevel, failure), failure);
    if (!read) {
        error = formatWindowsError(failure.error);
        return false;
    }
    const SECURITY_IMPERSONATION_LEVEL level = *read;
    if (level < SecurityImpersonation) {
        error = L"The token of the process that started the helper is only at impersonation "
                L"level " +
                std::to_wstring(static_cast<int>(level)) + L"; it cannot open files.";
        return false;
    }
    return true;
}

std::optional<std::wstring>& askingUserOverride() {
    static std::optional<std::wstring> sid;
    return sid;
}

std::optional<bool> ownElevation() {
    TokenFailure failure;
    return ownTokenElevation(failure);
}

} // namespace

CallerImpersonation::~CallerImpersonation() {
    if (active_) {
        RevertToSelf();
    }
}

bool opensAsCaller(std::optional<bool> elevated) {
    return elevated.value_or(true);
}

std::wstring parentFailureText(ParentFailure failure, DWORD id, DWORD error,
                               const std::wstring& consequence) {
    switch (failure) {
    case ParentFailure::Gone:
        return L"The process that started the helper is gone; " + consequence + L".";
    case ParentFailure::Reused:
        return L"The process that started the helper is gone (its id " + std::to_wstring(id) +
               L" now names a younger process); " + consequence + L".";
    case ParentFailure::Process:
        return L"The process that started the helper (id " + std::to_wstring(id) +
               L") could not be opened, so " + consequence + L": " + formatWindowsError(error);
    case ParentFailure::Token:
        return L"The token of the process that started the helper (id " + std::to_wstring(id) +
               L") could not be opened, so " + consequence + L": " + formatWindowsError(error);
    }
    return {};
}

bool actAsCaller(CallerImpersonation& scope, std::wstring& error) {
    if (!opensAsCaller(ownElevation())) {
        return true;
    }
    const UniqueHandle token = parentImpersonationToken(error);
    if (!token) {
        return false;
    }
    if (!ImpersonateLoggedOnUser(token.get())) {
        error = formatWindowsError(GetLastError());
        return false;
    }
    scope.active_ = true;
    return impersonatingAtLevel(error);
}

bool askingUserSid(std::wstring& sid, std::wstring& error) {
    // Asked again by a later step of the same command, the answer must not change.
    static std::optional<std::wstring> known;
    if (askingUserOverride()) {
        known = askingUserOverride();
    }
    if (!known) {
        DWORD code = ERROR_SUCCESS;
        ParentError failed;
        const bool elevated = opensAsCaller(ownElevation());
        const UniqueHandle token = elevated ? parentToken(TOKEN_QUERY, failed) : UniqueHandle();
        if (elevated && !token) {
            error = parentFailureText(failed.failure, failed.id, failed.error,
                                      L"the user who asked for the command is not known");
            return false;
        }
        known = tokenUserSid(token.get(), code);
        if (!known) {
            error =
                L"Reading the user who asked for the command failed: " + formatWindowsError(code);
            return false;
        }
    }
    sid = *known;
    return true;
}

void setAskingUserOverride(const std::wstring& sid) {
    askingUserOverride() = sid;
}

void setCallerOpenHook(CallerOpenHook hook) {
    callerOpenHook = hook;
}

UniqueHandle openCallerInput(const fs::path& path, bool& missing, std::wstring& error) {
    CallerImpersonation scope;
    if (!actAsCaller(scope, error)) {
        return {};
    }
    const DWORD attributes = GetFileAttributesW(path.c_str());
    missing = attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (missing) {
        return {};
    }
    announceOpen(path);
    // Another program's oplock on the input does not stall an elevated helper.
    DWORD openError = ERROR_SUCCESS;
    UniqueHandle file = openExistingFile(
        path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, openError);
    if (!file) {
        error = formatWindowsError(openError);
    }
    return file;
}

UniqueHandle openCallerOutput(const fs::path& path, bool& created, std::wstring& error,
                              std::vector<fs::path>* madeFolders) {
    created = false;
    CallerImpersonation scope;
    if (!actAsCaller(scope, error)) {
        return {};
    }
    if (!createFolders(path.parent_path(), error, madeFolders)) {
        return {};
    }
    announceOpen(path);
    DWORD failure = ERROR_SUCCESS;
    UniqueHandle file = openExistingFile(path, GENERIC_WRITE, FILE_SHARE_READ, failure);
    if (file) {
        return file;
    }
    if (failure == ERROR_FILE_NOT_FOUND) {
        // Only a file made here may be deleted again, should the command fail before writing.
        file.reset(CreateFileW(path.c_str(), GENERIC_WRITE | DELETE, FILE_SHARE_READ, nullptr,
                               CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file) {
            created = true;
            return file;
        }
        failure = GetLastError();
    }
    error = formatWindowsError(failure);
    return {};
}

void removeCallerFolders(const std::vector<fs::path>& folders) {
    CallerImpersonation scope;
    std::wstring ignored;
    // Nothing is removed with the helper's own rights.
    if (folders.empty() || !actAsCaller(scope, ignored)) {
        return;
    }
    for (const fs::path& folder : folders) {
        if (!RemoveDirectoryW(folder.c_str())) {
            return;
        }
    }
}

} // namespace qsh
