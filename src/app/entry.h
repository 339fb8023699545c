#pragma once

#include <string>

namespace qsh {

// The whole run: split the command line, log the banner, dispatch, report.
// Returns the process exit code.
int runHelper();

} // namespace qsh
