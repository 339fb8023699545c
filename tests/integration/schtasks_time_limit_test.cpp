// A schtasks.exe that never finishes: every schtasks-backed command gives up after the real
// 60-second limit, also when the child never stops writing. The runs go side by side so the
// suite costs one limit, not six.

#include <cstdio>

#include "sandbox.h"

namespace {

using namespace qsh::testing;

using SchtasksTimeLimitSlow = SandboxTest;

// "HH:MM:SS.mmm" of a log stamp as milliseconds since midnight.
long long millisecondOfDay(const std::string& stamp) {
    int hours = 0, minutes = 0, seconds = 0, milliseconds = 0;
    std::sscanf(stamp.c_str() + 11, "%d:%d:%d.%d", &hours, &minutes, &seconds, &milliseconds);
    return ((hours * 60LL + minutes) * 60 + seconds) * 1000 + milliseconds;
}

TEST_F(SchtasksTimeLimitSlow, EveryCommandEndsWith1460AndKeepsWhatItMust) {
    std::wstring input = files / L"task.xml";
    ASSERT_TRUE(writeFile(input, toUtf8(declaration(L"UTF-8") + taskBody())));
    ASSERT_TRUE(writeFile(taskFile(), utf16le(declaration(L"UTF-16") + taskBody())));
    std::wstring output = files / L"export.xml";
    ASSERT_TRUE(writeFile(output, "previous export"));

    const Switches stuck = {schtasksSwitch(L"STDERR_TEXT", L"working on it"),
                            schtasksSwitch(L"DELAY_MS", L"300000")};
    // Each command with what its result line says it was attempting.
    const std::vector<std::pair<std::vector<std::wstring>, std::string>> cases = {
        {{L"create-default"}, "create the default Windows scheduled task"},
        {{L"delete"}, "delete the Windows scheduled task"},
        {{L"query-to-file", output}, "query the Windows scheduled task"},
        {{L"create-xml", input}, "create the Windows scheduled task from XML"},
    };
    std::vector<HelperRun> runs;
    for (const auto& [args, phrase] : cases) {
        runs.push_back(request(args, stuck));
    }
    // Children that never stop writing, on both streams or on standard error alone.
    const std::vector<std::wstring> endlessSwitches = {L"ENDLESS_OUTPUT", L"ENDLESS_STDERR"};
    for (const std::wstring& name : endlessSwitches) {
        runs.push_back(request({L"delete"}, {schtasksSwitch(name, L"1")}));
    }
    const ULONGLONG begin = GetTickCount64();
    std::vector<HelperOutcome> outcomes = startTogether(runs);
    const ULONGLONG elapsed = GetTickCount64() - begin;
    // The limit itself, with room for a loaded machine; not a speed figure.
    EXPECT_GE(elapsed, 60000u);
    EXPECT_LT(elapsed, 100000u);

    // A child that never stops writing is ended at the limit all the same, measured from the
    // launch line to the outcome line of its run.
    const std::vector<LogEntry> log = readLog(localAppData());
    for (std::size_t i = 0; i < endlessSwitches.size(); ++i) {
        const HelperOutcome& endless = outcomes[cases.size() + i];
        SCOPED_TRACE(toUtf8(endlessSwitches[i]));
        EXPECT_EQ(endless.code(), 1460);
        EXPECT_EQ(endless.out, resultLine(1460, "The scheduler helper timed out while attempting "
                                                "to delete the Windows scheduled task."));
        long long launched = -1;
        long long ended = -1;
        for (const LogEntry& entry : log) {
            if (entry.pid == endless.pid && entry.message.starts_with("Launching schtasks.exe")) {
                launched = millisecondOfDay(entry.stamp);
            }
            if (entry.pid == endless.pid &&
                entry.message == "delete: exitCode=1460; timedOut=true") {
                ended = millisecondOfDay(entry.stamp);
            }
        }
        ASSERT_GE(launched, 0);
        ASSERT_GE(ended, 0);
        const long long ran = (ended - launched + 86400000) % 86400000;
        EXPECT_GE(ran, 60000);
        EXPECT_LT(ran, 65000);
        // Only the first MiB of what it wrote on standard error is kept and passed on.
        EXPECT_GT(endless.err.size(), 1000000u);
        EXPECT_LE(endless.err.size(), 1048576u + 2u);
    }

    for (std::size_t i = 0; i < cases.size(); ++i) {
        const HelperOutcome& outcome = outcomes[i];
        const std::string command = toUtf8(cases[i].first[0]);
        SCOPED_TRACE(command);
        EXPECT_EQ(outcome.code(), 1460);
        EXPECT_EQ(outcome.out, resultLine(1460, "The scheduler helper timed out while attempting "
                                                "to " +
                                                    cases[i].second + "."));
        EXPECT_EQ(outcome.err, "working on it\r\n");
        EXPECT_TRUE(
            linesInOrder(logOf(outcome), {command + ": exitCode=1460; timedOut=true",
                                          command + " stderr (UTF-8/ASCII): working on it"}));
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
