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

#include <filesystem>
#include <string>
#include <system_error>

namespace qsh {
namespace {

namespace fs = std::filesystem;

constexpr DWORD kElevatedWaitMs = 120000;
// A terminated process lets go of its image file only once it has really ended.
constexpr DWORD kTerminateSettleMs = 5000;

struct StagedFiles {
    fs::path input;
    fs::path output;
    fs::path helper;
};

// Deletes what was staged; a file already gone is not worth a line.
void removeStagedFiles(const StagedFiles& staged) {
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

} // namespace

int stageAndElevateFrom(const std::vector<std::wstring>& list, const std::wstring& selfPath,
                        RunasLaunch launch) {
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
        HANDLE file = CreateFileW(staged.output.c_str(), GENERIC_READ | GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            const DWORD error = GetLastError();
            logMessage(L"Could not create staged scheduler query output " +
                       staged.output.wstring() + L": " + formatWindowsError(error));
            removeStagedFiles(staged);
            return kExitStagingFailed;
        }
        CloseHandle(file);
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

    const DWORD waited = WaitForSingleObject(child.get(), kElevatedWaitMs);
    if (waited == WAIT_TIMEOUT) {
        logMessage(L"Elevated helper timed out.");
        TerminateProcess(child.get(), ERROR_TIMEOUT);
        WaitForSingleObject(child.get(), kTerminateSettleMs);
        child.reset();
        removeStagedFiles(staged);
        return static_cast<int>(ERROR_TIMEOUT);
    }
    if (waited != WAIT_OBJECT_0) {
        const DWORD error = GetLastError();
        logMessage(L"Waiting for the elevated helper failed: " + formatWindowsError(error));
        TerminateProcess(child.get(), error);
        child.reset();
        removeStagedFiles(staged);
        return kExitLaunchFailed;
    }

    DWORD exitCode = 0;
    if (!GetExitCodeProcess(child.get(), &exitCode)) {
        const DWORD error = GetLastError();
        logMessage(L"GetExitCodeProcess failed: " + formatWindowsError(error));
        exitCode = kExitLaunchFailed;
    }
    child.reset();

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
