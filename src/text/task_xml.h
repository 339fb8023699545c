#pragma once

#include <string>

namespace qsh {

bool looksLikeTaskXml(const std::wstring& text);
void stripLeadingBomAndNoise(std::wstring& text);
std::wstring setXmlEncodingDeclaration(std::wstring xml, const std::wstring& encodingName);

} // namespace qsh
