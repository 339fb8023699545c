#pragma once

#include <windows.h>

#include <functional>
#include <string>

namespace qsh {

// Removes "\\?\UNC\" (giving "\\") or "\\?\" from the start of a final path.
std::wstring stripFinalPathPrefix(const std::wstring& finalPath);

// One GetFinalPathNameByHandleW call on an open handle: buffer may be null when size is 0.
using FinalPathQuery = std::function<DWORD(wchar_t* buffer, DWORD size)>;

// Runs the size query and the name query. When the name no longer fits (it changed between
// the two) and the system gives no error, the name is asked again with the new size, a few
// times at most; the buffer is never read past what the query filled in.
// On failure `error` holds the Windows error code to report.
bool queryFinalPath(const FinalPathQuery& query, std::wstring& finalPath, DWORD& error);

// The final path of an open file or folder, prefix removed. On failure `error` holds the
// Windows error code to report.
bool finalPathOfHandle(HANDLE handle, std::wstring& finalPath, DWORD& error);

} // namespace qsh
