#pragma once

#include <cstddef>
#include <string>

#include "diag/format.h"

namespace qsh {

std::string wideToUtf8(const std::wstring& text);
Bytes encodeUtf8(const std::wstring& text);
std::wstring lowerCopy(std::wstring text);

// The converter takes 32-bit counts: longer texts go through it in pieces of at most
// `maxPieceUnits`, never splitting a surrogate pair. Exposed so that tests can use small pieces.
std::string wideToUtf8InPieces(const std::wstring& text, std::size_t maxPieceUnits);

} // namespace qsh
