#pragma once

#include <windows.h>

#include <string>

namespace qsh {

// Writes UTF-8 text, CR LF added unless it ends in LF; silent without a handle.
void writeInheritedStream(DWORD handleId, const std::wstring& text);
// The same text to the log and to the inherited standard error.
void reportError(const std::wstring& text);

} // namespace qsh
