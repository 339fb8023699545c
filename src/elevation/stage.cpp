#include "elevation/stage.h"

#include "base/bytes.h"
#include "base/caller_access.h"
#include "base/constants.h"
#include "base/file_io.h"
#include "base/unique_resource.h"
#include "base/windows_error.h"
#include "diag/log.h"
#include "diag/streams.h"
#include "elevation/physical_path.h"
#include "process/command_line.h"
#include "process/self_path.h"

#include <windows.h>

#include <shellapi.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

namespace qsh {
namespace {

namespace fs = std::filesystem;

constexpr DWORD kElevatedWaitMs = 120000;
// A terminated process lets go of its image file only once it has really ended.
constexpr DWORD kTerminateSettleMs = 5000;

// Anyone of the user's programs can write to the staging folder. From the moment a staged file
// exists until the elevated copy has ended it is held open so that nobody else can change,
// delete or rename it: the helper image and the input are shared for reading only, the output
// also for the copy's writing.
constexpr DWORD kReadHoldShare = FILE_SHARE_READ;
constexpr DWORD kOutputHoldShare = FILE_SHARE_READ | FILE_SHARE_WRITE;

// The output's place in "apply-times <times> <output>".
constexpr std::size_t kOutputIndex = 2;

// A step's failure as the code the helper ends with; empty when the step succeeded.
using Failure = std::optional<int>;

// Deletes a staged file; one already gone is not worth a line.
void removeStagedFile(const fs::path& path) {
    if (!DeleteFileW(path.c_str())) {
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND) {
            logMessage(L"Could not remove staged file " + path.wstring() + L": " +
                       formatWindowsError(error));
        }
    }
}

struct StagedFile {
    fs::path path; // empty until there is something to remove
    UniqueHandle hold;
};

// What one relaunch staged. Whatever way the relaunch ends, the destructor lets go of the holds
// and removes the files, unless they were kept for a copy that may still run.
class StagedFiles {
  public:
    StagedFiles(fs::path folder, std::wstring suffix)
        : folder_(std::move(folder)), suffix_(std::move(suffix)) {}
    StagedFiles(const StagedFiles&) = delete;
    StagedFiles& operator=(const StagedFiles&) = delete;
    ~StagedFiles() { remove(); }

    // "<stem><pid>-<ticks><extension>" in the staging folder.
    fs::path pathFor(const wchar_t* stem, const wchar_t* extension) const {
        return folder_ / (stem + suffix_ + extension);
    }

    void releaseHolds() {
        for (StagedFile* file : files()) {
            file->hold.reset();
        }
    }

    // Lets go of every hold before the first deletion, since a held file cannot be deleted.
    void remove() {
        releaseHolds();
        for (StagedFile* file : files()) {
            if (!file->path.empty()) {
                removeStagedFile(file->path);
                file->path.clear();
            }
        }
    }

    // A copy that may still run must not find what it was handed changed or gone, so the holds
    // stay open until this process ends and the files stay in place.
    void keepWhileCopyMayRun() {
        for (StagedFile* file : files()) {
            static_cast<void>(file->hold.release());
            file->path.clear();
        }
    }

    StagedFile input;
    StagedFile output;
    StagedFile helper;
    // apply-times: the caller's own output, opened before anything is staged.
    CallerOutput callerOutput;

  private:
    // In the order they are removed.
    std::array<StagedFile*, 3> files() { return {&input, &output, &helper}; }

    fs::path folder_;
    std::wstring suffix_;
};

// The launched elevated copy. Made after the staged files it is handed, it ends before them:
// unless the copy is known to have ended by then, they are kept.
struct ElevatedCopy {
    explicit ElevatedCopy(StagedFiles& handed) : staged(handed) {}
    ElevatedCopy(const ElevatedCopy&) = delete;
    ElevatedCopy& operator=(const ElevatedCopy&) = delete;
    ~ElevatedCopy() {
        if (mayRun) {
            staged.keepWhileCopyMayRun();
        }
    }

