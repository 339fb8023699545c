#include "elevation/stage.h"

#include "diag/constants.h"
#include "diag/streams.h"
#include "diag/format.h"
#include "diag/log.h"
#include "elevation/physical_path.h"
#include "process/command_line.h"
#include "process/self_path.h"
#include "diag/unique_handle.h"

#include <windows.h>

#include <shellapi.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <system_error>
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
constexpr DWORD kComparePieceBytes = 1u << 20;

struct StagedFiles {
    fs::path input;
    fs::path output;
    fs::path helper;
    UniqueHandle inputHold;
    UniqueHandle outputHold;
    UniqueHandle helperHold;

    void releaseHolds() {
        inputHold.reset();
        outputHold.reset();
        helperHold.reset();
    }
};

// Deletes what was staged; a file already gone is not worth a line.
void removeStagedFiles(StagedFiles& staged) {
    staged.releaseHolds();
    for (const fs::path* path : {&staged.input, &staged.output, &staged.helper}) {
        if (path->empty()) {
            continue;
        }
        if (!DeleteFileW(path->c_str())) {
            const DWORD error = GetLastError();
            if (error != ERROR_FILE_NOT_FOUND) {
                logMessage(L"Could not remove staged file " + path->wstring() + L": " +
                           formatWindowsError(error));
            }
        }
    }
}

bool isCommand(const std::wstring& word, const wchar_t* command) {
    return _wcsicmp(word.c_str(), command) == 0;
}

