#pragma once

#include <cstdint>

#include "qsh_version.h"

namespace qsh {

inline constexpr wchar_t kTaskName[] = L"Quillfen";
inline constexpr wchar_t kElevationMarker[] = L"--elevation-attempted";

// Exit codes of the helper that callers act on; any other code is relayed from elsewhere.
inline constexpr int kExitUsage = 2;
inline constexpr int kExitInputMissing = 3;
inline constexpr int kExitXmlFailure = 4;
inline constexpr int kExitNotElevated = 5;
inline constexpr int kExitStagingFailed = 6;
inline constexpr int kExitLaunchFailed = 7;
inline constexpr int kExitGenericFailure = 31; // ERROR_GEN_FAILURE
inline constexpr int kExitTimeout = 1460;      // ERROR_TIMEOUT

// Longest preview of outside text (documents, child output) in one log line.
inline constexpr std::uint64_t kPreviewUnits = 240;

} // namespace qsh
