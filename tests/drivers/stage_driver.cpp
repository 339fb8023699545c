// Relaunches a given build of the helper the way a non-elevated helper does, from a
// process of the test's choosing:
//
//   qsh-stage-driver <helper.exe> <argument>...
//
// prints the result line and ends with the outcome, like the helper itself. Switches:
//
//   QSH_STAGE_DRIVER_REFUSE  the "runas" launch fails with this error, as a refused consent
//                            prompt does (1223), without starting anything
//   QSH_STAGE_DRIVER_PROBE   once the copy is launched, try to open each staged file for
//                            writing, delete it and rename it, and print one line per file on
//                            standard error: "<name> write=<error> delete=<error>
//                            rename=<error>" (0 where the attempt succeeded)
//   QSH_STAGE_DRIVER_SWAP    change a staged copy right after it is made, before the
//                            relauncher holds it: 1 overwrites the helper with other bytes,
//                            2 changes one byte of the helper (same size), 3 overwrites the
//                            staged create-xml input
//   QSH_STAGE_DRIVER_UNENDABLE  hand the relauncher a handle of the launched copy that can
//                            neither be waited on nor ended, as a copy it cannot stop
//
// Staged and relaunched as the "helper" itself, it plays a misbehaving elevated copy: it
// tries to delete the file named just before the relaunch marker (the staged output) and
// ends with the code in QSH_STAGE_DRIVER_EXIT, or with 99 when the deletion succeeded.

#include <windows.h>

#include <cwchar>
#include <filesystem>
#include <string>
#include <vector>

#include "app/result.h"
#include "base/constants.h"
#include "base/unique_resource.h"
#include "diag/log.h"
#include "diag/streams.h"
#include "elevation/stage.h"

namespace {

DWORD numberVariable(const wchar_t* name) {
    wchar_t value[32] = {};
    const DWORD n = GetEnvironmentVariableW(name, value, 32);
    return n > 0 && n < 32 ? static_cast<DWORD>(std::wcstoul(value, nullptr, 0)) : 0;
}

int actAsElevatedCopy(int argc, wchar_t** argv) {
    if (argc < 3 || DeleteFileW(argv[argc - 2])) {
        return 99;
    }
    return static_cast<int>(numberVariable(L"QSH_STAGE_DRIVER_EXIT"));
}

DWORD refusal = 0;

BOOL WINAPI refusedLaunch(SHELLEXECUTEINFOW*) {
    SetLastError(refusal);
    return FALSE;
}

DWORD errorOf(bool succeeded) {
    return succeeded ? 0 : GetLastError();
}

BOOL WINAPI launchAndProbe(SHELLEXECUTEINFOW* info) {
    const BOOL launched = ShellExecuteExW(info);
    const std::filesystem::path folder = qsh::getLocalAppDataPath() / L"Quillfen" / L"helper";
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ignored)) {
        const std::wstring path = entry.path().wstring();
        const qsh::UniqueHandle writer(CreateFileW(
            path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
            nullptr, OPEN_EXISTING, 0, nullptr));
        const DWORD write = writer ? 0 : GetLastError();
        const DWORD remove = errorOf(DeleteFileW(path.c_str()));
        const DWORD rename = errorOf(MoveFileExW(path.c_str(), (path + L".moved").c_str(), 0));
        qsh::writeInheritedStream(STD_ERROR_HANDLE, entry.path().filename().wstring() + L" write=" +
                                                        std::to_wstring(write) + L" delete=" +
                                                        std::to_wstring(remove) + L" rename=" +
                                                        std::to_wstring(rename));
    }
    return launched;
}

BOOL WINAPI launchUnendable(SHELLEXECUTEINFOW* info) {
    if (!ShellExecuteExW(info)) {
        return FALSE;
    }
    const qsh::UniqueHandle full(info->hProcess);
    info->hProcess = nullptr;
    return DuplicateHandle(GetCurrentProcess(), full.get(), GetCurrentProcess(), &info->hProcess,
                           PROCESS_QUERY_LIMITED_INFORMATION, FALSE, 0);
}

DWORD swapMode = 0;

void overwrite(const std::wstring& staged, LONG at, const char* bytes, DWORD count,
               DWORD disposition) {
    const qsh::UniqueHandle file(
        CreateFileW(staged.c_str(), GENERIC_WRITE, 0, nullptr, disposition, 0, nullptr));
    SetFilePointer(file.get(), at, nullptr, FILE_BEGIN);
    DWORD written = 0;
    WriteFile(file.get(), bytes, count, &written, nullptr);
}

void swapStagedCopy(const std::wstring& staged) {
    const bool helper = staged.ends_with(L".exe");
    if (swapMode == 1 && helper) {
        overwrite(staged, 0, "MZ swapped", 10, TRUNCATE_EXISTING);
    } else if (swapMode == 2 && helper) {
        // A byte in the DOS stub's text, which no loader reads.
        overwrite(staged, 0x60, "!", 1, OPEN_EXISTING);
    } else if (swapMode == 3 && !helper) {
        overwrite(staged, 0, "<Task></Task>", 13, TRUNCATE_EXISTING);
    }
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc >= 2 && std::wcscmp(argv[argc - 1], qsh::kElevationMarker) == 0) {
        return actAsElevatedCopy(argc, argv);
    }
    if (argc < 2) {
        return 2;
    }
    const std::wstring helper = argv[1];
    std::vector<std::wstring> list(argv + 2, argv + argc);
    refusal = numberVariable(L"QSH_STAGE_DRIVER_REFUSE");
    const qsh::RunasLaunch launch =
        refusal != 0                                         ? refusedLaunch
        : numberVariable(L"QSH_STAGE_DRIVER_PROBE") != 0     ? launchAndProbe
        : numberVariable(L"QSH_STAGE_DRIVER_UNENDABLE") != 0 ? launchUnendable
                                                             : ShellExecuteExW;
    swapMode = numberVariable(L"QSH_STAGE_DRIVER_SWAP");
    const int code =
        qsh::stageAndElevateFrom(list, helper, launch, swapMode != 0 ? swapStagedCopy : nullptr);
    qsh::writeResult(code, list);
    return code;
}
