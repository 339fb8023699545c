#pragma once

#include <windows.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "base/unique_resource.h"

namespace qsh {

// While alive, the thread acts as the user who asked for this command (see actAsCaller);
// the destructor goes back to the process's own token.
class CallerImpersonation {
  public:
    CallerImpersonation() = default;
    CallerImpersonation(const CallerImpersonation&) = delete;
    CallerImpersonation& operator=(const CallerImpersonation&) = delete;
    ~CallerImpersonation();

  private:
    friend bool actAsCaller(CallerImpersonation& scope, std::wstring& error);
    bool active_ = false;
};

// Makes the thread act as the user who asked for this command, for opening the files named on
// its command line, so that an elevated helper gains its caller no access to files. Nothing to
// do where the token is not elevated. Elevated (with or without a limited token beside it), the
// process that started this one asked: the consent service makes the asking process the parent
// of the program it elevates, and whoever starts an elevated helper otherwise is its parent too.
// That process's token is impersonated. False, with `error` set, when that process is gone,
// younger than this one (its id was reused) or cannot be opened, or when its token cannot be used
// at impersonation level.
bool actAsCaller(CallerImpersonation& scope, std::wstring& error);

// Whether files named on the command line are opened as the asking user: whenever the token
// is elevated, and when its elevation cannot be read (the safe side).
bool opensAsCaller(std::optional<bool> elevated);

// The SID string of the user who asked for this command: this process's own user when it is not
// elevated, else the user of the process that started it (for a relaunched copy, the helper that
// staged it). After an administrator typed credentials at the prompt, that is not the account
// the helper runs as. False, with `error` set, when that process cannot be read.
bool askingUserSid(std::wstring& sid, std::wstring& error);

// For a test driver that plays a request of another user: the asking user's SID it reports.
void setAskingUserOverride(const std::wstring& sid);

// Why the process that started the helper could not serve, as one sentence that ends in what
// is not done for it; `id` is its process id and `error` the Windows error of the failed step.
enum class ParentFailure { Gone, Reused, Process, Token };
std::wstring parentFailureText(ParentFailure failure, DWORD id, DWORD error,
                               const std::wstring& consequence);

// Called with the path of each file named on the command line while it is opened, with the
// thread acting as the caller; a test driver records the thread's token there.
using CallerOpenHook = void (*)(const std::wstring& path);
void setCallerOpenHook(CallerOpenHook hook);

// Opens for reading a file named on the command line, as the user who asked. `missing` is
// set when the path does not exist or names a folder (nothing is opened then).
UniqueHandle openCallerInput(const std::filesystem::path& path, bool& missing, std::wstring& error);

// Opens for writing a file named on the command line, as the user who asked: the folders on
// the way and the file are made when missing; an existing file is not truncated. `created`
// tells whether this open made the file (the handle may then delete it); `madeFolders`, when
// given, gets the folders it made, deepest first, also when the file could not be opened.
UniqueHandle openCallerOutput(const std::filesystem::path& path, bool& created, std::wstring& error,
                              std::vector<std::filesystem::path>* madeFolders = nullptr);

// Removes, as the user who asked, folders that openCallerOutput made, in the order given; a
// folder that is no longer empty stays, and so do the folders above it.
void removeCallerFolders(const std::vector<std::filesystem::path>& folders);

} // namespace qsh
