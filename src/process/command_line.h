#pragma once

#include <string>
#include <vector>

namespace qsh {

// Quotes each argument so that CommandLineToArgvW gives the same list back.
std::wstring joinCommandLine(const std::vector<std::wstring>& args);

} // namespace qsh
