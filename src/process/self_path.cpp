#include "process/self_path.h"

#include <windows.h>

namespace qsh {

std::wstring getSelfPath() {
    // Far above the longest path Windows can hand out; stops a runaway loop.
    constexpr DWORD kLimit = 1u << 16;
    for (DWORD size = 512; size <= kLimit; size *= 2) {
        std::wstring buffer(size, L'\0');
        const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), size);
        if (length == 0) {
            return {};
        }
        if (length < size - 1) {
            buffer.resize(length);
            return buffer;
        }
    }
    return {};
}

} // namespace qsh
