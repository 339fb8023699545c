#pragma once

// Starts the helper inside Wine the way the calling application does: pipes for
// its standard handles, an environment block of the test's choosing, the full
// 32-bit exit code, and an optional limited (non-elevated) token.

#include <windows.h>

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "encoding.h"

namespace qsh::testing {

struct HelperRun {
    std::vector<std::wstring> args;
    // LOCALAPPDATA for the child; nullopt leaves the variable out of its environment.
    std::optional<std::wstring> localAppData;
    // Variables set (or replaced) in the child's environment.
    std::vector<std::pair<std::wstring, std::wstring>> env;
    // Start with the limited linked token (TokenIsElevated 0).
    bool limitedToken = false;
    // Hand the child pipes for standard output and error; false gives it no handles at all.
    bool stdHandles = true;
    // Empty: the helper beside the test executable.
    std::wstring exePath;
    // Empty: built from exePath and args with the usual quoting.
    std::wstring commandLine;
    // Empty: the test's own current directory.
    std::wstring workingDirectory;
    DWORD timeoutMs = 600000;
    // Started for this process as the consent service starts an elevated program for the one
    // that asked: it becomes the parent (PROC_THREAD_ATTRIBUTE_PARENT_PROCESS) while the token
    // stays the test's own (or the limited one). Handles would come from that parent, so such
    // a run gets no standard handles.
    HANDLE parent = nullptr;
    // Called while the new process is still suspended, before any of its code runs.
    std::function<void()> beforeRun;
};

struct HelperOutcome {
    bool started = false;
    DWORD startError = 0;
    bool timedOut = false;
    DWORD exitCode = 0;
    DWORD pid = 0;
    std::string out; // raw bytes of standard output
    std::string err; // raw bytes of standard error
    // Log lines there were before the run; set by the sandbox, whose log view starts here.
    std::size_t logFrom = 0;
    int code() const { return static_cast<int>(exitCode); }
};

HelperOutcome runHelper(const HelperRun& run);

// A process of the helper's image that never runs (it stays suspended), with the limited token
// or the test's own: a parent for HelperRun::parent. `closedToOthers` gives it a security that
// lets no other open reach it, as another user's process is to an administrator. Empty when it
// could not be made.
HANDLE startSuspendedHelper(bool limitedToken, bool closedToOthers = false);

// Folder of the running test executable, with a trailing backslash.
std::wstring moduleDirectory();
// QuillfenSchedulerHelper.exe beside the test executable.
std::wstring helperExePath();
// Quotes like the helper's own command-line joining (CommandLineToArgvW rules).
std::wstring quoteArgument(const std::wstring& arg);

// A fresh folder under the temporary folder, removed with everything in it on destruction.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::wstring& path() const { return path_; }
    std::wstring operator/(const std::wstring& name) const { return path_ + L"\\" + name; }

  private:
    std::wstring path_;
};

bool fileExists(const std::wstring& path);
std::optional<std::string> readFile(const std::wstring& path);
bool writeFile(const std::wstring& path, const std::string& bytes);

struct LogEntry {
    std::string stamp;     // "YYYY-MM-DD HH:MM:SS.mmm"
    unsigned long pid = 0; // 0 when the line does not have the log form
    std::string message;   // UTF-8, as written
    std::string raw;       // the whole line without its CR LF
};

// The log file of a LOCALAPPDATA folder: Quillfen\logs\scheduler-helper.log.
std::wstring logFilePath(const std::wstring& localAppData);
// Lines split at CR LF; an unterminated last piece is kept too.
std::vector<LogEntry> readLog(const std::wstring& localAppData);
// Messages of the lines written by one process, in order.
std::vector<std::string> logMessagesOf(const std::vector<LogEntry>& log, unsigned long pid);

} // namespace qsh::testing
