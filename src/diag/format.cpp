#include "diag/format.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>

namespace qsh {

std::wstring hexPrefix(const Bytes& bytes, std::size_t count) {
    static constexpr wchar_t kDigits[] = L"0123456789ABCDEF";
    const std::size_t shown = bytes.size() < count ? bytes.size() : count;
    std::wstring text;
    text.reserve(shown * 3);
    for (std::size_t i = 0; i < shown; ++i) {
        if (i != 0) {
            text.push_back(L' ');
        }
        text.push_back(kDigits[bytes[i] >> 4]);
        text.push_back(kDigits[bytes[i] & 0x0F]);
    }
    return text;
}

std::wstring previewText(const std::wstring& text, std::uint64_t maxUnits) {
    const std::size_t length =
        text.size() < maxUnits ? text.size() : static_cast<std::size_t>(maxUnits);
    std::wstring preview = text.substr(0, length);
    for (wchar_t& unit : preview) {
        if (unit == L'\t' || unit == L'\n' || unit == L'\r') {
            unit = L' ';
        }
    }
    return preview;
}

namespace {

// Units that end or break a line: C0 but tab, DEL, NEL, LS, PS.
bool breaksLine(wchar_t unit) {
    return (unit < L' ' && unit != L'\t') || unit == 0x7F || unit == 0x85 || unit == 0x2028 ||
           unit == 0x2029;
}

// Units that make a line show something else than it holds: the C1 controls, and the
// bidirectional embeddings, overrides and isolates, which reorder what follows them.
bool disguisesLine(wchar_t unit) {
    return (unit >= 0x80 && unit <= 0x9F) || (unit >= 0x202A && unit <= 0x202E) ||
           (unit >= 0x2066 && unit <= 0x2069);
}

} // namespace

std::wstring singleLine(std::wstring text) {
    std::replace_if(
        text.begin(), text.end(),
        [](wchar_t unit) { return breaksLine(unit) || disguisesLine(unit); }, L'?');
    return text;
}

} // namespace qsh
