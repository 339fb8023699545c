// Floor for the create-xml benchmark: the least work an import of the same file needs. Reads
// the whole file, converts it to UTF-16 (MultiByteToWideChar for UTF-8, a byte swap for
// UTF-16 BE, which that function does not take) and writes it as UTF-16 LE with a mark.
//
//   import_floor <utf8|utf16be> <input> <output>

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "base/unique_resource.h"

namespace {

bool readAll(const wchar_t* path, std::vector<char>& bytes) {
    qsh::UniqueHandle file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size{};
    if (!file || !GetFileSizeEx(file.get(), &size)) {
        return false;
    }
    bytes.resize(static_cast<std::size_t>(size.QuadPart));
    std::size_t done = 0;
    while (done < bytes.size()) {
        DWORD piece = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1 << 20));
        DWORD got = 0;
        if (!ReadFile(file.get(), bytes.data() + done, piece, &got, nullptr) || got == 0) {
            return false;
        }
        done += got;
    }
    return true;
}

bool writeAll(const wchar_t* path, const std::wstring& text) {
    qsh::UniqueHandle file(CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return false;
    }
    const char* data = reinterpret_cast<const char*>(text.data());
    std::size_t size = text.size() * sizeof(wchar_t);
    std::size_t done = 0;
    while (done < size) {
        DWORD piece = static_cast<DWORD>(std::min<std::size_t>(size - done, 1 << 20));
        DWORD written = 0;
        if (!WriteFile(file.get(), data + done, piece, &written, nullptr) || written == 0) {
            return false;
        }
        done += written;
    }
    return true;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: import_floor <utf8|utf16be> <input> <output>\n");
        return 2;
    }
    std::vector<char> bytes;
    if (!readAll(argv[2], bytes)) {
        return 1;
    }
    std::wstring text(1, L'\xFEFF');
    if (std::wcscmp(argv[1], L"utf16be") == 0) {
        text.reserve(bytes.size() / 2 + 1);
        bool marked = bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFE &&
                      static_cast<unsigned char>(bytes[1]) == 0xFF;
        for (std::size_t i = marked ? 3 : 1; i < bytes.size(); i += 2) {
            text.push_back(static_cast<wchar_t>((static_cast<unsigned char>(bytes[i - 1]) << 8) |
                                                static_cast<unsigned char>(bytes[i])));
        }
    } else {
        int size = static_cast<int>(bytes.size());
        int units = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), size, nullptr, 0);
        text.resize(1 + static_cast<std::size_t>(units));
        MultiByteToWideChar(CP_UTF8, 0, bytes.data(), size, text.data() + 1, units);
    }
    std::vector<char>().swap(bytes);
    return writeAll(argv[3], text) ? 0 : 1;
}
