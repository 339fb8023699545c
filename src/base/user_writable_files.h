#pragma once

#include <windows.h>

#include <filesystem>
#include <string>
#include <vector>

#include "base/unique_resource.h"

namespace qsh {

// Where the helper's own files may really lie: the final path of `base` and, for a packaged
// process, the package's private copy of it that file-system virtualization writes into.
std::vector<std::wstring> ownFileRoots(const std::wstring& finalBase,
                                       const std::wstring& packageFamily);

// True when `actual` (a final path) is `relative` below one of `roots`, compared as the file
// system compares names.
bool isOwnFinalPath(const std::wstring& actual, const std::vector<std::wstring>& roots,
                    const std::filesystem::path& relative);

// Opens of user-writable paths never wait on another program's oplock: such an open ends with
// this error (ERROR_OPLOCK_BREAK_IN_PROGRESS), a "not now" that the caller may try again.
constexpr DWORD kErrorOplockBreak = 742;
// A link or mount point (any reparse point) found where a file or folder was opened
// (ERROR_STOPPED_ON_SYMLINK).
constexpr DWORD kErrorReparsePoint = 1281;

// Whether an open file or folder is a reparse point (a link or mount point); true, with the
// error, also when that cannot be read. `error` is kErrorReparsePoint for a reparse point.
bool isReparsePoint(HANDLE handle, DWORD& error);

// Runs `open` (a callable taking DWORD& error and giving an UniqueHandle) again while it fails
// with kErrorOplockBreak, every `pollMs`, until `deadline` (GetTickCount64) has passed.
template <class Open>
UniqueHandle retryWhileOplocked(ULONGLONG deadline, DWORD pollMs, DWORD& error, Open open) {
    for (;;) {
        UniqueHandle handle = open(error);
        if (handle || error != kErrorOplockBreak || GetTickCount64() >= deadline) {
            return handle;
        }
        Sleep(pollMs);
    }
}

// A held folder below LOCALAPPDATA whose chain was checked (same checks as openOwnFile).
UniqueHandle openOwnFolder(const std::filesystem::path& base,
                           const std::filesystem::path& relativeFolder, std::wstring& error);

// Opens `name` (one path component) inside the held `folder` without following a reparse point
// in its place (NtCreateFile with RootDirectory and FILE_OPEN_REPARSE_POINT; a reparse point is
// refused). OpenOrCreate never creates through a link: it opens what exists, else creates a
// new file. A file made here gets the access asked for: ask for DELETE to be able to remove it
// with deleteThroughHandle. Errors are Windows error codes.
enum class OpenMode { Existing, CreateNew, OpenOrCreate };
UniqueHandle openInFolder(HANDLE folder, const std::wstring& name, DWORD access, DWORD share,
                          OpenMode mode, DWORD& error, SECURITY_ATTRIBUTES* created = nullptr);

// Marks an open file (opened with DELETE) for deletion through its own handle.
bool deleteThroughHandle(HANDLE file, DWORD& error);

// Opens, creating it when missing, the file `name` of a folder held by openOwnFolder whose final
// path is `folderFinal`, with the checks of openOwnFile. `code` is the Windows error behind a
// failure (kErrorOplockBreak: not now).
UniqueHandle openOwnFileIn(HANDLE folder, const std::wstring& folderFinal, const std::wstring& name,
                           DWORD access, DWORD share, std::wstring& error, DWORD& code,
                           SECURITY_ATTRIBUTES* created = nullptr);

// Opens an existing file by its path as CreateFileW with OPEN_EXISTING does (links followed),
// without waiting on another program's oplock: an open that would is tried again for up to
// 2 s, then fails with kErrorOplockBreak. Errors are Windows error codes.
UniqueHandle openExistingFile(const std::filesystem::path& path, DWORD access, DWORD share,
                              DWORD& error);

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
// folder where the running image really lies (found from the mapped image and held), opened
// inside that folder with no link in its place, and with one hard link. Anything else is
// refused before it is opened.
UniqueHandle openHandedFile(const std::filesystem::path& path, const wchar_t* stem, DWORD access,
                            DWORD share, std::wstring& error);

// Whether an open file or folder lies on a remote volume (a network share), whose server could
// answer a second open of the same name with other bytes. An answer that cannot be had counts as
// remote, with `error` set.
bool isRemoteVolume(HANDLE handle, DWORD& error);

// The path another process is handed for `name` in a held folder whose final path is
// `folderFinal`: the plain drive-letter (or UNC) form, or the \\?\ form where only that can
// carry the path's length.
std::wstring pathForOtherProcess(const std::wstring& folderFinal, const std::wstring& name);

} // namespace qsh
