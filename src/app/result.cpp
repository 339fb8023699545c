#include "app/result.h"

namespace qsh {

std::wstring operationPhrase(const ArgList&) { return {}; }
std::wstring resultMessage(int, const std::wstring&) { return {}; }
std::wstring buildResultLine(int, const ArgList&) { return {}; }
std::wstring usageText() { return {}; }
void writeResult(int, const ArgList&) {}
void writeUsage() {}
void writeInheritedStream(DWORD, const std::wstring&) {}

} // namespace qsh
