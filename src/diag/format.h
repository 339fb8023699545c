#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/bytes.h"

namespace qsh {

std::wstring hexPrefix(const Bytes& bytes, std::size_t count = 24);
std::wstring previewText(const std::wstring& text, std::uint64_t maxUnits);
// The text with every unit that could end or break a line (C0 controls but tab, DEL, C1, LS,
// PS) or make it read as something else than it holds (the bidirectional controls) written as
// "?": one text stays one line, as written, whatever a caller put into it.
std::wstring singleLine(std::wstring text);

} // namespace qsh
