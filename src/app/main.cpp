#include <windows.h>

#include "app/entry.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    // The staged copy runs from a folder its user can write to: a DLL loaded by name must never
    // come from beside it.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    return qsh::runHelper();
}
