#pragma once

// Bytes of a text in the encodings the helper reads and writes, and back; shared by the
// tests and the stand-ins so that each is written once.

#include <windows.h>

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

namespace qsh::testing {

inline std::string utf16(const std::wstring& text, bool bigEndian, bool bom) {
    std::string bytes;
    for (wchar_t unit : (bom ? L"\uFEFF" : L"") + text) {
        bytes.push_back(static_cast<char>(bigEndian ? unit >> 8 : unit));
        bytes.push_back(static_cast<char>(bigEndian ? unit : unit >> 8));
    }
    return bytes;
}

inline std::string utf16le(const std::wstring& text, bool bom = true) {
    return utf16(text, false, bom);
}

inline std::string utf16be(const std::wstring& text, bool bom = true) {
    return utf16(text, true, bom);
}

inline std::string codePage(const std::wstring& text, UINT page) {
    const int size = static_cast<int>(text.size());
    std::string bytes(
        size ? WideCharToMultiByte(page, 0, text.data(), size, nullptr, 0, nullptr, nullptr) : 0,
        '\0');
    if (!bytes.empty()) {
        WideCharToMultiByte(page, 0, text.data(), size, bytes.data(),
                            static_cast<int>(bytes.size()), nullptr, nullptr);
    }
    return bytes;
}

inline std::string toUtf8(const std::wstring& text) {
    return codePage(text, CP_UTF8);
}

inline std::wstring fromUtf8(const std::string& text) {
    const int size = static_cast<int>(text.size());
    std::wstring out(size ? MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0) : 0,
                     L'\0');
    if (!out.empty()) {
        MultiByteToWideChar(CP_UTF8, 0, text.data(), size, out.data(),
                            static_cast<int>(out.size()));
    }
    return out;
}

// Text of UTF-16 bytes that start with a byte order mark, either order; nullopt otherwise.
// An odd last byte is dropped.
inline std::optional<std::wstring> fromUtf16(std::string_view bytes) {
    const bool little = bytes.starts_with("\xFF\xFE");
    if (!little && !bytes.starts_with("\xFE\xFF")) {
        return std::nullopt;
    }
    std::wstring text;
    text.reserve(bytes.size() / 2);
    for (std::size_t i = 3; i < bytes.size(); i += 2) {
        const unsigned first = static_cast<unsigned char>(bytes[i - 1]);
        const unsigned second = static_cast<unsigned char>(bytes[i]);
        text.push_back(
            static_cast<wchar_t>(little ? first | (second << 8) : (first << 8) | second));
    }
    return text;
}

// Text with XML's special characters as entities; `apostrophe` escapes ' as well.
inline std::wstring xmlEscaped(const std::wstring& text, bool apostrophe) {
    std::wstring out;
    for (wchar_t c : text) {
        const wchar_t* entity = c == L'&'                  ? L"&amp;"
                                : c == L'<'                ? L"&lt;"
                                : c == L'>'                ? L"&gt;"
                                : c == L'"'                ? L"&quot;"
                                : c == L'\'' && apostrophe ? L"&apos;"
                                                           : nullptr;
        if (entity != nullptr) {
            out += entity;
        } else {
            out.push_back(c);
        }
    }
    return out;
}

// Bytes of any byte container as a string, to compare with a literal.
template <class Bytes> std::string bytesText(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

// What the schtasks stand-in writes for a flood: lines "00000000\n", "00000001\n", ... cut
// at `size` bytes, so that both order and loss show.
inline std::string floodText(std::size_t size) {
    std::string text;
    char line[16];
    for (unsigned n = 0; text.size() < size; ++n) {
        std::snprintf(line, sizeof line, "%08u\n", n);
        text += line;
    }
    text.resize(size);
    return text;
}

} // namespace qsh::testing
