#pragma once

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>

#include "base/unique_resource.h"
#include "base/user_writable_files.h"

namespace qsh {

struct FileId {
    DWORD volume = 0;
    DWORD high = 0;
    DWORD low = 0;
    bool operator==(const FileId&) const = default;
};

// A file the elevated helper stages for another program to read, held from its creation until
// that program has ended: nobody else can change, replace, rename or delete it or its folder.
struct StagedImport {
    UniqueHandle folder; // held against rename and delete
    UniqueHandle hold;   // reads, and lets others only read
    FileId id;
    // What the other program is given: the held folder's final path and the file's name, a path
    // that passes through no link.
    std::wstring handedPath;
};

using Parts = std::initializer_list<std::span<const std::uint8_t>>;

// Creates base\folder\name new inside the held folder, writable by administrators and SYSTEM
// only, writes `parts` and narrows to the read hold, checking through it that the file holds
// exactly `parts`. A folder on a remote volume is refused. On failure `error` says why; what was
// written stays.
std::optional<StagedImport> stageImport(const std::filesystem::path& base,
                                        const std::filesystem::path& folder,
                                        const std::wstring& name, Parts parts, std::wstring& error);

// Ends the hold and deletes the file `name` found in the held folder, never through a link,
// and only while it is still the file that was staged.
bool deleteStagedImport(StagedImport& staged, const std::wstring& name, std::wstring& error);

// The two moments at which the staged copy is not held against other writers: while the hold
// takes over from the writing handle, and between the end of the hold and the delete after a
// successful import. A test driver plays another program there; `path` is the handed path.
enum class ImportMoment { Narrowing, Deleting };
using StagedImportHook = void (*)(ImportMoment moment, const std::wstring& path);
void setStagedImportHook(StagedImportHook hook);

} // namespace qsh
