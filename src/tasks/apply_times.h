#pragma once

#include <string>
#include <vector>

namespace qsh {

// Splits and checks "HH:mm:ss[,HH:mm:ss...]". On failure returns false with the
// message (without the log prefix) in `error`.
bool parseDailyTimes(const std::wstring& times, std::vector<std::wstring>& list,
                     std::wstring& error);

// `stagedOutput`: the output path was handed over by the non-elevated helper that relaunched
// this one.
int handleApplyTimes(const std::wstring& times, const std::wstring& outputPath,
                     bool stagedOutput = false);

} // namespace qsh
