#pragma once

#include <string>

#include "process/runner.h"

namespace qsh {

void logProcessResult(const std::wstring& label, const ProcessResult& result, bool decodeStdout);

} // namespace qsh
