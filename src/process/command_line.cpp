#include "process/command_line.h"

namespace qsh {

std::wstring joinCommandLine(const std::vector<std::wstring>&) { return {}; }

} // namespace qsh
