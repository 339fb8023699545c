#pragma once

#include <cstdint>
#include <string>

namespace qsh {

// The system's text for a Windows error code, without its line end.
std::wstring formatWindowsError(std::uint32_t code);
// "HRESULT 0x8007000E (...)": the code in hex and the system's text for it.
std::wstring formatHresult(std::int32_t hr);

} // namespace qsh
