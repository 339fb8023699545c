#pragma once

// The stand-in Task Scheduler's ledger as tests read it (tests/standins/taskscheduler/ledger.h).

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "sandbox.h"

namespace qsh::testing {

// "call <Name> <arguments>" for every call, "! ..." for every fault of the helper (a leak, a
// double free, releases out of order); absent if the stand-in was never loaded.
struct Ledger {
    std::optional<std::string> text;
    std::vector<std::string> lines;

    std::vector<std::string> calls() const {
        std::vector<std::string> names;
        for (const std::string& line : lines) {
            if (line.starts_with("call ")) {
                names.push_back(line.substr(5, line.find(' ', 5) - 5));
            }
        }
        return names;
    }
    std::string dump() const { return text.value_or("(no ledger)"); }
    bool has(const std::string& line) const {
        return std::ranges::find(lines, line) != lines.end();
    }
};

inline Ledger readLedger(const Sandbox& box) {
    Ledger ledger{readFile(box.ledgerPath())};
    std::istringstream in(ledger.text.value_or(""));
    for (std::string line; std::getline(in, line);) {
        ledger.lines.push_back(line);
    }
    return ledger;
}

// Every reference released in reverse order of acquisition, every BSTR freed once.
inline void expectNoLeaks(const Ledger& ledger) {
    ASSERT_TRUE(ledger.text) << "no ledger: the stand-in was not loaded";
    EXPECT_EQ(std::ranges::count_if(ledger.lines, [](auto& l) { return l.starts_with("!"); }), 0)
        << ledger.dump();
}

} // namespace qsh::testing
