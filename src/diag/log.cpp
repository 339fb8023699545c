#include "diag/log.h"

#include <windows.h>

#include <cwchar>
#include <vector>

#include "base/file_io.h"
#include "base/final_path.h"
#include "base/sddl_security.h"
#include "base/token.h"
#include "base/unique_resource.h"
#include "base/user_writable_files.h"
#include "base/utf8.h"
#include "diag/format.h"

namespace qsh {

namespace {

namespace fs = std::filesystem;

// Appends are whole-line atomic on a local NTFS volume, but not on every file system the log
// may sit on (network shares, Wine's emulation), where two processes can both write at the
// same end offset and one line is lost. Every helper therefore takes an exclusive lock on one
// byte of the log file itself, far past any real data, around its write. The lock works
// between the elevated copy and its non-elevated parent alike, and only a process that may
// open the log can take it. The wait is bounded: a line is written without the lock rather
// than lost or late.
constexpr ULONGLONG kGuardOffset = 0x4000000000000000ULL;
constexpr DWORD kGuardWaitMs = 2000;
constexpr DWORD kGuardPollMs = 1;

// A log made here cannot be read, and so not locked, by a process of lower integrity.
constexpr wchar_t kLogSecurity[] = L"S:(ML;;NRNW;;;ME)";

class LogGuard {
  public:
    // Waits for the guard until `deadline` (GetTickCount64) at most.
    LogGuard(HANDLE file, ULONGLONG deadline) : file_(file) {
        for (;;) {
            OVERLAPPED at = guardRange();
            if (LockFileEx(file_, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                           &at)) {
                held_ = true;
                return;
            }
            const DWORD error = GetLastError();
            if (error != ERROR_LOCK_VIOLATION || GetTickCount64() >= deadline) {
                return;
            }
            Sleep(kGuardPollMs);
        }
    }
    LogGuard(const LogGuard&) = delete;
    LogGuard& operator=(const LogGuard&) = delete;
    ~LogGuard() {
        if (held_) {
            OVERLAPPED at = guardRange();
            UnlockFileEx(file_, 0, 1, 0, &at);
        }
    }

  private:
    static OVERLAPPED guardRange() {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(kGuardOffset & 0xFFFFFFFFu);
        at.OffsetHigh = static_cast<DWORD>(kGuardOffset >> 32);
        return at;
    }

