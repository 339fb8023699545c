// Where the helper's log lands and what its lines look like, seen from the file.

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

#include "sandbox.h"

using namespace qsh::testing;

namespace {

const std::regex kLineForm(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} \[pid=\d+\] .*)");

bool validUtf8(const std::string& bytes) {
    return bytes.empty() || MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(),
                                                static_cast<int>(bytes.size()), nullptr, 0) > 0;
}

// Every line of the file has the log form and the file ends with a line end.
void expectWholeLines(const std::wstring& localAppData) {
    auto content = readFile(logFilePath(localAppData));
    ASSERT_TRUE(content.has_value());
    ASSERT_GE(content->size(), 2u);
    EXPECT_EQ(content->substr(content->size() - 2), "\r\n");
    EXPECT_NE(content->substr(0, 3), "\xEF\xBB\xBF");
    EXPECT_TRUE(validUtf8(*content));
    for (const auto& entry : readLog(localAppData)) {
        EXPECT_TRUE(std::regex_match(entry.raw, kLineForm)) << entry.raw;
        EXPECT_NE(entry.pid, 0u) << entry.raw;
    }
}

std::vector<Line> usageRun(const std::string& arguments) {
    return {std::string(60, '='),
            "QuillfenSchedulerHelper version 1.1.0 starting",
            "Executable: " + toUtf8(helperExePath()),
            "Arguments: " + arguments,
            "Elevated token: yes",
            "Usage requested or invalid arguments supplied.",
            logResult(2, "Missing or invalid scheduler helper arguments."),
            "Helper exiting with code 2"};
}

using EntryLogFile = SandboxTest;
using EntryLogLocation = SandboxTest;
using EntryLogConcurrency = SandboxTest;

} // namespace

TEST_F(EntryLogFile, NonAsciiArgumentsStayWholeAndUtf8) {
    // Accents, a CJK word, a character outside the BMP and the euro sign.
    const std::wstring word = L"Cr\u00e9er-\u4efb\u52a1";
    const std::wstring operand = L"C:\\Users\\J\u00fcrgen\\\U0001D11E \u20ac.xml";
    HelperOutcome outcome = start({word, operand});
    EXPECT_EQ(outcome.code(), 2);
    expectWholeLines(localAppData());
    EXPECT_TRUE(linesInOrder(logOf(outcome), usageRun(toUtf8(word + L" \"" + operand + L"\""))));
}

TEST_F(EntryLogFile, AppendsAcrossRunsAndRecreatesDeletedFile) {
    HelperOutcome first = start({L"version"});
    const std::size_t once = readLog(localAppData()).size();
    ASSERT_GT(once, 0u);
    HelperOutcome second = start({L"version"});
    // The second run's lines follow the first run's, which are all still there.
    EXPECT_EQ(readLog(localAppData()).size(), 2 * once);
    EXPECT_TRUE(linesInOrder(logOf(second), {"Arguments: version", startsWith("Result ")}));

    ASSERT_TRUE(DeleteFileW(logPath().c_str()));
    HelperOutcome third = start({L"version"});
    EXPECT_EQ(third.code(), 0);
    EXPECT_EQ(readLog(localAppData()).size(), once);
    expectWholeLines(localAppData());
}

TEST_F(EntryLogLocation, UnsetOrEmptyLocalAppDataFallsBackToTemp) {
    for (bool empty : {false, true}) {
        SCOPED_TRACE(empty ? "empty" : "unset");
        const HelperRun run{.args = {L"--version"},
                            .localAppData = empty ? std::optional<std::wstring>(L"") : std::nullopt,
                            .env = {{L"TEMP", files.path()}, {L"TMP", files.path()}}};
        const std::size_t before = readLog(files.path()).size();
        HelperOutcome outcome = start(run);
        EXPECT_EQ(outcome.code(), 0);
        auto log = readLog(files.path());
        log.erase(log.begin(), log.begin() + std::min(before, log.size()));
        EXPECT_TRUE(linesInOrder(logMessagesOf(log, outcome.pid),
                                 {"QuillfenSchedulerHelper version 1.1.0 starting",
                                  "Arguments: --version", startsWith("Result ")}));
        expectWholeLines(files.path());
        EXPECT_FALSE(fileExists(logPath()));
    }
}

TEST_F(EntryLogLocation, UncreatableLogFolderStillReportsResult) {
    // The log folder would have to live below a file.
    const std::wstring blocker = files / L"not-a-folder";
    ASSERT_TRUE(writeFile(blocker, "x"));
    HelperOutcome version = start({.args = {L"--version"}, .localAppData = blocker});
    EXPECT_EQ(version.code(), 0);
    EXPECT_EQ(version.err, "1.1.0\r\n");
    EXPECT_EQ(version.out,
              resultLine(0, "Completed request to read the scheduler helper version."));

    HelperOutcome usage = start({.args = {L"delete", L"x"}, .localAppData = blocker});
    EXPECT_EQ(usage.code(), 2);
    EXPECT_EQ(usage.out, resultLine(2, "Missing or invalid scheduler helper arguments."));
    EXPECT_EQ(readFile(blocker), "x");
}

TEST_F(EntryLogConcurrency, EightProcessesAtOnceLoseAndTearNothing) {
    // Process ids come back soon under Wine: a fresh log per round keeps them apart.
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        Sandbox box;
        // Long lines make a torn write far more likely to show; every other writer runs with
        // the limited token, as a non-elevated helper does beside its elevated copy.
        std::vector<HelperRun> runs;
        for (int i = 0; i < 8; ++i) {
            std::wstring operand(3000 + i, static_cast<wchar_t>(L'a' + i));
            const bool limited = i % 2 == 1;
            runs.push_back(
                {.args = {limited ? L"version" : L"unknown-" + std::to_wstring(i), operand},
                 .localAppData = box.localAppData(),
                 .limitedToken = limited});
        }
        std::vector<HelperOutcome> outcomes = box.startTogether(runs);
        std::size_t lines = 0;
        for (std::size_t i = 0; i < runs.size(); ++i) {
            EXPECT_EQ(outcomes[i].code(), 2);
            std::vector<Line> expected = usageRun(toUtf8(runs[i].args[0] + L" " + runs[i].args[1]));
            if (runs[i].limitedToken) {
                // "version" with an operand: no token check and no exit line.
                expected.erase(expected.begin() + 4);
                expected.pop_back();
            }
            const auto log = box.logOf(outcomes[i]);
            EXPECT_TRUE(linesInOrder(log, expected));
            EXPECT_EQ(log.size(), expected.size());
            lines += log.size();
        }
        // Every line belongs to one of the eight, whole.
        EXPECT_EQ(readLog(box.localAppData()).size(), lines);
        expectWholeLines(box.localAppData());
    }
}
