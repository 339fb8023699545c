#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/bytes.h"

namespace qsh {

std::wstring hexPrefix(const Bytes& bytes, std::size_t count = 24);
std::wstring previewText(const std::wstring& text, std::uint64_t maxUnits);
// The text with every unit that could end or break a line (C0 controls but tab, DEL, NEL, LS,
// PS) written as "?": one text stays one line whatever a caller put into it.
std::wstring withoutLineBreaks(std::wstring text);
// The same for a log message, which also must read as it is written: the C1 controls and the
// bidirectional controls become "?" too.
std::wstring singleLine(std::wstring text);

} // namespace qsh
