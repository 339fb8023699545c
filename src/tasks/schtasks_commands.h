#pragma once

#include <string>

namespace qsh {

int runCreateDefault();
int runDelete();
// `handed`: started with the relaunch marker, so the output may only be a file staged for it.
int runQueryToFile(const std::wstring& outputPath, bool handed = false);

} // namespace qsh
