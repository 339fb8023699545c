#pragma once

#include <string>

namespace qsh {

// `handed`: the input path was handed over by the non-elevated helper that relaunched this one.
int handleCreateXml(const std::wstring& inputPath, bool handed = false);

} // namespace qsh
