#pragma once

#include <cstdint>

#include "qsh_version.h"

namespace qsh {

inline constexpr wchar_t kTaskName[] = L"Quillfen";
inline constexpr wchar_t kElevationMarker[] = L"--elevation-attempted";

// Names of the files a non-elevated helper stages for its relaunched copy: each stem, then
// "<pid>-<ticks>" of the staging run, then the extension. The copy accepts as operands only
// files named after its own image this way.
inline constexpr wchar_t kStagedHelperStem[] = L"QuillfenSchedulerHelper-elevated-";
inline constexpr wchar_t kStagedHelperExtension[] = L".exe";
inline constexpr wchar_t kStagedInputStem[] = L"scheduler-input-";
inline constexpr wchar_t kStagedOutputStem[] = L"scheduler-output-";
inline constexpr wchar_t kStagedFileExtension[] = L".xml";

// Exit codes of the helper that callers act on; any other code is relayed from elsewhere.
inline constexpr int kExitSuccess = 0;
// apply-times: a Task Scheduler call failed.
inline constexpr int kExitTaskSchedulerFailure = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitInputMissing = 3;
inline constexpr int kExitXmlFailure = 4;
inline constexpr int kExitNotElevated = 5;
inline constexpr int kExitStagingFailed = 6;
inline constexpr int kExitLaunchFailed = 7;
inline constexpr int kExitGenericFailure = 31; // ERROR_GEN_FAILURE
inline constexpr int kExitTimeout = 1460;      // ERROR_TIMEOUT

// Largest Task XML document the helper takes in: a create-xml input, or what schtasks.exe
// writes for a query.
inline constexpr std::uint64_t kMaxTaskXmlBytes = 67108864;

// Longest preview of outside text (documents, child output) in one log line.
inline constexpr std::uint64_t kPreviewUnits = 240;

} // namespace qsh
