// The helper started as the calling application starts it: what it prints, the
// exit code it ends with and the log lines it writes, for the paths the entry
// point decides on its own.

#include <gtest/gtest.h>

#include <algorithm>

#include "sandbox.h"

using namespace qsh::testing;

namespace {

const std::string kUsage = "QuillfenSchedulerHelper 1.1.0\r\n"
                           "Commands:\r\n"
                           "  create-default\r\n"
                           "  create-xml <task-xml-path>\r\n"
                           "  query-to-file <output-xml-path>\r\n"
                           "  apply-times <HH:mm:ss[,HH:mm:ss...]> <output-xml-path>\r\n"
                           "  delete\r\n";
const std::string kBadArguments = "Missing or invalid scheduler helper arguments.";
const std::string kVersionDone = "Completed request to read the scheduler helper version.";
const std::string kNotElevatedAfterRelaunch =
    "The helper was relaunched with the runas verb but still does not have an elevated token.";
const std::string kBanner = "QuillfenSchedulerHelper version 1.1.0 starting";

// A run and this run's log messages, in order.
struct Seen {
    HelperOutcome outcome;
    std::vector<std::string> log;
};

class Entry : public SandboxTest {
  protected:
    Seen see(HelperRun run) const {
        run.localAppData = localAppData();
        HelperOutcome outcome = start(run);
        return {outcome, logOf(outcome)};
    }
};

// Usage and code 2, decided by an elevated process that logged `elevatedArguments`, or with
// none given, early and without looking at the token.
void expectUsage(const Seen& seen, const std::string& elevatedArguments, bool exitLine = true) {
    EXPECT_EQ(seen.outcome.code(), 2);
    EXPECT_EQ(seen.outcome.out, resultLine(2, kBadArguments));
    EXPECT_EQ(seen.outcome.err, kUsage);
    const bool elevated = !elevatedArguments.empty();
    std::vector<Line> lines = {"Usage requested or invalid arguments supplied.",
                               logResult(2, kBadArguments)};
    if (elevated) {
        lines.insert(lines.begin(), {"Arguments: " + elevatedArguments, "Elevated token: yes"});
    }
    if (exitLine) {
        lines.push_back("Helper exiting with code 2");
    }
    EXPECT_TRUE(linesInOrder(seen.log, lines));
    EXPECT_EQ(hasLine(seen.log, startsWith("Elevated token: ")), elevated);
    EXPECT_EQ(hasLine(seen.log, "Helper exiting with code 2"), exitLine);
}

using EntryCommandLine = Entry;
using EntryToken = Entry;
using EntryNoHandles = Entry;
using EntryBanner = Entry;

TEST_F(EntryCommandLine, NoArgumentsGivesUsage) {
    Seen seen = see({});
    expectUsage(seen, "", false);
    EXPECT_TRUE(linesInOrder(seen.log, {kBanner, "Arguments: "}));
}

TEST_F(EntryCommandLine, VersionInAnyCase) {
    for (const wchar_t* word : {L"--version", L"--VERSION", L"Version", L"vErSiOn"}) {
        Seen seen = see({.args = {word}});
        EXPECT_EQ(seen.outcome.code(), 0) << toUtf8(word);
        EXPECT_EQ(seen.outcome.err, "1.1.0\r\n");
        EXPECT_EQ(seen.outcome.out, resultLine(0, kVersionDone));
        EXPECT_TRUE(
            linesInOrder(seen.log, {"Arguments: " + toUtf8(word), logResult(0, kVersionDone)}));
        EXPECT_FALSE(hasLine(seen.log, startsWith("Elevated token: ")));
    }
}

TEST_F(EntryCommandLine, VersionWithOperandGivesUsage) {
    expectUsage(see({.args = {L"version", L"extra"}}), "", false);
    expectUsage(see({.args = {L"--Version", L""}}), "", false);
}

TEST_F(EntryCommandLine, QueryToFileWithoutPathGivesUsage) {
    expectUsage(see({.args = {L"Query-To-File"}}), "");
    expectUsage(see({.args = {L"query-to-file", L""}}), "");
    expectUsage(see({.args = {L"query-to-file", L"a.xml", L"b.xml"}}), "");
}

TEST_F(EntryCommandLine, MarkerIsDroppedWherever) {
    Seen first = see({.args = {L"--elevation-attempted", L"--version"}});
    EXPECT_EQ(first.outcome.code(), 0);
    EXPECT_EQ(first.outcome.err, "1.1.0\r\n");
    EXPECT_TRUE(linesInOrder(first.log, {kBanner, "Arguments: --version"}));

    Seen twice = see({.args = {L"--elevation-attempted", L"version", L"--elevation-attempted"}});
    EXPECT_EQ(twice.outcome.code(), 0);
    EXPECT_TRUE(linesInOrder(twice.log, {kBanner, "Arguments: version"}));

    // Elevated, the marker changes nothing: the operand check still gives usage.
    expectUsage(see({.args = {L"--elevation-attempted", L"delete", L"now"}}), "delete now");
}

TEST_F(EntryCommandLine, UpperCaseMarkerIsAnOrdinaryArgument) {
    expectUsage(see({.args = {L"--ELEVATION-ATTEMPTED"}}), "--ELEVATION-ATTEMPTED");
    expectUsage(see({.args = {L"--version", L"--Elevation-Attempted"}}), "", false);
}

TEST_F(EntryCommandLine, WrongOperandsInElevatedProcessGiveUsage) {
    const std::vector<std::pair<std::vector<std::wstring>, std::string>> lists = {
        {{L"create-default", L"x"}, "create-default x"},
        {{L"DELETE", L"x"}, "DELETE x"},
        {{L"create-xml"}, "create-xml"},
        {{L"create-xml", L""}, "create-xml \"\""},
        {{L"create-xml", L"a", L"b"}, "create-xml a b"},
        {{L"apply-times", L"07:00:00"}, "apply-times 07:00:00"},
        {{L"apply-times", L"", L"out.xml"}, "apply-times \"\" out.xml"},
        {{L"apply-times", L"07:00:00", L""}, "apply-times 07:00:00 \"\""},
        {{L"FOO"}, "FOO"},
        {{L"createdefault"}, "createdefault"},
    };
    for (const auto& [args, arguments] : lists) {
        SCOPED_TRACE(arguments);
        expectUsage(see({.args = args}), arguments);
    }
}

TEST_F(EntryToken, RelaunchedButNotElevatedEndsWithFive) {
    for (bool handles : {true, false}) {
        Seen seen = see({.args = {L"delete", L"--elevation-attempted"},
                         .limitedToken = true,
                         .stdHandles = handles});
        const std::string message =
            "The scheduler helper was relaunched but did not receive an elevated token.";
        EXPECT_EQ(seen.outcome.code(), 5);
        EXPECT_EQ(seen.outcome.out, handles ? resultLine(5, message) : "");
        EXPECT_EQ(seen.outcome.err, handles ? kNotElevatedAfterRelaunch + "\r\n" : "");
        EXPECT_TRUE(linesInOrder(seen.log, {"Arguments: delete", "Elevated token: no",
                                            kNotElevatedAfterRelaunch, logResult(5, message)}));
    }
    // No relaunch: only the two processes above started, and nothing was staged.
    const auto log = readLog(localAppData());
    EXPECT_EQ(std::count_if(log.begin(), log.end(),
                            [](const LogEntry& e) { return e.message == kBanner; }),
              2);
    EXPECT_EQ(GetFileAttributesW(helperFolder().c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(EntryToken, NotElevatedWithoutMarkerNeverReportsSuccessByItself) {
    Seen seen = see({.args = {L"delete"}, .limitedToken = true, .timeoutMs = 300000});
    EXPECT_NE(seen.outcome.code(), 0);
    EXPECT_TRUE(seen.outcome.out.starts_with("QUILLFEN_HELPER_RESULT status=failure exitCode=" +
                                             std::to_string(seen.outcome.code()) + " message="))
        << seen.outcome.out;
    EXPECT_TRUE(linesInOrder(seen.log, {"Elevated token: no"}));
    ASSERT_FALSE(seen.log.empty());
    EXPECT_EQ(seen.log.back(), "Helper exiting with code " + std::to_string(seen.outcome.code()));
}

TEST_F(EntryToken, VersionAndQueryNeverLookAtTheToken) {
    Seen version = see({.args = {L"VERSION"}, .limitedToken = true});
    EXPECT_EQ(version.outcome.code(), 0);
    EXPECT_EQ(version.outcome.err, "1.1.0\r\n");
    expectUsage(see({.args = {L"query-to-file"}, .limitedToken = true}), "");
}

TEST_F(EntryNoHandles, ReportsThroughExitCodeAndLogOnly) {
    Seen version = see({.args = {L"--version"}, .stdHandles = false});
    EXPECT_EQ(version.outcome.code(), 0);
    EXPECT_TRUE(version.outcome.out.empty() && version.outcome.err.empty());
    EXPECT_TRUE(hasLine(version.log, logResult(0, kVersionDone)));

    Seen usage = see({.stdHandles = false});
    EXPECT_EQ(usage.outcome.code(), 2);
    EXPECT_TRUE(linesInOrder(usage.log, {"Usage requested or invalid arguments supplied.",
                                         logResult(2, kBadArguments)}));
}

TEST_F(EntryBanner, FourLinesThenTheCommand) {
    Seen seen = see({.args = {L"version", L"a b", L"say \"hi\"", L""}});
    ASSERT_FALSE(seen.log.empty());
    EXPECT_EQ(seen.log[0], std::string(60, '='));
    EXPECT_TRUE(linesInOrder(seen.log, {std::string(60, '='), kBanner,
                                        "Executable: " + toUtf8(helperExePath()),
                                        R"(Arguments: version "a b" "say \"hi\"" "")"}));
}

} // namespace
