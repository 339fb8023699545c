#include "tasks/create_xml.h"

namespace qsh {

int handleCreateXml(const std::wstring&) { return 31; }

} // namespace qsh
