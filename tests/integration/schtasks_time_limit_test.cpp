// A schtasks.exe that never finishes: every schtasks-backed command gives up after the real
// 60-second limit, also when the child never stops writing. The runs go side by side so the
// suite costs one limit, not five.

#include "schtasks_fixture.h"

namespace schtasks_tests {
namespace {

using SchtasksTimeLimitSlow = SchtasksTest;

TEST_F(SchtasksTimeLimitSlow, EveryCommandEndsWith1460AndKeepsWhatItMust) {
    std::wstring input = files / L"task.xml";
    ASSERT_TRUE(writeFile(input, toUtf8(declaration(L"UTF-8") + taskBody())));
    ASSERT_TRUE(writeFile(taskFile(), utf16le(declaration(L"UTF-16") + taskBody())));
    std::wstring output = files / L"export.xml";
    ASSERT_TRUE(writeFile(output, "previous export"));

    const std::vector<std::pair<std::wstring, std::wstring>> stuck = {
        {L"STDERR_TEXT", L"working on it"}, {L"DELAY_MS", L"300000"}};
    struct Case {
        std::vector<std::wstring> args;
        std::string phrase;
        std::string label;
    };
    const std::vector<Case> cases = {
        {{L"create-default"}, "create the default Windows scheduled task", "create-default"},
        {{L"delete"}, "delete the Windows scheduled task", "delete"},
        {{L"query-to-file", output}, "query the Windows scheduled task", "query-to-file"},
        {{L"create-xml", input}, "create the Windows scheduled task from XML", "create-xml"},
    };
    std::vector<HelperRun> runs;
    for (const Case& c : cases) {
        runs.push_back(makeRun(c.args, stuck));
    }
    runs.push_back(makeRun({L"delete"}, {{L"ENDLESS_OUTPUT", L"1"}}));
    const ULONGLONG start = GetTickCount64();
    std::vector<HelperOutcome> outcomes = runHelpersConcurrently(runs);
    const ULONGLONG elapsed = GetTickCount64() - start;
    // The limit holds, give or take process starts and the 2 s wait after the kill.
    EXPECT_GE(elapsed, 60000u);
    EXPECT_LT(elapsed, 65000u);
    const HelperOutcome& endless = outcomes.back();
    EXPECT_EQ(endless.code(), 1460);
    EXPECT_EQ(endless.out, resultLine(1460, "The scheduler helper timed out while attempting to "
                                            "delete the Windows scheduled task."));
    EXPECT_TRUE(contains(logOf(endless), "delete: exitCode=1460; timedOut=true"));
    // Only the first MiB of what it wrote on standard error is kept and passed on.
    EXPECT_GT(endless.err.size(), 1000000u);
    EXPECT_LE(endless.err.size(), 1048576u + 2u);

    for (std::size_t i = 0; i < cases.size(); ++i) {
        const HelperOutcome& outcome = outcomes[i];
        SCOPED_TRACE(cases[i].label);
        ASSERT_TRUE(outcome.started);
        EXPECT_FALSE(outcome.timedOut);
        EXPECT_EQ(outcome.code(), 1460);
        EXPECT_EQ(outcome.out, resultLine(1460, "The scheduler helper timed out while attempting "
                                                "to " +
                                                    cases[i].phrase + "."));
        EXPECT_EQ(outcome.err, "working on it\r\n");
        auto log = logOf(outcome);
        EXPECT_TRUE(contains(log, cases[i].label + ": exitCode=1460; timedOut=true"));
        EXPECT_TRUE(contains(log, cases[i].label + " stderr (UTF-8/ASCII): working on it"));
    }
    // Nothing was removed, replaced or written by the killed runs.
    EXPECT_EQ(readFile(output), "previous export");
    EXPECT_TRUE(fileExists(taskFile()));
    auto staged = stagedFiles();
    ASSERT_EQ(staged.size(), 1u);
    EXPECT_EQ(readFile(stagingFolder() + L"\\" + staged[0]),
              utf16le(declaration(L"UTF-16") + taskBody()));
}

} // namespace
} // namespace schtasks_tests