    HANDLE file_;
    bool held_ = false;
};

std::wstring timeStamp() {
    SYSTEMTIME now = {};
    GetLocalTime(&now);
    wchar_t stamp[64] = {};
    std::swprintf(stamp, 64, L"%04u-%02u-%02u %02u:%02u:%02u.%03u", unsigned{now.wYear},
                  unsigned{now.wMonth}, unsigned{now.wDay}, unsigned{now.wHour},
                  unsigned{now.wMinute}, unsigned{now.wSecond}, unsigned{now.wMilliseconds});
    return stamp;
}

constexpr wchar_t kLogName[] = L"scheduler-helper.log";
constexpr DWORD kLogAccess = FILE_READ_DATA | FILE_APPEND_DATA;
constexpr DWORD kLogShare = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

fs::path logFolder() {
    return fs::path(L"Quillfen") / L"logs";
}

// An elevated process checks the log folder's chain once and holds the folder; each line is
// then opened relative to it. That costs one open per line instead of one per folder, and a
// held folder that someone turns into a mount point meanwhile does not redirect the line.
struct HeldLogFolder {
    std::wstring key; // the full local folder it was opened for
    UniqueHandle hold;
    std::wstring finalPath;
};

HeldLogFolder& heldLogFolder() {
    static HeldLogFolder held;
    return held;
}

bool holdLogFolder(HeldLogFolder& held, const fs::path& base, const std::wstring& key) {
    held = HeldLogFolder{};
    std::wstring refused;
    UniqueHandle hold = openOwnFolder(base, logFolder(), refused);
    DWORD error = ERROR_SUCCESS;
    if (!hold || !finalPathOfHandle(hold.get(), held.finalPath, error)) {
        return false;
    }
    held.hold = std::move(hold);
    held.key = key;
    return true;
}

// An open that would wait on another program's oplock is tried again until `deadline`; after
// that the line is dropped rather than late.
UniqueHandle openInHeldFolder(const HeldLogFolder& held, SECURITY_ATTRIBUTES* security,
                              ULONGLONG deadline) {
    DWORD error = ERROR_SUCCESS;
    return retryWhileOplocked(deadline, kGuardPollMs, error, [&](DWORD& failed) {
        std::wstring refused;
        return openOwnFileIn(held.hold.get(), held.finalPath, kLogName, kLogAccess, kLogShare,
                             refused, failed, security);
    });
}

UniqueHandle openLog(SECURITY_ATTRIBUTES* security, ULONGLONG deadline) {
    const fs::path base = getLocalAppDataPath();
    if (!tokenIsElevated()) {
        std::wstring refused;
        return openOwnFile(base, logFolder() / kLogName, kLogAccess, kLogShare, refused, security);
    }
    // The base is already absolute: a change of LOCALAPPDATA shows as another key.
    const std::wstring key = base.wstring();
    HeldLogFolder& held = heldLogFolder();
    const bool fresh = held.key != key || !held.hold;
    if (fresh && !holdLogFolder(held, base, key)) {
        return {};
    }
    UniqueHandle handle = openInHeldFolder(held, security, deadline);
    // A folder held since an earlier line may no longer serve (Wine lets a held folder's
    // parent be moved): its chain is checked once more.
    if (!handle && !fresh && GetTickCount64() < deadline && holdLogFolder(held, base, key)) {
        handle = openInHeldFolder(held, security, deadline);
    }
    return handle;
}

void appendLine(const std::wstring& message) {
    // Built once: only a log that does not exist yet needs it, but any line may create one.
    static SddlSecurity security(kLogSecurity);
    // Opening, the guard and the write of one line together stay within this bound.
    const ULONGLONG deadline = GetTickCount64() + kGuardWaitMs;
    // A fresh append-only open per line lets other processes' lines interleave whole and lets
    // anyone read, rename or delete the file meanwhile.
    const UniqueHandle handle = openLog(security.get(), deadline);
    if (!handle) {
        return;
    }

    const LogGuard guard(handle.get(), deadline);
    // Stamped under the guard, so that the file stays in time order.
    std::wstring line = timeStamp();
    line += L" [pid=";
    line += std::to_wstring(GetCurrentProcessId());
    line += L"] ";
    line += singleLine(message);
    line += L"\r\n";
    const std::string bytes = wideToUtf8(line);

    // One write per line; only a line beyond 4 GiB needs more than one. A line that cannot
    // be written is dropped: logging never stops the work.
    DWORD error = ERROR_SUCCESS;
    writeFully(handle.get(), bytesOf(bytes), error, MAXDWORD);
}

} // namespace

void logMessage(const std::wstring& message) noexcept {
    try {
        appendLine(message);
    } catch (...) {
        // Logging must never disturb the work.
    }
}

void releaseLogFolder() noexcept {
    heldLogFolder() = HeldLogFolder{};
}

std::filesystem::path getLocalAppDataPath() {
    // Paths built on the base are handed to schtasks.exe, which runs in the system folder: a
    // relative base (a relative LOCALAPPDATA, or ".") is made absolute against ours.
    const auto absoluteBase = [](const std::wstring& base) {
        std::error_code error;
        std::filesystem::path full = std::filesystem::absolute(base, error);
        return error ? std::filesystem::path(base) : full;
    };
    const DWORD needed = GetEnvironmentVariableW(L"LOCALAPPDATA", nullptr, 0);
    if (needed != 0) {
        std::vector<wchar_t> value(needed, L'\0');
        const DWORD length = GetEnvironmentVariableW(L"LOCALAPPDATA", value.data(), needed);
        if (length > 0 && length < needed) {
            return absoluteBase(std::wstring(value.data(), length));
        }
    }
    std::vector<wchar_t> temp(MAX_PATH + 1, L'\0');
    const DWORD tempLength = GetTempPathW(MAX_PATH, temp.data());
    if (tempLength >= 1 && tempLength < MAX_PATH) {
        return absoluteBase(std::wstring(temp.data(), tempLength));
    }
    return absoluteBase(L".");
}

} // namespace qsh
