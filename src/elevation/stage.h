#pragma once

#include <string>
#include <vector>

namespace qsh {

int stageAndElevate(const std::vector<std::wstring>& list);

} // namespace qsh
