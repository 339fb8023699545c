#pragma once

#include <string>

namespace qsh {

int handleCreateXml(const std::wstring& inputPath);

} // namespace qsh
