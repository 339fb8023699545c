#include "diag/log.h"

namespace qsh {

void logMessage(const std::wstring&) noexcept {}
std::filesystem::path getLocalAppDataPath() { return L"."; }

} // namespace qsh
