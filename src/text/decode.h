#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/bytes.h"

namespace qsh {

struct DecodedText {
    std::wstring text;
    std::wstring encoding;
};

DecodedText decodeBytes(const Bytes& bytes);
std::wstring decodeUtf16Le(const Bytes& bytes, std::uint64_t offset);
std::wstring decodeUtf16Be(const Bytes& bytes, std::uint64_t offset);
std::wstring decodeMultiByte(const Bytes& bytes, std::uint64_t offset, std::uint32_t codePage,
                             std::uint32_t flags);
void trimTrailingNuls(std::wstring& text);

// The converter takes 32-bit counts: longer buffers go through it in pieces of at most
// `maxPieceBytes`, cut between characters (UTF-8, single-byte and double-byte code pages; other
// code pages cannot be cut safely and give empty text). Exposed so that tests can use small
// pieces.
std::wstring decodeMultiByteInPieces(const Bytes& bytes, std::uint64_t offset,
                                     std::uint32_t codePage, std::uint32_t flags,
                                     std::size_t maxPieceBytes);

} // namespace qsh
