#include "process/command_line.h"

namespace qsh {

namespace {

bool needsQuotes(const std::wstring& arg) {
    return arg.find_first_of(L" \t\n\v\"") != std::wstring::npos;
}

void appendQuoted(std::wstring& line, const std::wstring& arg) {
    line.push_back(L'"');
    std::size_t pendingBackslashes = 0;
    for (wchar_t unit : arg) {
        if (unit == L'\\') {
            ++pendingBackslashes;
        } else if (unit == L'"') {
            // Each backslash before a quote is doubled, plus one to escape the quote.
            line.append(2 * pendingBackslashes + 1, L'\\');
            line.push_back(L'"');
            pendingBackslashes = 0;
        } else {
            line.append(pendingBackslashes, L'\\');
            line.push_back(unit);
            pendingBackslashes = 0;
        }
    }
    // Doubled so that the closing quote is not escaped.
    line.append(2 * pendingBackslashes, L'\\');
    line.push_back(L'"');
}

} // namespace

std::wstring joinCommandLine(const std::vector<std::wstring>& args) {
    std::wstring line;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (i != 0) {
            line.push_back(L' ');
        }
        const std::wstring& arg = args[i];
        if (arg.empty()) {
            line.append(L"\"\"");
        } else if (!needsQuotes(arg)) {
            line.append(arg);
        } else {
            appendQuoted(line, arg);
        }
    }
    return line;
}

} // namespace qsh
