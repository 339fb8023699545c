#include "elevation/physical_path.h"

#include "base/unique_resource.h"
#include "base/windows_error.h"

namespace qsh {
bool resolvePhysicalPath(const std::filesystem::path& path, std::filesystem::path& physical,
                         std::wstring& errorText) {
    // No backup semantics: folders must fail to open.
    HANDLE opened = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (opened == INVALID_HANDLE_VALUE) {
        errorText = formatWindowsError(GetLastError());
        return false;
    }
    UniqueHandle file(opened);

    std::wstring finalPath;
    DWORD error = ERROR_SUCCESS;
    const bool found = finalPathOfHandle(file.get(), finalPath, error);
    file.reset();
    if (!found) {
        errorText = formatWindowsError(error);
        return false;
    }
    physical = std::filesystem::path(finalPath);
    return true;
}

} // namespace qsh