    StagedFiles& staged;
    UniqueHandle process;
    bool mayRun = false;
};

bool isCommand(const std::wstring& word, const wchar_t* command) {
    return _wcsicmp(word.c_str(), command) == 0;
}

enum class Match { Same, Different, Failed };

// Whether a held staged copy has its source's bytes: anything swapped in before the hold
// began shows here.
Match compareWithSource(HANDLE held, const std::wstring& source, std::wstring& error) {
    UniqueHandle original(CreateFileW(source.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER start{};
    if (!original || !SetFilePointerEx(held, start, nullptr, FILE_BEGIN)) {
        error = formatWindowsError(GetLastError());
        return Match::Failed;
    }
    std::vector<std::uint8_t> staged(kIoPieceBytes);
    std::vector<std::uint8_t> expected(kIoPieceBytes);
    for (;;) {
        std::size_t stagedGot = 0;
        std::size_t expectedGot = 0;
        DWORD readError = ERROR_SUCCESS;
        if (!readFully(held, staged, stagedGot, readError) ||
            !readFully(original.get(), expected, expectedGot, readError)) {
            error = formatWindowsError(readError);
            return Match::Failed;
        }
        if (stagedGot != expectedGot ||
            !std::ranges::equal(std::span(staged).first(stagedGot),
                                std::span(expected).first(expectedGot))) {
            return Match::Different;
        }
        if (stagedGot == 0) {
            return Match::Same;
        }
    }
}

// Holds a staged copy and checks it against its source; on failure logs why under `what`
// ("staged helper", "staged scheduler XML").
bool holdStagedCopy(const fs::path& staged, const std::wstring& source, const wchar_t* what,
                    UniqueHandle& hold) {
    hold.reset(CreateFileW(staged.c_str(), GENERIC_READ, kReadHoldShare, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!hold) {
        const DWORD error = GetLastError();
        logMessage(std::wstring(L"Could not hold ") + what + L" " + staged.wstring() + L": " +
                   formatWindowsError(error));
        return false;
    }
    std::wstring error;
    switch (compareWithSource(hold.get(), source, error)) {
    case Match::Same:
        return true;
    case Match::Different:
        logMessage(std::wstring(L"The ") + what + L" " + staged.wstring() +
                   L" does not match its source " + source + L".");
        return false;
    case Match::Failed:
        break;
    }
    logMessage(std::wstring(L"Could not check ") + what + L" " + staged.wstring() +
               L" against its source " + source + L": " + error);
    return false;
}

// Ends the elevated copy. One that could not be ended may still run and keeps what it was
// handed.
void endElevatedCopy(ElevatedCopy& copy, DWORD code) {
    if (!TerminateProcess(copy.process.get(), code)) {
        const DWORD error = GetLastError();
        logMessage(L"Could not end the elevated helper: " + formatWindowsError(error));
    }
    if (WaitForSingleObject(copy.process.get(), kTerminateSettleMs) == WAIT_OBJECT_0) {
        copy.mayRun = false;
        return;
    }
    logMessage(L"The elevated helper may still be running; its staged files are kept.");
}

std::optional<fs::path> createStagingFolder() {
    fs::path folder = getLocalAppDataPath() / L"Quillfen" / L"helper";
    std::error_code created;
    fs::create_directories(folder, created);
    if (created) {
        logMessage(L"Unable to create elevation staging directory: " + folder.wstring() +
                   L"; error=" + std::to_wstring(created.value()));
        return std::nullopt;
    }
    return folder;
}

// "<pid>-<ticks>", which keeps this relaunch's files apart from those of any other.
std::wstring stagingSuffix() {
    return std::to_wstring(static_cast<unsigned long>(GetCurrentProcessId())) + L"-" +
           std::to_wstring(static_cast<unsigned long long>(GetTickCount64()));
}

// The physical path the elevated copy is handed for a staged file; on failure logs why under
// `what` ("staged helper", "staged scheduler XML", "staged query output").
bool resolveStaged(const fs::path& path, const wchar_t* what, fs::path& physical) {
    std::wstring error;
    if (resolvePhysicalPath(path, physical, error)) {
        return true;
    }
    logMessage(std::wstring(L"Could not resolve physical ") + what + L" path " + path.wstring() +
               L": " + error);
    return false;
}

// Copies the running executable into the staging folder and holds it; `physical` is the path
// the copy is launched from.
Failure stageHelper(StagedFiles& staged, const std::wstring& selfPath, StagedCopyHook afterCopy,
                    fs::path& physical) {
    const fs::path path = staged.pathFor(kStagedHelperStem, kStagedHelperExtension);
    if (!CopyFileW(selfPath.c_str(), path.c_str(), FALSE)) {
        const DWORD error = GetLastError();
        logMessage(L"CopyFileW failed while staging helper: " + formatWindowsError(error));
        return kExitStagingFailed;
    }
    staged.helper.path = path;
    if (afterCopy != nullptr) {
        afterCopy(path.wstring());
    }
    if (!holdStagedCopy(path, selfPath, L"staged helper", staged.helper.hold)) {
        return kExitStagingFailed;
    }
    if (!resolveStaged(path, L"staged helper", physical)) {
        return kExitStagingFailed;
    }
    logMessage(L"Resolved staged helper path: " + path.wstring() + L" -> " + physical.wstring());
    return {};
}

// create-xml: the caller's input is copied into the staging folder and held, and the copy is
// handed the physical path of the staged input in its place.
Failure stageInput(StagedFiles& staged, const std::vector<std::wstring>& list,
                   StagedCopyHook afterCopy, std::vector<std::wstring>& copyArguments) {
    if (list.size() != 2 || !isCommand(list[0], L"create-xml")) {
        return {};
    }
    const std::wstring& source = list[1];
    staged.input.path = staged.pathFor(kStagedInputStem, kStagedFileExtension);
    const fs::path& path = staged.input.path;
    if (!CopyFileW(source.c_str(), path.c_str(), FALSE)) {
        const DWORD error = GetLastError();
        reportError(L"Could not stage scheduler XML from " + source + L": " +
                    formatWindowsError(error));
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? kExitInputMissing
                                                                              : kExitStagingFailed;
    }
    if (afterCopy != nullptr) {
        afterCopy(path.wstring());
    }
    if (!holdStagedCopy(path, source, L"staged scheduler XML", staged.input.hold)) {
        return kExitStagingFailed;
    }
    fs::path physical;
    if (!resolveStaged(path, L"staged scheduler XML", physical)) {
        return kExitStagingFailed;
    }
    logMessage(L"Staged scheduler XML for elevation: " + source + L" -> " + path.wstring() +
               L" -> " + physical.wstring());
    copyArguments[1] = physical.wstring();
    return {};
}

// apply-times: the copy writes into an empty staged output, held from its creation, and is
// handed its physical path in place of the caller's.
// An empty output path is left for the elevated copy to refuse: staging an output for it would
// let the task be rebuilt for a request that is invalid.
bool stagesOutput(const std::vector<std::wstring>& list) {
    return list.size() == 3 && isCommand(list[0], L"apply-times") && !list[kOutputIndex].empty();
}

// apply-times: the caller's own output is opened before anything is staged, as the elevated
// helper opens it before the task changes: one that cannot be written is refused before any
// prompt, and nothing is copied for it.
Failure openCallersOutput(StagedFiles& staged, const std::vector<std::wstring>& list) {
    std::wstring error;
    if (stagesOutput(list) && !staged.callerOutput.open(list[kOutputIndex], error)) {
        reportError(L"Could not open the task XML output: " + error);
        return kExitXmlFailure;
    }
    return {};
}

Failure stageOutput(StagedFiles& staged, const std::vector<std::wstring>& list,
                    std::vector<std::wstring>& copyArguments) {
    if (!stagesOutput(list)) {
        return {};
    }
    staged.output.path = staged.pathFor(kStagedOutputStem, kStagedFileExtension);
    const fs::path& path = staged.output.path;
    // The handle that creates the output is its hold.
    UniqueHandle hold(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, kOutputHoldShare,
                                  nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!hold) {
        const DWORD error = GetLastError();
        logMessage(L"Could not create staged scheduler query output " + path.wstring() + L": " +
                   formatWindowsError(error));
        return kExitStagingFailed;
    }
    staged.output.hold = std::move(hold);
    fs::path physical;
    if (!resolveStaged(path, L"staged query output", physical)) {
        return kExitStagingFailed;
    }
    copyArguments[kOutputIndex] = physical.wstring();
    logMessage(L"Using staged scheduler query output for elevation: " + path.wstring() + L" -> " +
               physical.wstring());
    return {};
}

// Starts the staged helper with "runas" and the relaunch marker after its arguments.
Failure launchCopy(RunasLaunch launch, const fs::path& physicalHelper,
                   std::vector<std::wstring> copyArguments, ElevatedCopy& copy) {
    copyArguments.emplace_back(kElevationMarker);
    const std::wstring parameters = joinCommandLine(copyArguments);
    const std::wstring helperFile = physicalHelper.wstring();
    logMessage(L"Process is not elevated. Launching staged helper with the runas verb: " +
               helperFile);

    SHELLEXECUTEINFOW execute{};
    execute.cbSize = sizeof execute;
    execute.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
    execute.lpVerb = L"runas";
    execute.lpFile = helperFile.c_str();
    execute.lpParameters = parameters.c_str();
    execute.nShow = SW_HIDE;
    if (!launch(&execute)) {
        const DWORD error = GetLastError();
        logMessage(L"ShellExecuteExW(runas) failed: " + formatWindowsError(error));
        return error == ERROR_CANCELLED ? static_cast<int>(ERROR_CANCELLED) : kExitLaunchFailed;
    }
    // Whatever handle came back, the copy may now run.
    copy.process.reset(execute.hProcess);
    copy.mayRun = true;
    return {};
}

// Waits for the copy within the time limit; one past it, or one that cannot be waited on, is
// ended.
Failure waitForCopy(ElevatedCopy& copy) {
    const DWORD waited = WaitForSingleObject(copy.process.get(), kElevatedWaitMs);
    if (waited == WAIT_OBJECT_0) {
        copy.mayRun = false;
        return {};
    }
    if (waited == WAIT_TIMEOUT) {
        logMessage(L"Elevated helper timed out.");
        endElevatedCopy(copy, ERROR_TIMEOUT);
        return static_cast<int>(ERROR_TIMEOUT);
    }
    const DWORD error = GetLastError();
    logMessage(L"Waiting for the elevated helper failed: " + formatWindowsError(error));
    endElevatedCopy(copy, error);
    return kExitLaunchFailed;
}

// What the copy wrote, read through the hold from its start.
bool readStagedOutput(HANDLE hold, Bytes& bytes, DWORD& error) {
    LARGE_INTEGER start{};
    LARGE_INTEGER size{};
    if (!SetFilePointerEx(hold, start, nullptr, FILE_BEGIN) || !GetFileSizeEx(hold, &size)) {
        error = GetLastError();
        return false;
    }
    if (size.QuadPart > static_cast<LONGLONG>(kMaxTaskXmlBytes)) {
        error = ERROR_FILE_TOO_LARGE;
        return false;
    }
    bytes.resize(static_cast<std::size_t>(size.QuadPart));
    std::size_t got = 0;
    const bool read = readFully(hold, bytes, got, error);
    bytes.resize(got);
    return read;
}

// Into the caller's output, held since before the launch.
bool copyBackOutput(StagedFiles& staged, const std::wstring& callerPath) {
    Bytes bytes;
    DWORD code = ERROR_SUCCESS;
    std::wstring error;
    if (!readStagedOutput(staged.output.hold.get(), bytes, code)) {
        error = formatWindowsError(code);
    } else if (writeOpenFile(staged.callerOutput.get(), {std::span<const std::uint8_t>(bytes)},
                             error)) {
        staged.callerOutput.keep();
        logMessage(L"Copied staged scheduler query output into the packaged app view: " +
                   callerPath);
        return true;
    }
    reportError(L"Could not copy the staged scheduler query to " + callerPath + L": " + error);
    return false;
}

// The one way out once the copy has ended, in this order: the output is copied back, through
// the holds, only from a copy that ended with 0; the holds go only then, and the staged files
// are gone before the closing line.
int finishEndedCopy(ElevatedCopy& copy, StagedFiles& staged,
                    const std::vector<std::wstring>& list) {
    DWORD exitCode = 0;
    if (!GetExitCodeProcess(copy.process.get(), &exitCode)) {
        const DWORD error = GetLastError();
        logMessage(L"GetExitCodeProcess failed: " + formatWindowsError(error));
        exitCode = kExitLaunchFailed;
    }
    copy.process.reset();
    if (exitCode == 0 && !staged.output.path.empty() &&
        !copyBackOutput(staged, list[kOutputIndex])) {
        exitCode = kExitXmlFailure;
    }
    staged.releaseHolds();
    staged.remove();
    logMessage(L"Elevated child exited with code " + std::to_wstring(exitCode));
    return static_cast<int>(exitCode);
}

} // namespace

int stageAndElevateFrom(const std::vector<std::wstring>& list, const std::wstring& selfPath,
                        RunasLaunch launch, StagedCopyHook afterCopy) {
    if (selfPath.empty()) {
        logMessage(L"Unable to resolve helper executable path for elevation.");
        return kExitStagingFailed;
    }
    const std::optional<fs::path> folder = createStagingFolder();
    if (!folder) {
        return kExitStagingFailed;
    }
    // From here on every return removes what was staged, or keeps it for a copy that may
    // still run.
    StagedFiles staged(*folder, stagingSuffix());
    fs::path physicalHelper;
    std::vector<std::wstring> copyArguments = list;
    if (Failure failed = openCallersOutput(staged, list)) {
        return *failed;
    }
    if (Failure failed = stageHelper(staged, selfPath, afterCopy, physicalHelper)) {
        return *failed;
    }
    if (Failure failed = stageInput(staged, list, afterCopy, copyArguments)) {
        return *failed;
    }
    if (Failure failed = stageOutput(staged, list, copyArguments)) {
        return *failed;
    }
    ElevatedCopy copy(staged);
    if (Failure failed = launchCopy(launch, physicalHelper, std::move(copyArguments), copy)) {
        return *failed;
    }
    if (Failure failed = waitForCopy(copy)) {
        return *failed;
    }
    return finishEndedCopy(copy, staged, list);
}

int stageAndElevate(const std::vector<std::wstring>& list) {
    return stageAndElevateFrom(list, getSelfPath());
}

} // namespace qsh
