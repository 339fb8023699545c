#pragma once

#include <windows.h>

#include <filesystem>
#include <string>

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
// its command line, so that an elevated helper gains its caller no access to files.
// Nothing to do where the token is not elevated, or is elevated with no limited token beside it
// (elevation type Default: User Account Control is off). Otherwise the consent service made the
// asking process this one's parent: its token is impersonated. False, with `error` set, when
// that process is gone or younger than this one (its id was reused), or when its token cannot
// be used at impersonation level.
bool actAsCaller(CallerImpersonation& scope, std::wstring& error);

// Called with the path of each file named on the command line while it is opened, with the
// thread acting as the caller; a test driver records the thread's token there.
using CallerOpenHook = void (*)(const std::wstring& path);
void setCallerOpenHook(CallerOpenHook hook);

// Opens for reading a file named on the command line, as the user who asked. `missing` is
// set when the path does not exist or names a folder (nothing is opened then).
UniqueHandle openCallerInput(const std::filesystem::path& path, bool& missing, std::wstring& error);

// Opens for writing a file named on the command line, as the user who asked: the folders on
// the way and the file are made when missing; an existing file is not truncated. `created`
// tells whether this open made the file (the handle may then delete it).
UniqueHandle openCallerOutput(const std::filesystem::path& path, bool& created,
                              std::wstring& error);

} // namespace qsh
