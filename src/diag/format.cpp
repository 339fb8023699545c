#include "diag/format.h"

namespace qsh {

std::wstring formatWindowsError(std::uint32_t) { return {}; }
std::wstring formatHresult(std::int32_t) { return {}; }
std::wstring hexPrefix(const Bytes&, std::size_t) { return {}; }
std::wstring previewText(const std::wstring&, std::uint64_t) { return {}; }

} // namespace qsh
