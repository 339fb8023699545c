#pragma once

#include <filesystem>
#include <string>

namespace qsh {

// Appends one time-stamped line to the shared log; never fails, never throws.
void logMessage(const std::wstring& message) noexcept;

// Lets go of the log folder that an elevated process holds from its first line on; the next line
// checks the folder again. For a process that is done with a local folder, such as a test.
void releaseLogFolder() noexcept;

// LOCALAPPDATA, else the temporary folder, else ".".
std::filesystem::path getLocalAppDataPath();

} // namespace qsh
