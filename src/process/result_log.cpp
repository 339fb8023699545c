#include "process/result_log.h"

namespace qsh {

void logProcessResult(const std::wstring&, const ProcessResult&, bool) {}

} // namespace qsh
