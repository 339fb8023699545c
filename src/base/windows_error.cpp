#include "base/windows_error.h"

#include <windows.h>

#include <cstdio>

#include "base/unique_resource.h"

namespace qsh {

std::wstring formatWindowsError(std::uint32_t code) {
    if (code == 0) {
        return L"No error";
    }
    std::wstring message;
    {
        LocalOwned<wchar_t*> buffer;
        const DWORD length =
            FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                               FORMAT_MESSAGE_IGNORE_INSERTS,
                           nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                           reinterpret_cast<LPWSTR>(buffer.put()), 0, nullptr);
        if (length == 0 || !buffer) {
            return L"Windows error " + std::to_wstring(code);
        }
        message.assign(buffer.get(), length);
    }
    while (!message.empty() &&
           (message.back() == L'\r' || message.back() == L'\n' || message.back() == L' ')) {
        message.pop_back();
    }
    return message;
}

std::wstring formatHresult(std::int32_t hr) {
    const auto value = static_cast<std::uint32_t>(hr);
    wchar_t digits[16] = {};
    std::swprintf(digits, 16, L"%08X", static_cast<unsigned>(value));
    return std::wstring(L"HRESULT 0x") + digits + L" (" + formatWindowsError(value) + L")";
}

} // namespace qsh
