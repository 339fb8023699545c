#include <windows.h>

#include "app/entry.h"
#include "base/token.h"

namespace {

// The staged copy runs from a folder its user can write to: a DLL loaded by name must never
// come from beside it. SetDefaultDllDirectories comes with Windows 8, and to Windows 7 only with
// KB2533623; imported statically it would keep the helper from starting at all without that
// update. There the system's own search order stays, without the current folder.
void restrictDllSearch() {
    using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
    const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    const auto setDefault =
        kernel == nullptr ? nullptr
                          : reinterpret_cast<SetDefaultDllDirectoriesFn>(reinterpret_cast<void*>(
                                GetProcAddress(kernel, "SetDefaultDllDirectories")));
    if (setDefault == nullptr || !setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32)) {
        SetDllDirectoryW(L"");
    }
}

// An elevated process gets the environment its user's registry builds, where SystemRoot and
// windir are the user's to set, and COM and schtasks.exe find system files through them. They
// are taken from the system before anything else is loaded; a token that cannot be read counts
// as elevated.
void useTheSystemsWindowsFolder() {
    qsh::TokenFailure failure;
    if (!qsh::ownTokenElevation(failure).value_or(true)) {
        return;
    }
    wchar_t folder[MAX_PATH + 1] = {};
    const UINT length = GetSystemWindowsDirectoryW(folder, MAX_PATH + 1);
    if (length == 0 || length > MAX_PATH) {
        return;
    }
    SetEnvironmentVariableW(L"SystemRoot", folder);
    SetEnvironmentVariableW(L"windir", folder);
}

} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    restrictDllSearch();
    useTheSystemsWindowsFolder();
    return qsh::runHelper();
}
