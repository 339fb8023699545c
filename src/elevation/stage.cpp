#include "elevation/stage.h"

namespace qsh {

int stageAndElevate(const std::vector<std::wstring>&) { return 7; }

} // namespace qsh
