// The helper started as the calling application starts it: what it prints, the
// exit code it ends with and the log lines it writes, for the paths the entry
// point decides on its own.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "helper_process.h"

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

std::string resultLine(int code, const std::string& message) {
    return "QUILLFEN_HELPER_RESULT status=" + std::string(code == 0 ? "success" : "failure") +
           " exitCode=" + std::to_string(code) + " message=" + message + "\r\n";
}

std::string logResult(int code, const std::string& message) {
    std::string line = resultLine(code, message);
    return "Result" + line.substr(line.find(' '), line.size() - line.find(' ') - 2);
}

struct Seen {
    HelperOutcome outcome;
    std::vector<std::string> log; // this process's log messages, in order
};

Seen start(const TempDir& local, HelperRun run) {
    run.localAppData = local.path();
    // Wine hands out process ids again soon: only lines added by this run count.
    const std::size_t before = readLog(local.path()).size();
    Seen seen{runHelper(run), {}};
    EXPECT_TRUE(seen.outcome.started) << "start error " << seen.outcome.startError;
    EXPECT_FALSE(seen.outcome.timedOut);
    std::vector<LogEntry> log = readLog(local.path());
    log.erase(log.begin(), log.begin() + std::min(before, log.size()));
    seen.log = logMessagesOf(log, seen.outcome.pid);
    return seen;
}

bool contains(const std::vector<std::string>& log, const std::string& message) {
    return std::find(log.begin(), log.end(), message) != log.end();
}

bool anyStartsWith(const std::vector<std::string>& log, const std::string& prefix) {
    return std::any_of(log.begin(), log.end(),
                       [&](const std::string& m) { return m.rfind(prefix, 0) == 0; });
}

// Usage and code 2 without looking at the token.
void expectEarlyUsage(const Seen& seen, bool exitLine) {
    EXPECT_EQ(seen.outcome.code(), 2);
    EXPECT_EQ(seen.outcome.out, resultLine(2, kBadArguments));
    EXPECT_EQ(seen.outcome.err, kUsage);
    EXPECT_TRUE(contains(seen.log, "Usage requested or invalid arguments supplied."));
    EXPECT_TRUE(contains(seen.log, logResult(2, kBadArguments)));
    EXPECT_FALSE(anyStartsWith(seen.log, "Elevated token: "));
    EXPECT_EQ(contains(seen.log, "Helper exiting with code 2"), exitLine);
}

// Usage and code 2 decided by an elevated process.
void expectElevatedUsage(const Seen& seen) {
    EXPECT_EQ(seen.outcome.code(), 2);
    EXPECT_EQ(seen.outcome.out, resultLine(2, kBadArguments));
    EXPECT_EQ(seen.outcome.err, kUsage);
    ASSERT_GE(seen.log.size(), 4u);
    const std::vector<std::string> tail(seen.log.begin() + 4, seen.log.end());
    EXPECT_EQ(tail, (std::vector<std::string>{
                        "Elevated token: yes", "Usage requested or invalid arguments supplied.",
                        logResult(2, kBadArguments), "Helper exiting with code 2"}));
}

} // namespace

TEST(EntryCommandLine, NoArgumentsGivesUsage) {
    TempDir local;
    Seen seen = start(local, {});
    expectEarlyUsage(seen, false);
    ASSERT_EQ(seen.log.size(), 6u);
    EXPECT_EQ(seen.log[3], "Arguments: ");
}

TEST(EntryCommandLine, VersionInAnyCase) {
    TempDir local;
    for (const wchar_t* word : {L"--version", L"--VERSION", L"Version", L"vErSiOn"}) {
        Seen seen = start(local, {.args = {word}});
        EXPECT_EQ(seen.outcome.code(), 0) << toUtf8(word);
        EXPECT_EQ(seen.outcome.err, "1.1.0\r\n");
        EXPECT_EQ(seen.outcome.out, resultLine(0, kVersionDone));
        ASSERT_EQ(seen.log.size(), 5u);
        EXPECT_EQ(seen.log[4], logResult(0, kVersionDone));
    }
}

TEST(EntryCommandLine, VersionWithOperandGivesUsage) {
    TempDir local;
    expectEarlyUsage(start(local, {.args = {L"version", L"extra"}}), false);
    expectEarlyUsage(start(local, {.args = {L"--Version", L""}}), false);
}

TEST(EntryCommandLine, QueryToFileWithoutPathGivesUsage) {
    TempDir local;
    expectEarlyUsage(start(local, {.args = {L"Query-To-File"}}), true);
    expectEarlyUsage(start(local, {.args = {L"query-to-file", L""}}), true);
    expectEarlyUsage(start(local, {.args = {L"query-to-file", L"a.xml", L"b.xml"}}), true);
}

TEST(EntryCommandLine, MarkerIsDroppedWherever) {
    TempDir local;
    Seen first = start(local, {.args = {L"--elevation-attempted", L"--version"}});
    EXPECT_EQ(first.outcome.code(), 0);
    EXPECT_EQ(first.outcome.err, "1.1.0\r\n");
    ASSERT_GE(first.log.size(), 4u);
    EXPECT_EQ(first.log[3], "Arguments: --version");

    Seen twice =
        start(local, {.args = {L"--elevation-attempted", L"version", L"--elevation-attempted"}});
    EXPECT_EQ(twice.outcome.code(), 0);
    ASSERT_GE(twice.log.size(), 4u);
    EXPECT_EQ(twice.log[3], "Arguments: version");

    // Elevated, the marker changes nothing: the operand check still gives usage.
    Seen elevated = start(local, {.args = {L"--elevation-attempted", L"delete", L"now"}});
    expectElevatedUsage(elevated);
    EXPECT_EQ(elevated.log[3], "Arguments: delete now");
}

