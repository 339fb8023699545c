#include "base/final_path.h"

#include <iterator>
#include <vector>

namespace qsh {
namespace {

constexpr wchar_t kUncPrefix[] = L"\\\\?\\UNC\\";
constexpr wchar_t kLocalPrefix[] = L"\\\\?\\";

// A file renamed over and over while we look is not worth chasing for ever.
constexpr int kNameAttempts = 3;
// Far above any path the system can report; keeps size + 1 from wrapping.
constexpr DWORD kMaxFinalPathUnits = 1u << 20;

// A zero result without an error code: report something rather than "No error".
DWORD errorOr(DWORD error, DWORD fallback) {
    return error != ERROR_SUCCESS ? error : fallback;
}

} // namespace

std::wstring stripFinalPathPrefix(const std::wstring& finalPath) {
    const std::wstring_view path(finalPath);
    if (path.starts_with(kUncPrefix)) {
        return L"\\\\" + std::wstring(path.substr(std::size(kUncPrefix) - 1));
    }
    if (path.starts_with(kLocalPrefix)) {
        return std::wstring(path.substr(std::size(kLocalPrefix) - 1));
    }
    return finalPath;
}

bool queryFinalPath(const FinalPathQuery& query, std::wstring& finalPath, DWORD& error) {
    SetLastError(ERROR_SUCCESS);
    DWORD size = query(nullptr, 0);
    if (size == 0) {
        error = errorOr(GetLastError(), ERROR_GEN_FAILURE);
        return false;
    }
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        if (size >= kMaxFinalPathUnits) {
            error = ERROR_FILENAME_EXCED_RANGE;
            return false;
        }
        std::vector<wchar_t> buffer(size + 1, L'\0');
        const DWORD capacity = size + 1;
        // Cleared so that a stale code is not mistaken for this call's failure.
        SetLastError(ERROR_SUCCESS);
        const DWORD written = query(buffer.data(), capacity);
        if (written != 0 && written < capacity) {
            finalPath.assign(buffer.data(), written);
            return true;
        }
        const DWORD lastError = GetLastError();
        if (lastError != ERROR_SUCCESS) {
            error = lastError;
            return false;
        }
        // The name changed between the queries: size the next buffer from what is
        // reported now, never from what this buffer might hold.
        if (written != 0) {
            size = written;
            continue;
        }
        size = query(nullptr, 0);
        if (size == 0) {
            error = errorOr(GetLastError(), ERROR_GEN_FAILURE);
            return false;
        }
    }
    error = ERROR_INSUFFICIENT_BUFFER;
    return false;
}

bool finalPathOfHandle(HANDLE handle, std::wstring& finalPath, DWORD& error) {
    std::wstring reported;
    const bool found = queryFinalPath(
        [handle](wchar_t* buffer, DWORD size) {
            return GetFinalPathNameByHandleW(handle, buffer, size,
                                             FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        },
        reported, error);
    if (found) {
        finalPath = stripFinalPathPrefix(reported);
    }
    return found;
}

} // namespace qsh
