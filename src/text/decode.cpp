#include "text/decode.h"

#include <windows.h>

#include <climits>

namespace qsh {

namespace {

constexpr std::size_t kHeuristicWindow = 256;
// Capacity beyond the decoded text, so that the declaration rewrite that follows a decode
// (at most a new declaration in front) edits a large document in place instead of copying it.
constexpr std::size_t kEditRoomUnits = 64;

bool isUtf8Continuation(std::uint8_t byte) {
    return (byte & 0xC0) == 0x80;
}

// End of the piece that starts at `start`, cut so that no character is split between two
// pieces; 0 when this code page cannot be cut safely.
std::size_t pieceEnd(const Bytes& bytes, std::size_t start, std::uint32_t codePage,
                     std::size_t maxPiece) {
    if (bytes.size() - start <= maxPiece) {
        return bytes.size();
    }
    const std::size_t limit = start + maxPiece;
    if (codePage == CP_UTF8) {
        // A sequence has at most three continuation bytes; a longer run is ill-formed anyway.
        std::size_t end = limit;
        for (int step = 0; step < 3 && end > start + 1 && isUtf8Continuation(bytes[end]); ++step) {
            --end;
        }
        return end;
    }
    CPINFO info = {};
    if (!GetCPInfo(codePage, &info)) {
        return 0;
    }
    if (info.MaxCharSize == 1) {
        return limit;
    }
    if (info.MaxCharSize == 2) {
        // Lead bytes can only be told apart walking forward from a known character start.
        std::size_t at = start;
        while (at < limit) {
            at += IsDBCSLeadByteEx(codePage, bytes[at]) ? 2 : 1;
        }
        return at > limit && limit - 1 > start ? limit - 1 : limit;
    }
    return 0;
}

// Units are written into a sized string rather than appended one by one: the appends' checks
// cost more than the conversion on documents of tens of millions of units.
template <bool BigEndian> std::wstring decodeUtf16(const Bytes& bytes, std::uint64_t offset) {
    std::wstring text;
    if (offset >= bytes.size()) {
        return text;
    }
    const auto first = static_cast<std::size_t>(offset);
    const std::size_t units = (bytes.size() - first) / 2;
    text.reserve(units + kEditRoomUnits);
    text.resize(units);
    const std::uint8_t* in = bytes.data() + first;
    wchar_t* out = text.data();
    for (std::size_t i = 0; i < units; ++i, in += 2) {
        out[i] = static_cast<wchar_t>(BigEndian ? (in[0] << 8) | in[1] : in[0] | (in[1] << 8));
    }
    return text;
}

} // namespace

std::wstring decodeMultiByteInPieces(const Bytes& bytes, std::uint64_t offset,
                                     std::uint32_t codePage, std::uint32_t flags,
                                     std::size_t maxPieceBytes) {
    if (offset >= bytes.size()) {
        return {};
    }
    if (maxPieceBytes == 0 || maxPieceBytes > INT_MAX) {
        maxPieceBytes = INT_MAX;
    }
    const auto* data = reinterpret_cast<const char*>(bytes.data());
    const auto first = static_cast<std::size_t>(offset);

    // Measure every piece first: any failing piece fails the whole conversion, as one call
    // over the whole buffer would.
    std::size_t total = 0;
    for (std::size_t start = first; start < bytes.size();) {
        const std::size_t end = pieceEnd(bytes, start, codePage, maxPieceBytes);
        if (end <= start) {
            return {};
        }
        const int needed = MultiByteToWideChar(codePage, flags, data + start,
                                               static_cast<int>(end - start), nullptr, 0);
        if (needed <= 0) {
            return {};
        }
        total += static_cast<std::size_t>(needed);
        start = end;
    }
    std::wstring text;
    text.reserve(total + kEditRoomUnits);
    text.resize(total);
    std::size_t written = 0;
    for (std::size_t start = first; start < bytes.size();) {
        const std::size_t end = pieceEnd(bytes, start, codePage, maxPieceBytes);
        const std::size_t room = total - written;
        const int converted = MultiByteToWideChar(
            codePage, flags, data + start, static_cast<int>(end - start), text.data() + written,
            room > INT_MAX ? INT_MAX : static_cast<int>(room));
        if (converted <= 0) {
            return {};
        }
        written += static_cast<std::size_t>(converted);
        start = end;
    }
    text.resize(written);
    return text;
}

std::wstring decodeMultiByte(const Bytes& bytes, std::uint64_t offset, std::uint32_t codePage,
                             std::uint32_t flags) {
    return decodeMultiByteInPieces(bytes, offset, codePage, flags, INT_MAX);
}

std::wstring decodeUtf16Le(const Bytes& bytes, std::uint64_t offset) {
    return decodeUtf16<false>(bytes, offset);
}

std::wstring decodeUtf16Be(const Bytes& bytes, std::uint64_t offset) {
    return decodeUtf16<true>(bytes, offset);
}

void trimTrailingNuls(std::wstring& text) {
    while (!text.empty() && text.back() == L'\0') {
        text.pop_back();
    }
}

DecodedText decodeBytes(const Bytes& bytes) {
    auto finish = [](std::wstring text, std::wstring label) {
        trimTrailingNuls(text);
        return DecodedText{std::move(text), std::move(label)};
    };

    if (bytes.empty()) {
        return finish({}, L"empty");
    }
    if (bytes.size() > 2 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) {
        return finish(decodeMultiByte(bytes, 3, CP_UTF8, 0), L"UTF-8 BOM");
    }
    if (bytes.size() >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) {
        return finish(decodeUtf16Le(bytes, 2), L"UTF-16 LE BOM");
    }
    if (bytes.size() >= 2 && bytes[0] == 0xFE && bytes[1] == 0xFF) {
        return finish(decodeUtf16Be(bytes, 2), L"UTF-16 BE BOM");
    }

    const std::size_t window = bytes.size() < kHeuristicWindow ? bytes.size() : kHeuristicWindow;
    const std::size_t threshold = window / 8;
    std::size_t zeroOdd = 0;
    std::size_t zeroEven = 0;
    for (std::size_t i = 0; i < window; ++i) {
        if (bytes[i] == 0) {
            ++((i % 2 != 0) ? zeroOdd : zeroEven);
        }
    }
    if (zeroOdd > threshold && zeroOdd > 2 * zeroEven) {
        return finish(decodeUtf16Le(bytes, 0), L"UTF-16 LE heuristic");
    }
    if (zeroEven > threshold && zeroEven > 2 * zeroOdd) {
        return finish(decodeUtf16Be(bytes, 0), L"UTF-16 BE heuristic");
    }

    // Strict conversion succeeds exactly when the whole buffer is well-formed UTF-8.
    std::wstring strict = decodeMultiByte(bytes, 0, CP_UTF8, MB_ERR_INVALID_CHARS);
    if (!strict.empty()) {
        return finish(std::move(strict), L"UTF-8/ASCII");
    }

    const UINT oemCodePage = GetOEMCP();
    return finish(decodeMultiByte(bytes, 0, oemCodePage, 0),
                  L"Windows code page " + std::to_wstring(oemCodePage));
}

} // namespace qsh
