#pragma once

// Reads what the stand-in schtasks.exe records about each run (QSH_STANDIN_SCHTASKS_RECORD).

#include <string>
#include <vector>

namespace qsh::standin {

struct SchtasksCall {
    std::string commandLine;       // raw, UTF-8
    std::vector<std::string> argv; // CommandLineToArgvW's split, argv[0] included
};

inline std::vector<SchtasksCall> parseSchtasksRecord(const std::string& content) {
    std::vector<SchtasksCall> calls;
    std::size_t start = 0;
    while (start < content.size()) {
        std::size_t end = content.find("\x1e\n", start);
        if (end == std::string::npos) {
            break;
        }
        std::string record = content.substr(start, end - start);
        start = end + 2;
        SchtasksCall call;
        std::size_t field = 0;
        bool first = true;
        for (;;) {
            std::size_t sep = record.find('\x1f', field);
            std::string piece = record.substr(field, sep == std::string::npos ? sep : sep - field);
            if (first) {
                call.commandLine = piece;
                first = false;
            } else {
                call.argv.push_back(piece);
            }
            if (sep == std::string::npos) {
                break;
            }
            field = sep + 1;
        }
        calls.push_back(std::move(call));
    }
    return calls;
}

} // namespace qsh::standin
