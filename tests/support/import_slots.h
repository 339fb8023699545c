#pragma once

// The main module's import slots that hold one function, and how to write them: the way the
// tests and the Task Scheduler stand-in put fakes and hooks between the helper's code and a
// system DLL.

#include <windows.h>

#include <vector>

namespace qsh::testing {

// Slots of the main module's import table that now point at `function`.
inline std::vector<void**> importSlotsOf(void* function) {
    std::vector<void**> slots;
    auto* base = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
        base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (function == nullptr || imports.VirtualAddress == 0) {
        return slots;
    }
    for (auto* entry = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
         entry->Name != 0; ++entry) {
        for (auto* thunk = reinterpret_cast<IMAGE_THUNK_DATA*>(base + entry->FirstThunk);
             thunk->u1.Function != 0; ++thunk) {
            void** slot = reinterpret_cast<void**>(&thunk->u1.Function);
            if (*slot == function) {
                slots.push_back(slot);
            }
        }
    }
    return slots;
}

// Import tables are read-only once loaded: the page is opened for the one write.
inline bool writeSlot(void** slot, void* value) {
    DWORD old = 0;
    if (!VirtualProtect(slot, sizeof(void*), PAGE_READWRITE, &old)) {
        return false;
    }
    *slot = value;
    VirtualProtect(slot, sizeof(void*), old, &old);
    return true;
}

} // namespace qsh::testing
