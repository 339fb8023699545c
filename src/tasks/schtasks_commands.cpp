#include "tasks/schtasks_commands.h"

namespace qsh {

int exitCodeFromProcessResult(const ProcessResult&) { return 31; }
int runCreateDefault() { return 31; }
int runDelete() { return 31; }
int runQueryToFile(const std::wstring&) { return 31; }

} // namespace qsh
