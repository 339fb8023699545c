#pragma once

// Reads what the stand-in schtasks.exe records about each run (QSH_STANDIN_SCHTASKS_RECORD).

#include <algorithm>
#include <string>
#include <vector>

namespace qsh::standin {

struct SchtasksCall {
    std::string commandLine;       // raw, UTF-8
    std::vector<std::string> argv; // CommandLineToArgvW's split, argv[0] included
};

inline std::vector<SchtasksCall> parseSchtasksRecord(const std::string& content) {
    std::vector<SchtasksCall> calls;
    for (std::size_t start = 0, end; (end = content.find("\x1e\n", start)) != std::string::npos;
         start = end + 2) {
        SchtasksCall& call = calls.emplace_back();
        for (std::size_t at = start, sep = start; sep != end; at = sep + 1) {
            sep = std::min(content.find('\x1f', at), end);
            (at == start ? call.commandLine : call.argv.emplace_back()) =
                content.substr(at, sep - at);
        }
    }
    return calls;
}

} // namespace qsh::standin
