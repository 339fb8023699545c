#pragma once

#include <string>

#include "diag/format.h"

namespace qsh {

std::string wideToUtf8(const std::wstring& text);
Bytes encodeUtf8(const std::wstring& text);
std::wstring lowerCopy(std::wstring text);

} // namespace qsh
