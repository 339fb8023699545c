#include "elevation/physical_path.h"

namespace qsh {

std::wstring stripFinalPathPrefix(const std::wstring& finalPath) { return finalPath; }
bool resolvePhysicalPath(const std::filesystem::path&, std::filesystem::path&, std::wstring& errorText) {
    errorText = L"not implemented";
    return false;
}

} // namespace qsh
