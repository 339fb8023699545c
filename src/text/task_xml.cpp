#include "text/task_xml.h"

namespace qsh {

bool looksLikeTaskXml(const std::wstring&) { return false; }
void stripLeadingBomAndNoise(std::wstring&) {}
std::wstring setXmlEncodingDeclaration(std::wstring xml, const std::wstring&) { return xml; }
bool writeFileBytes(const std::filesystem::path&, const Bytes&, std::wstring& error) {
    error = L"not implemented";
    return false;
}

} // namespace qsh
