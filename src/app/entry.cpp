#include "app/entry.h"

namespace qsh {

// Placeholder until the dispatcher lands: never reports success.
int runHelper() { return 2; }
std::wstring getSelfPath() { return {}; }

} // namespace qsh
