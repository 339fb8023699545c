#include <windows.h>

#include "app/entry.h"

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

} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    restrictDllSearch();
    return qsh::runHelper();
}
