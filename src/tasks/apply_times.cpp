#include "tasks/apply_times.h"

namespace qsh {

bool parseDailyTimes(const std::wstring&, std::vector<std::wstring>&, std::wstring& error) {
    error = L"not implemented";
    return false;
}
int handleApplyTimes(const std::wstring&, const std::wstring&) { return 1; }

} // namespace qsh
