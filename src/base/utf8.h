#pragma once

#include <cstddef>
#include <cwctype>
#include <string>

#include "base/bytes.h"

namespace qsh {

std::string wideToUtf8(const std::wstring& text);
Bytes encodeUtf8(const std::wstring& text);
std::wstring lowerCopy(std::wstring text);

// The folding lowerCopy applies to each unit. In the C locale towlower changes no ASCII unit but
// A to Z, so those are folded here without a call into the C runtime; searches that fold as
// they go use this too, so they find what a search of lowerCopy's result would.
inline wchar_t lowerUnit(wchar_t unit) {
    if (unit < 0x80) {
        return unit >= L'A' && unit <= L'Z' ? static_cast<wchar_t>(unit + (L'a' - L'A')) : unit;
    }
    return static_cast<wchar_t>(std::towlower(static_cast<std::wint_t>(unit)));
}

// The converter takes 32-bit counts: longer texts go through it in pieces of at most
// `maxPieceUnits`, never splitting a surrogate pair. Exposed so that tests can use small pieces.
std::string wideToUtf8InPieces(const std::wstring& text, std::size_t maxPieceUnits);

} // namespace qsh
