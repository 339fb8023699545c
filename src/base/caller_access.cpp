#include "base/caller_access.h"

#include <tlhelp32.h>

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

bool elevationType(TOKEN_ELEVATION_TYPE& type, std::wstring& error) {
    TokenFailure failure;
    const auto read =
        tokenRecord<TOKEN_ELEVATION_TYPE>(queryOwnToken(TokenElevationType, failure), failure);
    if (!read) {
        error = formatWindowsError(failure.error);
        return false;
    }
    type = *read;
    return true;
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

// The parent's token at impersonation level. The process is opened before its age is checked,
// so the token comes from the process that was checked even if its id is reused meanwhile.
UniqueHandle parentToken(std::wstring& error) {
    const DWORD parentId = parentProcessId();
    const UniqueHandle parent(
        parentId != 0
            ? OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, parentId)
            : nullptr);
    // An ended process is kept by whoever still holds a handle to it; it asks for nothing.
    if (!parent || WaitForSingleObject(parent.get(), 0) != WAIT_TIMEOUT) {
        error = L"The process that started the helper is gone; files named on the command line "
                L"are not opened for it.";
        return {};
    }
    FILETIME parentCreated{};
    FILETIME ownCreated{};
    if (!creationTime(parent.get(), parentCreated) ||
        !creationTime(GetCurrentProcess(), ownCreated)) {
        error = formatWindowsError(GetLastError());
        return {};
    }
    // A process created after this one cannot have started it: its id was reused.
    if (CompareFileTime(&parentCreated, &ownCreated) > 0) {
        error = L"The process that started the helper is gone (its id " +
                std::to_wstring(parentId) +
                L" now names a younger process); files named on the command line are not "
                L"opened for it.";
        return {};
    }
    UniqueHandle token;
    UniqueHandle impersonation;
    if (!OpenProcessToken(parent.get(), TOKEN_DUPLICATE | TOKEN_QUERY, token.put()) ||
        !DuplicateTokenEx(token.get(), TOKEN_IMPERSONATE | TOKEN_QUERY, nullptr,
                          SecurityImpersonation, TokenImpersonation, impersonation.put())) {
        error = formatWindowsError(GetLastError());
        return {};
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

} // namespace

CallerImpersonation::~CallerImpersonation() {
    if (active_) {
        RevertToSelf();
    }
}

bool actAsCaller(CallerImpersonation& scope, std::wstring& error) {
    TOKEN_ELEVATION_TYPE type = TokenElevationTypeDefault;
    if (!elevationType(type, error)) {
        return false;
    }
    if (type != TokenElevationTypeFull) {
        return true;
    }
    const UniqueHandle token = parentToken(error);
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

UniqueHandle openCallerOutput(const fs::path& path, bool& created, std::wstring& error) {
    created = false;
    CallerImpersonation scope;
    if (!actAsCaller(scope, error)) {
        return {};
    }
    if (!createFolders(path.parent_path(), error)) {
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

} // namespace qsh
