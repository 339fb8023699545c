#include "base/utf8.h"

#include <windows.h>

#include <climits>

namespace qsh {

namespace {

bool isHighSurrogate(wchar_t unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}
bool isLowSurrogate(wchar_t unit) {
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

// End of the piece that starts at `start`: at most `maxUnits` long, and not between the two
// halves of a pair, so that the pieces convert exactly as the whole text would.
std::size_t pieceEnd(const std::wstring& text, std::size_t start, std::size_t maxUnits) {
    if (text.size() - start <= maxUnits) {
        return text.size();
    }
    std::size_t end = start + maxUnits;
    if (end - start > 1 && isHighSurrogate(text[end - 1]) && isLowSurrogate(text[end])) {
        --end;
    }
    return end;
}

} // namespace

std::string wideToUtf8InPieces(const std::wstring& text, std::size_t maxPieceUnits) {
    if (text.empty()) {
        return {};
    }
    if (maxPieceUnits == 0 || maxPieceUnits > INT_MAX) {
        maxPieceUnits = INT_MAX;
    }
    // Measure every piece first so that the result is allocated once.
    std::size_t total = 0;
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = pieceEnd(text, start, maxPieceUnits);
        const int needed =
            WideCharToMultiByte(CP_UTF8, 0, text.data() + start, static_cast<int>(end - start),
                                nullptr, 0, nullptr, nullptr);
        if (needed <= 0) {
            return {};
        }
        total += static_cast<std::size_t>(needed);
        start = end;
    }
    std::string result(total, '\0');
    std::size_t written = 0;
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = pieceEnd(text, start, maxPieceUnits);
        const std::size_t room = total - written;
        const int converted = WideCharToMultiByte(
            CP_UTF8, 0, text.data() + start, static_cast<int>(end - start), result.data() + written,
            room > INT_MAX ? INT_MAX : static_cast<int>(room), nullptr, nullptr);
        if (converted <= 0) {
            return {};
        }
        written += static_cast<std::size_t>(converted);
        start = end;
    }
    result.resize(written);
    return result;
}

std::string wideToUtf8(const std::wstring& text) {
    return wideToUtf8InPieces(text, INT_MAX);
}

Bytes encodeUtf8(const std::wstring& text) {
    const std::string narrow = wideToUtf8(text);
    return Bytes(narrow.begin(), narrow.end());
}

std::wstring lowerCopy(std::wstring text) {
    for (wchar_t& unit : text) {
        unit = lowerUnit(unit);
    }
    return text;
}

} // namespace qsh
