#pragma once

#include <cstdint>
#include <string>

#include "diag/format.h"

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

} // namespace qsh
