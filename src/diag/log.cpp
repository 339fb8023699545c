#include "diag/log.h"

#include <windows.h>

#include <cwchar>
#include <system_error>
#include <vector>

#include "diag/unique_handle.h"
#include "text/utf8.h"

namespace qsh {

namespace {

// Appends are whole-line atomic on a local NTFS volume, but not on every file system the
// log may sit on (network shares, Wine's emulation), where two processes can both write at
// the same end offset and one line is lost. Every helper process therefore takes this
// session-wide mutex around its open/write/close. The wait is bounded and a mutex that
// cannot be had (another user's, access denied) only means writing without it: logging
// never blocks the work for long and never fails because of the lock.
constexpr wchar_t kLogMutexName[] = L"Local\\QuillfenSchedulerHelper.log";
constexpr DWORD kLogMutexWaitMs = 2000;

class LogLock {
  public:
    LogLock() : mutex_(CreateMutexW(nullptr, FALSE, kLogMutexName)) {
        if (mutex_) {
            const DWORD wait = WaitForSingleObject(mutex_.get(), kLogMutexWaitMs);
            // An abandoned mutex is still ours: its holder died between open and close.
            owned_ = wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
        }
    }
    LogLock(const LogLock&) = delete;
    LogLock& operator=(const LogLock&) = delete;
    ~LogLock() {
        if (owned_) {
            ReleaseMutex(mutex_.get());
        }
    }

  private:
    UniqueHandle mutex_;
    bool owned_ = false;
};

void appendLine(const std::wstring& message) {
    const std::filesystem::path file =
        getLocalAppDataPath() / L"Quillfen" / L"logs" / L"scheduler-helper.log";
    std::error_code ignored;
    std::filesystem::create_directories(file.parent_path(), ignored);

    SYSTEMTIME now = {};
    GetLocalTime(&now);
    wchar_t stamp[64] = {};
    std::swprintf(stamp, 64, L"%04u-%02u-%02u %02u:%02u:%02u.%03u", unsigned{now.wYear},
                  unsigned{now.wMonth}, unsigned{now.wDay}, unsigned{now.wHour},
                  unsigned{now.wMinute}, unsigned{now.wSecond}, unsigned{now.wMilliseconds});
    std::wstring line = stamp;
    line += L" [pid=";
    line += std::to_wstring(GetCurrentProcessId());
    line += L"] ";
    line += message;
    line += L"\r\n";
    const std::string bytes = wideToUtf8(line);

    // A fresh append-only open per line lets other processes' lines interleave whole and lets
    // anyone read, rename or delete the file meanwhile.
    const LogLock lock;
    UniqueHandle handle(CreateFileW(file.c_str(), FILE_APPEND_DATA,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!handle) {
        return;
    }
    // One write per line; only a line beyond 4 GiB needs more than one.
    const char* data = bytes.data();
    std::size_t remaining = bytes.size();
    while (remaining > 0) {
        const DWORD piece = remaining > MAXDWORD ? MAXDWORD : static_cast<DWORD>(remaining);
        DWORD written = 0;
        if (!WriteFile(handle.get(), data, piece, &written, nullptr) || written == 0) {
            break;
        }
        data += written;
        remaining -= written;
    }
}

} // namespace

void logMessage(const std::wstring& message) noexcept {
    try {
        appendLine(message);
    } catch (...) {
        // Logging must never disturb the work.
    }
}

std::filesystem::path getLocalAppDataPath() {
    const DWORD needed = GetEnvironmentVariableW(L"LOCALAPPDATA", nullptr, 0);
    if (needed != 0) {
        std::vector<wchar_t> value(needed, L'\0');
        const DWORD length = GetEnvironmentVariableW(L"LOCALAPPDATA", value.data(), needed);
        if (length > 0 && length < needed) {
            return std::filesystem::path(std::wstring(value.data(), length));
        }
    }
    std::vector<wchar_t> temp(MAX_PATH + 1, L'\0');
    const DWORD tempLength = GetTempPathW(MAX_PATH, temp.data());
    if (tempLength >= 1 && tempLength < MAX_PATH) {
        return std::filesystem::path(std::wstring(temp.data(), tempLength));
    }
    return std::filesystem::path(L".");
}

} // namespace qsh
