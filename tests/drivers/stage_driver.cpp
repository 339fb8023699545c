// Relaunches a given build of the helper the way a non-elevated helper does, from a
// process of the test's choosing:
//
//   qsh-stage-driver <helper.exe> <argument>...
//
// prints the result line and ends with the outcome, like the helper itself.
//
// Staged and relaunched as the "helper" itself, it plays a misbehaving elevated copy: it
// deletes the file named just before the relaunch marker (the staged output) and ends with
// the code in QSH_STAGE_DRIVER_EXIT (99 when there was no such file).
//
// With QSH_STAGE_DRIVER_REFUSE=<code>, the "runas" launch fails with that error as a
// refused consent prompt does (1223), without starting anything.

#include <windows.h>

#include <cwchar>
#include <string>
#include <vector>

#include "diag/constants.h"
#include "app/result.h"
#include "elevation/stage.h"

namespace {

DWORD numberVariable(const wchar_t* name) {
    wchar_t value[32] = {};
    const DWORD n = GetEnvironmentVariableW(name, value, 32);
    return n > 0 && n < 32 ? static_cast<DWORD>(std::wcstoul(value, nullptr, 0)) : 0;
}

// Ends with 99 when the file could not be deleted, so a test sees that it really went.
int actAsElevatedCopy(int argc, wchar_t** argv) {
    if (argc < 3 || !DeleteFileW(argv[argc - 2])) {
        return 99;
    }
    return static_cast<int>(numberVariable(L"QSH_STAGE_DRIVER_EXIT"));
}

DWORD refusal = 0;

BOOL WINAPI refusedLaunch(SHELLEXECUTEINFOW*) {
    SetLastError(refusal);
    return FALSE;
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
    const int code = refusal != 0 ? qsh::stageAndElevateFrom(list, helper, refusedLaunch)
                                  : qsh::stageAndElevateFrom(list, helper);
    qsh::writeResult(code, list);
    return code;
}
