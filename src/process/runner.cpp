#include "process/runner.h"

namespace qsh {

std::wstring getSchtasksPath() { return L"schtasks.exe"; }
bool createPipePair(HANDLE&, HANDLE&) { return false; }
void drainPipe(HANDLE, Bytes&) {}
ProcessResult runSchtasks(const std::vector<std::wstring>&) { return {}; }

} // namespace qsh
