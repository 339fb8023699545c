#pragma once

namespace qsh {

inline constexpr wchar_t kTaskName[] = L"Quillfen";
inline constexpr wchar_t kHelperVersion[] = L"1.1.0";
inline constexpr wchar_t kElevationMarker[] = L"--elevation-attempted";

} // namespace qsh
