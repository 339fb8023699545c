#pragma once

#include <string>
#include <vector>

namespace qsh {

using ArgList = std::vector<std::wstring>;

// Phrase of the result message for the argument list (element 0 lower-cased).
std::wstring operationPhrase(const ArgList& list);
// Message of the exit-code table for a code and a phrase.
std::wstring resultMessage(int code, const std::wstring& phrase);
// "QUILLFEN_HELPER_RESULT status=... exitCode=... message=..." without line end.
std::wstring buildResultLine(int code, const ArgList& list);
// The usage text, CR LF line ends included.
std::wstring usageText();

void writeResult(int code, const ArgList& list);
void writeUsage();

} // namespace qsh
