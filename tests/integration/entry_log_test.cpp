// Where the helper's log lands and what its lines look like, seen from the file.

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

#include "helper_process.h"

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

std::vector<std::string> usageRun(const std::string& arguments) {
    return {std::string(60, '='),
            "QuillfenSchedulerHelper version 1.1.0 starting",
            "Executable: " + toUtf8(helperExePath()),
            "Arguments: " + arguments,
            "Elevated token: yes",
            "Usage requested or invalid arguments supplied.",
            "Result status=failure exitCode=2 message=Missing or invalid scheduler helper "
            "arguments.",
            "Helper exiting with code 2"};
}

} // namespace

TEST(EntryLogFile, NonAsciiArgumentsStayWholeAndUtf8) {
    TempDir local;
    // Accents, a CJK word, a character outside the BMP and the euro sign.
    const std::wstring word = L"Cr\u00e9er-\u4efb\u52a1";
    const std::wstring operand = L"C:\\Users\\J\u00fcrgen\\\U0001D11E \u20ac.xml";
    HelperOutcome outcome = runHelper({.args = {word, operand}, .localAppData = local.path()});
    ASSERT_TRUE(outcome.started);
    EXPECT_EQ(outcome.code(), 2);
    expectWholeLines(local.path());
    EXPECT_EQ(logMessagesOf(readLog(local.path()), outcome.pid),
              usageRun(toUtf8(word + L" \"" + operand + L"\"")));
}

TEST(EntryLogFile, AppendsAcrossRunsAndRecreatesDeletedFile) {
    TempDir local;
    HelperOutcome first = runHelper({.args = {L"version"}, .localAppData = local.path()});
    HelperOutcome second = runHelper({.args = {L"version"}, .localAppData = local.path()});
    auto log = readLog(local.path());
    EXPECT_EQ(logMessagesOf(log, first.pid).size(), 5u);
    EXPECT_EQ(logMessagesOf(log, second.pid).size(), 5u);
    EXPECT_EQ(log.size(), 10u);

    ASSERT_TRUE(DeleteFileW(logFilePath(local.path()).c_str()));
    HelperOutcome third = runHelper({.args = {L"version"}, .localAppData = local.path()});
    EXPECT_EQ(third.code(), 0);
    EXPECT_EQ(readLog(local.path()).size(), 5u);
    expectWholeLines(local.path());
}

TEST(EntryLogLocation, UnsetOrEmptyLocalAppDataFallsBackToTemp) {
    for (bool empty : {false, true}) {
        TempDir temp;
        HelperRun run{.args = {L"--version"},
                      .env = {{L"TEMP", temp.path()}, {L"TMP", temp.path()}}};
        if (empty) {
            run.localAppData = L"";
        }
        HelperOutcome outcome = runHelper(run);
        ASSERT_TRUE(outcome.started);
        EXPECT_EQ(outcome.code(), 0);
        auto messages = logMessagesOf(readLog(temp.path()), outcome.pid);
        ASSERT_EQ(messages.size(), 5u) << "empty=" << empty;
        EXPECT_EQ(messages[1], "QuillfenSchedulerHelper version 1.1.0 starting");
        expectWholeLines(temp.path());
    }
}

TEST(EntryLogLocation, UncreatableLogFolderStillReportsResult) {
    TempDir local;
    // The log folder would have to live below a file.
    const std::wstring blocker = local / L"not-a-folder";
    ASSERT_TRUE(writeFile(blocker, "x"));
    HelperOutcome version = runHelper({.args = {L"--version"}, .localAppData = blocker});
    EXPECT_EQ(version.code(), 0);
    EXPECT_EQ(version.err, "1.1.0\r\n");
    EXPECT_EQ(version.out, "QUILLFEN_HELPER_RESULT status=success exitCode=0 message=Completed "
                           "request to read the scheduler helper version.\r\n");

    HelperOutcome usage = runHelper({.args = {L"delete", L"x"}, .localAppData = blocker});
    EXPECT_EQ(usage.code(), 2);
    EXPECT_EQ(usage.out, "QUILLFEN_HELPER_RESULT status=failure exitCode=2 message=Missing or "
                         "invalid scheduler helper arguments.\r\n");
    EXPECT_EQ(readFile(blocker), "x");
}

TEST(EntryLogConcurrency, EightProcessesAtOnceLoseAndTearNothing) {
    // Process ids come back soon under Wine: a fresh log per round keeps them apart.
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        TempDir local;
        // Long lines make a torn write far more likely to show; every other writer runs with
        // the limited token, as a non-elevated helper does beside its elevated copy.
        std::vector<HelperRun> runs;
        for (int i = 0; i < 8; ++i) {
            std::wstring operand(3000 + i, static_cast<wchar_t>(L'a' + i));
            const bool limited = i % 2 == 1;
            runs.push_back(
                {.args = {limited ? L"version" : L"unknown-" + std::to_wstring(i), operand},
                 .localAppData = local.path(),
                 .limitedToken = limited});
        }
        std::vector<HelperOutcome> outcomes = runHelpersConcurrently(runs);
        auto log = readLog(local.path());
        for (std::size_t i = 0; i < runs.size(); ++i) {
            ASSERT_TRUE(outcomes[i].started);
            EXPECT_EQ(outcomes[i].code(), 2);
            std::vector<std::string> expected =
                usageRun(toUtf8(runs[i].args[0] + L" " + runs[i].args[1]));
            if (runs[i].limitedToken) {
                // "version" with an operand: no token check and no exit line.
                expected.erase(expected.begin() + 4);
                expected.pop_back();
            }
            EXPECT_EQ(logMessagesOf(log, outcomes[i].pid), expected);
        }
        EXPECT_EQ(log.size(), 4u * 8u + 4u * 6u);
        expectWholeLines(local.path());
    }
}