// Fills the buffer unless the file ends first; `got` is how much it holds.
bool readPiece(HANDLE file, std::vector<char>& buffer, DWORD& got) {
    got = 0;
    while (got < buffer.size()) {
        DWORD read = 0;
        if (!ReadFile(file, buffer.data() + got, static_cast<DWORD>(buffer.size()) - got, &read,
                      nullptr)) {
            return false;
        }
        if (read == 0) {
            break;
        }
        got += read;
    }
    return true;
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
    std::vector<char> staged(kComparePieceBytes);
    std::vector<char> expected(kComparePieceBytes);
    for (;;) {
        DWORD stagedGot = 0;
        DWORD expectedGot = 0;
        if (!readPiece(held, staged, stagedGot) ||
            !readPiece(original.get(), expected, expectedGot)) {
            error = formatWindowsError(GetLastError());
            return Match::Failed;
        }
        if (stagedGot != expectedGot ||
            !std::equal(staged.begin(), staged.begin() + stagedGot, expected.begin())) {
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

// Ends the elevated copy; true once it has really ended. A copy that could not be ended may
// still run, so what it was handed stays held and in place until this process ends.
bool endElevatedCopy(HANDLE child, DWORD code) {
    if (!TerminateProcess(child, code)) {
        const DWORD error = GetLastError();
        logMessage(L"Could not end the elevated helper: " + formatWindowsError(error));
    }
    if (WaitForSingleObject(child, kTerminateSettleMs) == WAIT_OBJECT_0) {
        return true;
    }
    logMessage(L"The elevated helper may still be running; its staged files are kept.");
    return false;
}

} // namespace

int stageAndElevateFrom(const std::vector<std::wstring>& list, const std::wstring& selfPath,
                        RunasLaunch launch, StagedCopyHook afterCopy) {
    if (selfPath.empty()) {
        logMessage(L"Unable to resolve helper executable path for elevation.");
        return kExitStagingFailed;
    }

    const fs::path folder = getLocalAppDataPath() / L"Quillfen" / L"helper";
    std::error_code created;
    fs::create_directories(folder, created);
    if (created) {
        logMessage(L"Unable to create elevation staging directory: " + folder.wstring() +
                   L"; error=" + std::to_wstring(created.value()));
        return kExitStagingFailed;
    }

    const std::wstring suffix = std::to_wstring(static_cast<unsigned long>(GetCurrentProcessId())) +
                                L"-" +
                                std::to_wstring(static_cast<unsigned long long>(GetTickCount64()));
    StagedFiles staged;
    staged.helper = folder / (L"QuillfenSchedulerHelper-elevated-" + suffix + L".exe");

    if (!CopyFileW(selfPath.c_str(), staged.helper.c_str(), FALSE)) {
        const DWORD error = GetLastError();
        logMessage(L"CopyFileW failed while staging helper: " + formatWindowsError(error));
        return kExitStagingFailed;
    }
    if (afterCopy != nullptr) {
        afterCopy(staged.helper.wstring());
    }
    if (!holdStagedCopy(staged.helper, selfPath, L"staged helper", staged.helperHold)) {
        removeStagedFiles(staged);
        return kExitStagingFailed;
    }

    fs::path physicalHelper;
    std::wstring resolveError;
    if (!resolvePhysicalPath(staged.helper, physicalHelper, resolveError)) {
        logMessage(L"Could not resolve physical staged helper path " + staged.helper.wstring() +
                   L": " + resolveError);
        removeStagedFiles(staged);
        return kExitStagingFailed;
    }
    logMessage(L"Resolved staged helper path: " + staged.helper.wstring() + L" -> " +
               physicalHelper.wstring());

    std::vector<std::wstring> relaunch = list;
    constexpr std::size_t kOutputIndex = 2;
    bool copyBack = false;
    if (list.size() == 2 && isCommand(list[0], L"create-xml")) {
        staged.input = folder / (L"scheduler-input-" + suffix + L".xml");
        if (!CopyFileW(list[1].c_str(), staged.input.c_str(), FALSE)) {
            const DWORD error = GetLastError();
            reportError(L"Could not stage scheduler XML from " + list[1] + L": " +
                        formatWindowsError(error));
            removeStagedFiles(staged);
            return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                       ? kExitInputMissing
                       : kExitStagingFailed;
        }
        if (afterCopy != nullptr) {
            afterCopy(staged.input.wstring());
        }
        if (!holdStagedCopy(staged.input, list[1], L"staged scheduler XML", staged.inputHold)) {
            removeStagedFiles(staged);
            return kExitStagingFailed;
        }
        fs::path physicalInput;
        if (!resolvePhysicalPath(staged.input, physicalInput, resolveError)) {
            logMessage(L"Could not resolve physical staged scheduler XML path " +
                       staged.input.wstring() + L": " + resolveError);
            removeStagedFiles(staged);
            return kExitStagingFailed;
        }
        logMessage(L"Staged scheduler XML for elevation: " + list[1] + L" -> " +
                   staged.input.wstring() + L" -> " + physicalInput.wstring());
        relaunch[1] = physicalInput.wstring();
    } else if (list.size() == 3 && isCommand(list[0], L"apply-times") &&
               !list[kOutputIndex].empty()) {
        // An empty output path is left for the elevated copy to refuse: staging an output
        // for it would let the task be rebuilt for a request that is invalid.
        staged.output = folder / (L"scheduler-output-" + suffix + L".xml");
        // The handle that creates the output is its hold.
        staged.outputHold.reset(CreateFileW(staged.output.c_str(), GENERIC_READ | GENERIC_WRITE,
                                            kOutputHoldShare, nullptr, CREATE_ALWAYS,
                                            FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!staged.outputHold) {
            const DWORD error = GetLastError();
            logMessage(L"Could not create staged scheduler query output " +
                       staged.output.wstring() + L": " + formatWindowsError(error));
            removeStagedFiles(staged);
            return kExitStagingFailed;
        }
        fs::path physicalOutput;
        if (!resolvePhysicalPath(staged.output, physicalOutput, resolveError)) {
            logMessage(L"Could not resolve physical staged query output path " +
                       staged.output.wstring() + L": " + resolveError);
            removeStagedFiles(staged);
            return kExitStagingFailed;
        }
        relaunch[kOutputIndex] = physicalOutput.wstring();
        logMessage(L"Using staged scheduler query output for elevation: " +
                   staged.output.wstring() + L" -> " + physicalOutput.wstring());
        copyBack = true;
    }

    relaunch.emplace_back(kElevationMarker);
    const std::wstring parameters = joinCommandLine(relaunch);
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
        removeStagedFiles(staged);
        return error == ERROR_CANCELLED ? static_cast<int>(ERROR_CANCELLED) : kExitLaunchFailed;
    }
    UniqueHandle child(execute.hProcess);
    // The copy has ended or is ended below before anything is copied back or removed.

    const DWORD waited = WaitForSingleObject(child.get(), kElevatedWaitMs);
    if (waited == WAIT_TIMEOUT) {
        logMessage(L"Elevated helper timed out.");
        if (endElevatedCopy(child.get(), ERROR_TIMEOUT)) {
            removeStagedFiles(staged);
        }
        return static_cast<int>(ERROR_TIMEOUT);
    }
    if (waited != WAIT_OBJECT_0) {
        const DWORD error = GetLastError();
        logMessage(L"Waiting for the elevated helper failed: " + formatWindowsError(error));
        if (endElevatedCopy(child.get(), error)) {
            removeStagedFiles(staged);
        }
        return kExitLaunchFailed;
    }

    DWORD exitCode = 0;
    if (!GetExitCodeProcess(child.get(), &exitCode)) {
        const DWORD error = GetLastError();
        logMessage(L"GetExitCodeProcess failed: " + formatWindowsError(error));
        exitCode = kExitLaunchFailed;
    }
    child.reset();
    staged.releaseHolds();

    if (exitCode == 0 && copyBack) {
        const std::wstring& callerOutput = list[kOutputIndex];
        if (CopyFileW(staged.output.c_str(), callerOutput.c_str(), FALSE)) {
            logMessage(L"Copied staged scheduler query output into the packaged app view: " +
                       callerOutput);
        } else {
            const DWORD error = GetLastError();
            reportError(L"Could not copy the staged scheduler query to " + callerOutput + L": " +
                        formatWindowsError(error));
            exitCode = kExitXmlFailure;
        }
    }

    removeStagedFiles(staged);
    logMessage(L"Elevated child exited with code " + std::to_wstring(exitCode));
    return static_cast<int>(exitCode);
}

int stageAndElevate(const std::vector<std::wstring>& list) {
    return stageAndElevateFrom(list, getSelfPath());
}

} // namespace qsh
