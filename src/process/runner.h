#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "diag/format.h"

namespace qsh {

struct ProcessResult {
    bool launched = false;
    bool timedOut = false;
    std::uint32_t exitCode = 31;
    std::uint32_t launchError = 0;
    Bytes stdoutBytes;
    Bytes stderrBytes;
};

std::wstring getSchtasksPath();
bool createPipePair(HANDLE& readEnd, HANDLE& writeEnd);
// Reads what the pipe holds without blocking; stops at `deadline` (GetTickCount64 time) even
// while data keeps coming. Bytes past `keep` in all are read and dropped, so that the writer
// is never held up.
void drainPipe(HANDLE handle, Bytes& bytes, ULONGLONG deadline = MAXULONGLONG,
               std::size_t keep = SIZE_MAX);
ProcessResult runSchtasks(const std::vector<std::wstring>& args);

} // namespace qsh
