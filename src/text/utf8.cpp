#include "text/utf8.h"

namespace qsh {

std::string wideToUtf8(const std::wstring&) { return {}; }
Bytes encodeUtf8(const std::wstring&) { return {}; }
std::wstring lowerCopy(std::wstring text) { return text; }

} // namespace qsh
