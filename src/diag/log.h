#pragma once

#include <filesystem>
#include <string>

namespace qsh {

// Appends one time-stamped line to the shared log; never fails, never throws.
void logMessage(const std::wstring& message) noexcept;

// LOCALAPPDATA, else the temporary folder, else ".".
std::filesystem::path getLocalAppDataPath();

} // namespace qsh
