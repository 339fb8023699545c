#include "base/file_io.h"

#include <algorithm>

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

} // namespace qsh
