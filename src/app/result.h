#pragma once

#include <windows.h>

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
// Writes UTF-8 text, CR LF added unless it ends in LF; silent without a handle.
void writeInheritedStream(DWORD handleId, const std::wstring& text);
// The same text to the log and to the inherited standard error.
void reportError(const std::wstring& text);

} // namespace qsh