TEST(EntryCommandLine, UpperCaseMarkerIsAnOrdinaryArgument) {
    TempDir local;
    Seen word = start(local, {.args = {L"--ELEVATION-ATTEMPTED"}});
    expectElevatedUsage(word);
    EXPECT_EQ(word.log[3], "Arguments: --ELEVATION-ATTEMPTED");

    Seen operand = start(local, {.args = {L"--version", L"--Elevation-Attempted"}});
    expectEarlyUsage(operand, false);
}

TEST(EntryCommandLine, WrongOperandsInElevatedProcessGiveUsage) {
    TempDir local;
    const std::vector<std::vector<std::wstring>> lists = {
        {L"create-default", L"x"},
        {L"DELETE", L"x"},
        {L"create-xml"},
        {L"create-xml", L""},
        {L"create-xml", L"a", L"b"},
        {L"apply-times", L"07:00:00"},
        {L"apply-times", L"", L"out.xml"},
        {L"apply-times", L"07:00:00", L""},
        {L"FOO"},
        {L"createdefault"},
    };
    for (const auto& args : lists) {
        SCOPED_TRACE(toUtf8(args[0]) + " with " + std::to_string(args.size() - 1) + " operands");
        expectElevatedUsage(start(local, {.args = args}));
    }
}

TEST(EntryToken, RelaunchedButNotElevatedEndsWithFive) {
    TempDir local;
    for (bool handles : {true, false}) {
        Seen seen = start(local, {.args = {L"delete", L"--elevation-attempted"},
                                  .limitedToken = true,
                                  .stdHandles = handles});
        const std::string message =
            "The scheduler helper was relaunched but did not receive an elevated token.";
        EXPECT_EQ(seen.outcome.code(), 5);
        EXPECT_EQ(seen.outcome.out, handles ? resultLine(5, message) : "");
        EXPECT_EQ(seen.outcome.err, handles ? kNotElevatedAfterRelaunch + "\r\n" : "");
        ASSERT_GE(seen.log.size(), 4u);
        EXPECT_EQ(seen.log[3], "Arguments: delete");
        const std::vector<std::string> tail(seen.log.begin() + 4, seen.log.end());
        EXPECT_EQ(tail, (std::vector<std::string>{"Elevated token: no", kNotElevatedAfterRelaunch,
                                                  logResult(5, message)}));
    }
    // No relaunch: only the two processes above started, and nothing was staged.
    const auto log = readLog(local.path());
    EXPECT_EQ(std::count_if(log.begin(), log.end(),
                            [](const LogEntry& e) {
                                return e.message ==
                                       "QuillfenSchedulerHelper version 1.1.0 starting";
                            }),
              2);
    std::error_code ec;
    EXPECT_FALSE(std::filesystem::exists(local / L"Quillfen\\helper", ec));
}

TEST(EntryToken, NotElevatedWithoutMarkerNeverReportsSuccessByItself) {
    TempDir local;
    Seen seen = start(local, {.args = {L"delete"}, .limitedToken = true, .timeoutMs = 300000});
    EXPECT_NE(seen.outcome.code(), 0);
    EXPECT_EQ(seen.outcome.out.rfind("QUILLFEN_HELPER_RESULT status=failure exitCode=" +
                                         std::to_string(seen.outcome.code()) + " message=",
                                     0),
              0u)
        << seen.outcome.out;
    ASSERT_GE(seen.log.size(), 5u);
    EXPECT_EQ(seen.log[4], "Elevated token: no");
    EXPECT_EQ(seen.log.back(), "Helper exiting with code " + std::to_string(seen.outcome.code()));
}

TEST(EntryToken, VersionAndQueryNeverLookAtTheToken) {
    TempDir local;
    Seen version = start(local, {.args = {L"VERSION"}, .limitedToken = true});
    EXPECT_EQ(version.outcome.code(), 0);
    EXPECT_EQ(version.outcome.err, "1.1.0\r\n");
    expectEarlyUsage(start(local, {.args = {L"query-to-file"}, .limitedToken = true}), true);
}

TEST(EntryNoHandles, ReportsThroughExitCodeAndLogOnly) {
    TempDir local;
    Seen version = start(local, {.args = {L"--version"}, .stdHandles = false});
    EXPECT_EQ(version.outcome.code(), 0);
    EXPECT_TRUE(version.outcome.out.empty() && version.outcome.err.empty());
    EXPECT_TRUE(contains(version.log, logResult(0, kVersionDone)));

    Seen usage = start(local, {.stdHandles = false});
    EXPECT_EQ(usage.outcome.code(), 2);
    EXPECT_TRUE(contains(usage.log, "Usage requested or invalid arguments supplied."));
    EXPECT_TRUE(contains(usage.log, logResult(2, kBadArguments)));
}

TEST(EntryBanner, FourLinesThenTheCommand) {
    TempDir local;
    Seen seen = start(local, {.args = {L"version", L"a b", L"say \"hi\"", L""}});
    ASSERT_GE(seen.log.size(), 4u);
    EXPECT_EQ(seen.log[0], std::string(60, '='));
    EXPECT_EQ(seen.log[1], "QuillfenSchedulerHelper version 1.1.0 starting");
    EXPECT_EQ(fromUtf8(seen.log[2]), L"Executable: " + helperExePath());
    EXPECT_EQ(seen.log[3], R"(Arguments: version "a b" "say \"hi\"" "")");
}
