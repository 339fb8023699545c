#pragma once

#include <windows.h>

#include <filesystem>
#include <string>
#include <vector>

#include "diag/unique_handle.h"

namespace qsh {

// Whether this process runs with an elevated token; a token that cannot be read counts as
// not elevated. Asked once: a process's elevation never changes.
bool tokenIsElevated();

// Where the helper's own files may really lie: the final path of `base` and, for a packaged
// process, the package's private copy of it that file-system virtualization writes into.
std::vector<std::wstring> ownFileRoots(const std::wstring& finalBase,
                                       const std::wstring& packageFamily);

// True when `actual` (a final path) is `relative` below one of `roots`, compared as the file
// system compares names.
bool isOwnFinalPath(const std::wstring& actual, const std::vector<std::wstring>& roots,
                    const std::filesystem::path& relative);

// Opens base\relative, a file the helper names itself below the local application data
// folder, without truncating it; the file and the folders on the way are created when
// missing. An elevated process, which works for a user whose other programs can change that
// folder, accepts only the file named: no folder or file on the way may lead elsewhere
// through a link, and the file may have no second hard link. On failure the holder is empty
// and `error` says why. `created` gives the security of a file made here.
UniqueHandle openOwnFile(const std::filesystem::path& base, const std::filesystem::path& relative,
                         DWORD access, DWORD share, std::wstring& error,
                         SECURITY_ATTRIBUTES* created = nullptr);

// Opens a staged file that a non-elevated helper created and handed over by its physical path,
// without truncating it. Elevated, it accepts only the file that helper named `stem` for this
// copy: `stem`, the staging suffix of the running image's name and ".xml", directly in the
// folder where the running image really lies, reached by no link and with one hard link.
// Anything else is refused before it is opened.
UniqueHandle openHandedFile(const std::filesystem::path& path, const wchar_t* stem, DWORD access,
                            DWORD share, std::wstring& error);

} // namespace qsh
