#pragma once

#include <filesystem>
#include <string>

namespace qsh {

// Removes "\\?\UNC\" (giving "\\") or "\\?\" from the start of a final path.
std::wstring stripFinalPathPrefix(const std::wstring& finalPath);

bool resolvePhysicalPath(const std::filesystem::path& path, std::filesystem::path& physical,
                         std::wstring& errorText);

} // namespace qsh
