#include "base/file_io.h"

#include <algorithm>
#include <system_error>

#include "base/unique_resource.h"
#include "base/windows_error.h"

namespace qsh {

bool readFully(HANDLE file, std::span<std::uint8_t> buffer, std::size_t& got, DWORD& error) {
    got = 0;
    while (got < buffer.size()) {
        const auto wanted = static_cast<DWORD>(std::min(buffer.size() - got, kIoPieceBytes));
        DWORD read = 0;
        if (!ReadFile(file, buffer.data() + got, wanted, &read, nullptr)) {
            error = GetLastError();
            return false;
        }
        if (read == 0) {
            break;
        }
        got += read;
    }
    return true;
}

bool writeFully(HANDLE file, std::span<const std::uint8_t> data, DWORD& error,
                std::size_t maxPiece) {
    const std::size_t piece = std::min<std::size_t>(maxPiece, MAXDWORD);
    while (!data.empty()) {
        const auto wanted = static_cast<DWORD>(std::min(data.size(), piece));
        DWORD written = 0;
        if (!WriteFile(file, data.data(), wanted, &written, nullptr)) {
            error = GetLastError();
            return false;
        }
        if (written == 0) {
            error = ERROR_SUCCESS;
            return false;
        }
        data = data.subspan(written);
    }
    return true;
}

std::wstring folderCreationError(long long code) {
    return L"Unable to create parent directory; error=" + std::to_wstring(code);
}

bool createFolders(const std::filesystem::path& folder, std::wstring& error,
                   std::vector<std::filesystem::path>* made) {
    // The missing folders, deepest first. Each is made on its own, so that one another program
    // made meanwhile is not counted as ours.
    std::vector<std::filesystem::path> missing;
    std::error_code failed;
    for (std::filesystem::path at = folder; !at.empty(); at = at.parent_path()) {
        const std::filesystem::file_status status = std::filesystem::status(at, failed);
        if (std::filesystem::is_directory(status)) {
            break;
        }
        if (std::filesystem::exists(status)) {
            error = folderCreationError(std::make_error_code(std::errc::not_a_directory).value());
            return false;
        }
        missing.push_back(at);
        if (at.parent_path() == at) {
            break;
        }
    }
    for (auto at = missing.rbegin(); at != missing.rend(); ++at) {
        const bool created = std::filesystem::create_directory(*at, failed);
        if (failed) {
            error = folderCreationError(failed.value());
            return false;
        }
        if (created && made != nullptr) {
            made->insert(made->begin(), *at);
        }
    }
    return true;
}

bool writeOpenFile(HANDLE file, std::initializer_list<std::span<const std::uint8_t>> parts,
                   std::wstring& error) {
    // Opened without truncating so that it could be checked first; only now is it emptied.
    // Devices have nothing to empty.
    LARGE_INTEGER start{};
    if (GetFileType(file) == FILE_TYPE_DISK &&
        (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN) || !SetEndOfFile(file))) {
        error = formatWindowsError(GetLastError());
        return false;
    }

    for (const std::span<const std::uint8_t> part : parts) {
        DWORD writeError = ERROR_SUCCESS;
        if (!writeFully(file, part, writeError)) {
            error = writeError != ERROR_SUCCESS ? formatWindowsError(writeError)
                                                : L"WriteFile completed without writing data";
            return false;
        }
    }
    // Data that cannot reach the disk (for example a full network volume with write-behind)
    // is only reported here; success would otherwise be claimed for a lost file. Devices such
    // as NUL refuse to flush and have nothing to lose.
    if (!FlushFileBuffers(file)) {
        const DWORD flushError = GetLastError();
        if (GetFileType(file) == FILE_TYPE_DISK) {
            error = formatWindowsError(flushError);
            return false;
        }
    }
    return true;
}

} // namespace qsh
