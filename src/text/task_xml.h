#pragma once

#include <filesystem>
#include <string>

#include "diag/format.h"

namespace qsh {

bool looksLikeTaskXml(const std::wstring& text);
void stripLeadingBomAndNoise(std::wstring& text);
std::wstring setXmlEncodingDeclaration(std::wstring xml, const std::wstring& encodingName);
// Replaces the file; on failure returns false with `error` set (untouched on success).
bool writeFileBytes(const std::filesystem::path& path, const Bytes& bytes, std::wstring& error);

} // namespace qsh
