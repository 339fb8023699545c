// A schtasks.exe that never finishes: every schtasks-backed command gives up after the real
// 60-second limit. The four runs go side by side so the suite costs one limit, not four.

#include "sandbox.h"

namespace {

using namespace qsh::testing;

using SchtasksTimeLimitSlow = SandboxTest;

TEST_F(SchtasksTimeLimitSlow, EveryCommandEndsWith1460AndKeepsWhatItMust) {
    std::wstring input = files / L"task.xml";
    ASSERT_TRUE(writeFile(input, toUtf8(declaration(L"UTF-8") + taskBody())));
    ASSERT_TRUE(writeFile(taskFile(), utf16le(declaration(L"UTF-16") + taskBody())));
    std::wstring output = files / L"export.xml";
    ASSERT_TRUE(writeFile(output, "previous export"));

    const Switches stuck = {schtasksSwitch(L"STDERR_TEXT", L"working on it"),
                            schtasksSwitch(L"DELAY_MS", L"300000")};
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
        runs.push_back(request(c.args, stuck));
    }
    const ULONGLONG begin = GetTickCount64();
    std::vector<HelperOutcome> outcomes = startTogether(runs);
    const ULONGLONG elapsed = GetTickCount64() - begin;
    // The limit itself, with room for a loaded machine; not a speed figure.
    EXPECT_GE(elapsed, 60000u);
    EXPECT_LT(elapsed, 100000u);

    for (std::size_t i = 0; i < cases.size(); ++i) {
        const HelperOutcome& outcome = outcomes[i];
        SCOPED_TRACE(cases[i].label);
        EXPECT_EQ(outcome.code(), 1460);
        EXPECT_EQ(outcome.out, resultLine(1460, "The scheduler helper timed out while attempting "
                                                "to " +
                                                    cases[i].phrase + "."));
        EXPECT_EQ(outcome.err, "working on it\r\n");
        EXPECT_TRUE(linesInOrder(logOf(outcome),
                                 {cases[i].label + ": exitCode=1460; timedOut=true",
                                  cases[i].label + " stderr (UTF-8/ASCII): working on it"}));
    }
    // Nothing was removed, replaced or written by the killed runs.
    EXPECT_EQ(readFile(output), "previous export");
    EXPECT_TRUE(fileExists(taskFile()));
    auto staged = filesIn(stagingFolder());
    ASSERT_EQ(staged.size(), 1u);
    EXPECT_EQ(readFile(stagingFolder() + L"\\" + staged[0]),
              utf16le(declaration(L"UTF-16") + taskBody()));
}

} // namespace
