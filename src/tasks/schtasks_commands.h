#pragma once

#include <string>

#include "process/runner.h"

namespace qsh {

// Exit code of a schtasks run: launch error (or 31), 1460 on time-out, else its own code.
int exitCodeFromProcessResult(const ProcessResult& result);

int runCreateDefault();
int runDelete();
int runQueryToFile(const std::wstring& outputPath);

} // namespace qsh
