#include "text/decode.h"

namespace qsh {

DecodedText decodeBytes(const Bytes&) { return {L"", L"empty"}; }
std::wstring decodeUtf16Le(const Bytes&, std::uint64_t) { return {}; }
std::wstring decodeUtf16Be(const Bytes&, std::uint64_t) { return {}; }
std::wstring decodeMultiByte(const Bytes&, std::uint64_t, std::uint32_t, std::uint32_t) { return {}; }
void trimTrailingNuls(std::wstring&) {}

} // namespace qsh
