#pragma once

#include <string>
#include <vector>

namespace qsh {

// Splits and checks "HH:mm:ss[,HH:mm:ss...]". On failure returns false with the
// message (without the log prefix) in `error`.
bool parseDailyTimes(const std::wstring& times, std::vector<std::wstring>& list,
                     std::wstring& error);

// `handed`: started with the relaunch marker, so the output may only be the file that the
// non-elevated helper which relaunched this one staged for it.
int handleApplyTimes(const std::wstring& times, const std::wstring& outputPath,
                     bool handed = false);

} // namespace qsh
