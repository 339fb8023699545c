#pragma once

#include <windows.h>

#include <filesystem>
#include <string>

#include "base/final_path.h"

namespace qsh {

// The final path of an existing file as the file system reports it, prefix removed.
// On failure only errorText is written; on success only physical.
bool resolvePhysicalPath(const std::filesystem::path& path, std::filesystem::path& physical,
                         std::wstring& errorText);

} // namespace qsh
