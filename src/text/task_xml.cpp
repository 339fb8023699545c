#include "text/task_xml.h"

#include <windows.h>

#include <cwctype>
#include <system_error>

#include "process/unique_handle.h"
#include "text/utf8.h"

namespace qsh {

namespace {

constexpr std::size_t kWritePieceBytes = 1048576;
constexpr auto npos = std::wstring::npos;

bool isLeadingNoise(wchar_t unit) {
    return unit == L'\0' || unit == 0xFEFF || std::iswspace(static_cast<std::wint_t>(unit)) != 0;
}

} // namespace

bool looksLikeTaskXml(const std::wstring& text) {
    const std::wstring lower = lowerCopy(text);
    return lower.find(L"<task") != npos && lower.find(L"</task>") != npos;
}

void stripLeadingBomAndNoise(std::wstring& text) {
    std::size_t skipped = 0;
    while (skipped < text.size() && (text[skipped] == L'\0' || text[skipped] == 0xFEFF)) {
        ++skipped;
    }
    text.erase(0, skipped);

    const std::size_t declaration = text.find(L"<?xml");
    const std::size_t task = text.find(L"<Task");
    const std::size_t markup = declaration < task ? declaration : task;
    if (markup == npos || markup == 0) {
        return;
    }
    for (std::size_t i = 0; i < markup; ++i) {
        if (!isLeadingNoise(text[i])) {
            return;
        }
    }
    text.erase(0, markup);
}

std::wstring setXmlEncodingDeclaration(std::wstring xml, const std::wstring& encodingName) {
    stripLeadingBomAndNoise(xml);
    // Lower-casing maps unit to unit, so positions in the copy are positions in `xml`.
    const std::wstring lower = lowerCopy(xml);

    const std::size_t open = lower.find(L"<?xml");
    if (open == npos) {
        return L"<?xml version=\"1.0\" encoding=\"" + encodingName + L"\"?>\r\n" + xml;
    }
    const std::size_t close = lower.find(L"?>", open);
    if (close == npos) {
        return xml;
    }
    const std::size_t attribute = lower.find(L"encoding", open);
    if (attribute == npos || attribute > close) {
        xml.insert(close, L" encoding=\"" + encodingName + L"\"");
        return xml;
    }
    const std::size_t equals = lower.find(L'=', attribute);
    if (equals == npos || equals > close) {
        return xml;
    }
    const std::size_t valueStart = lower.find_first_of(L"\"'", equals + 1);
    if (valueStart == npos || valueStart > close) {
        return xml;
    }
    const std::size_t valueEnd = xml.find(xml[valueStart], valueStart + 1);
    if (valueEnd == npos || valueEnd > close) {
        return xml;
    }
    xml.replace(valueStart + 1, valueEnd - valueStart - 1, encodingName);
    return xml;
}

bool writeFileBytes(const std::filesystem::path& path, const Bytes& bytes, std::wstring& error) {
    const std::filesystem::path parent = path.parent_path();
    if (!parent.empty()) {
        std::error_code ec;
        std::filesystem::create_directories(parent, ec);
        if (ec) {
            error = L"Unable to create parent directory; error=" + std::to_wstring(ec.value());
            return false;
        }
    }

    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        error = formatWindowsError(GetLastError());
        return false;
    }

    std::size_t offset = 0;
    while (offset < bytes.size()) {
        const std::size_t remaining = bytes.size() - offset;
        const auto piece =
            static_cast<DWORD>(remaining < kWritePieceBytes ? remaining : kWritePieceBytes);
        DWORD written = 0;
        if (!WriteFile(file.get(), bytes.data() + offset, piece, &written, nullptr)) {
            error = formatWindowsError(GetLastError());
            return false;
        }
        if (written == 0) {
            error = L"WriteFile completed without writing data";
            return false;
        }
        offset += written;
    }
    // Data that cannot reach the disk (for example a full network volume with write-behind)
    // is only reported here; success would otherwise be claimed for a lost file. Devices such
    // as NUL refuse to flush and have nothing to lose.
    if (!FlushFileBuffers(file.get())) {
        const DWORD flushError = GetLastError();
        if (GetFileType(file.get()) == FILE_TYPE_DISK) {
            error = formatWindowsError(flushError);
            return false;
        }
    }
    return true;
}

} // namespace qsh
