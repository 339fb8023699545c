#pragma once

#include <string>

#include "process/runner.h"

namespace qsh {

// Exit code of a schtasks run: launch error (or 31), 1460 on time-out, else its own code.
int exitCodeFromProcessResult(const ProcessResult& result);

int runCreateDefault();
int runDelete();
// `handed`: started with the relaunch marker, so the output may only be a file staged for it.
int runQueryToFile(const std::wstring& outputPath, bool handed = false);

} // namespace qsh
