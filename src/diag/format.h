#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qsh {

using Bytes = std::vector<std::uint8_t>;

std::wstring formatWindowsError(std::uint32_t code);
std::wstring formatHresult(std::int32_t hr);
std::wstring hexPrefix(const Bytes& bytes, std::size_t count = 24);
std::wstring previewText(const std::wstring& text, std::uint64_t maxUnits);

} // namespace qsh
