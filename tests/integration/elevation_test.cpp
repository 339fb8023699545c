// The staged "runas" relaunch, end to end under Wine.
//
// Wine gives a non-elevated helper only through the limited linked token, and its "runas"
// child of such a process is still not elevated: the elevated copy then ends with 5, which
// the first process relays. The paths that need an elevated copy (success, copy back,
// time-out) are driven by qsh-stage-driver, an elevated process that relaunches the real
// helper through the same code; Wine elevates the "runas" child of an elevated process.

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <string>
#include <vector>

#include "helper_process.h"

namespace {

using namespace qsh::testing;
namespace fs = std::filesystem;

const std::string kRelaunchedNotElevated =
    "The helper was relaunched with the runas verb but still does not have an elevated token.";
const std::string kResult5 = "Result status=failure exitCode=5 message=The scheduler helper was "
                             "relaunched but did not receive an elevated token.";
const std::string kLaunching =
    "Process is not elevated. Launching staged helper with the runas verb: ";

std::string u8(const std::wstring& text) {
    return toUtf8(text);
}

std::wstring joined(const std::vector<std::wstring>& args) {
    std::wstring line;
    for (const auto& arg : args) {
        line += (line.empty() ? L"" : L" ") + quoteArgument(arg);
    }
    return line;
}

std::wstring driverExePath() {
    return moduleDirectory() + L"qsh-stage-driver.exe";
}

std::wstring helperFolder(const std::wstring& localAppData) {
    return localAppData + L"\\Quillfen\\helper";
}

std::vector<std::wstring> filesIn(const std::wstring& folder) {
    std::vector<std::wstring> names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec)) {
        names.push_back(entry.path().filename().wstring());
    }
    return names;
}

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

// "Label: A -> B [-> C]" from the first message of the log that starts with the label.
std::vector<std::string> arrowParts(const std::vector<std::string>& messages,
                                    const std::string& label) {
    for (const auto& m : messages) {
        if (startsWith(m, label)) {
            std::vector<std::string> parts;
            std::string rest = m.substr(label.size());
            for (std::size_t at; (at = rest.find(" -> ")) != std::string::npos;) {
                parts.push_back(rest.substr(0, at));
                rest = rest.substr(at + 4);
            }
            parts.push_back(rest);
            return parts;
        }
    }
    return {};
}

// The name of a staged file: stem + "<pid>-<ticks>" + extension; returns the suffix.
std::string stagedSuffix(const std::string& path, const std::string& folder,
                         const std::string& stem, const std::string& extension, unsigned long pid) {
    const std::string prefix = folder + "\\" + stem + std::to_string(pid) + "-";
    if (!startsWith(path, prefix) || path.size() <= prefix.size() + extension.size() ||
        path.compare(path.size() - extension.size(), extension.size(), extension) != 0) {
        return {};
    }
    const std::string ticks =
        path.substr(prefix.size(), path.size() - prefix.size() - extension.size());
    if (!std::all_of(ticks.begin(), ticks.end(),
                     [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; })) {
        return {};
    }
    return std::to_string(pid) + "-" + ticks;
}

// A run of the helper or the driver and the log of both processes it caused.
struct Relaunch {
    HelperOutcome outcome;
    std::vector<LogEntry> log;
    unsigned long childPid = 0;
    std::vector<std::string> parent;
    std::vector<std::string> child;
    // Helper path as staged and as handed to the copy.
    std::string stagedHelper;
    std::string physicalHelper;
};

Relaunch relaunch(HelperRun run) {
    Relaunch r;
    const std::wstring localAppData = *run.localAppData;
    r.outcome = runHelper(run);
    r.log = readLog(localAppData);
    for (const auto& entry : r.log) {
        if (entry.pid != 0 && entry.pid != r.outcome.pid) {
            r.childPid = entry.pid;
            break;
        }
    }
    r.parent = logMessagesOf(r.log, r.outcome.pid);
    r.child = r.childPid ? logMessagesOf(r.log, r.childPid) : std::vector<std::string>{};
    auto helper = arrowParts(r.parent, "Resolved staged helper path: ");
    if (helper.size() == 2) {
        r.stagedHelper = helper[0];
        r.physicalHelper = helper[1];
    }
    return r;
}

// Every line of the copy lies between the parent's launch line and its closing lines,
// and no third process took part.
void expectChildInsideParent(const Relaunch& r) {
    std::size_t launch = r.log.size(), firstChild = r.log.size(), lastChild = 0;
    std::size_t closing = r.log.size();
    for (std::size_t i = 0; i < r.log.size(); ++i) {
        const LogEntry& e = r.log[i];
        EXPECT_TRUE(e.pid == r.outcome.pid || e.pid == r.childPid) << e.raw;
        if (e.pid == r.outcome.pid && startsWith(e.message, kLaunching)) {
            launch = i;
        }
        if (e.pid == r.outcome.pid && startsWith(e.message, "Elevated child exited with code ")) {
            closing = i;
        }
        if (e.pid == r.childPid) {
            firstChild = std::min(firstChild, i);
            lastChild = i;
        }
    }
    EXPECT_LT(launch, firstChild);
    EXPECT_LT(lastChild, closing);
}

// The copy's log when its token was still not elevated.
// The log writes a line break inside a message as "?".
std::string loggedArguments(const std::vector<std::wstring>& args) {
    std::string line = "Arguments: " + u8(joined(args));
    std::replace(line.begin(), line.end(), '\n', '?');
    return line;
}

std::vector<std::string> refusedCopyLog(const std::string& exe,
                                        const std::vector<std::wstring>& args) {
    return {std::string(60, '='),
            "QuillfenSchedulerHelper version 1.1.0 starting",
            "Executable: " + exe,
            loggedArguments(args),
            "Elevated token: no",
            kRelaunchedNotElevated,
            kResult5};
}

std::vector<std::string> parentBanner(const std::vector<std::wstring>& args) {
    return {std::string(60, '='), "QuillfenSchedulerHelper version 1.1.0 starting",
            "Executable: " + u8(helperExePath()), loggedArguments(args),
            "Elevated token: no"};
}

std::vector<std::string> concat(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The local application data folder reached through a detour, so that the staged paths
// the first process builds differ from the physical ones the copy is given.
std::wstring detouredLocalAppData(const TempDir& dir) {
    return dir.path() + L"\\detour\\..";
}

void expectStagedHelper(const Relaunch& r, const TempDir& dir, const std::wstring& localAppData) {
    EXPECT_FALSE(stagedSuffix(r.stagedHelper, u8(helperFolder(localAppData)),
                              "QuillfenSchedulerHelper-elevated-", ".exe", r.outcome.pid)
                     .empty())
        << r.stagedHelper;
    EXPECT_EQ(r.physicalHelper.substr(0, u8(helperFolder(dir.path())).size()),
              u8(helperFolder(dir.path())))
        << r.physicalHelper;
    EXPECT_EQ(r.stagedHelper.substr(r.stagedHelper.rfind('\\')),
              r.physicalHelper.substr(r.physicalHelper.rfind('\\')));
}

TEST(ElevationRelaunch, DeleteStagesOnlyTheHelperAndRelaysTheCopysCode) {
    TempDir dir;
    const std::wstring localAppData = detouredLocalAppData(dir);
    const std::vector<std::wstring> args = {L"delete"};
    Relaunch r = relaunch({.args = args, .localAppData = localAppData, .limitedToken = true});
    ASSERT_TRUE(r.outcome.started) << r.outcome.startError;
    EXPECT_EQ(r.outcome.code(), 5);
    EXPECT_EQ(r.outcome.out, "QUILLFEN_HELPER_RESULT status=failure exitCode=5 message=The "
                             "scheduler helper was relaunched but did not receive an elevated "
                             "token.\r\n");
    expectStagedHelper(r, dir, localAppData);
    EXPECT_EQ(r.parent,
              concat(parentBanner(args),
                     {"Resolved staged helper path: " + r.stagedHelper + " -> " + r.physicalHelper,
                      kLaunching + r.physicalHelper, "Elevated child exited with code 5", kResult5,
                      "Helper exiting with code 5"}));
    ASSERT_NE(r.childPid, 0u);
    EXPECT_EQ(r.child, refusedCopyLog(r.physicalHelper, args));
    expectChildInsideParent(r);
    EXPECT_TRUE(filesIn(helperFolder(dir.path())).empty());
}

TEST(ElevationRelaunch, UnknownWordAndHostileOperandsReachTheCopyAsGiven) {
    TempDir dir;
    const std::vector<std::wstring> args = {
        L"Frobnicate", L"a \"quoted\" word",           L"C:\\trailing\\", L"C:\\with space\\",
        L"two\nlines", L"\" --elevation-attempted \"", L"\\\\\"",         L""};
    Relaunch r = relaunch({.args = args, .localAppData = dir.path(), .limitedToken = true});
    ASSERT_TRUE(r.outcome.started) << r.outcome.startError;
    EXPECT_EQ(r.outcome.code(), 5);
    expectStagedHelper(r, dir, dir.path());
    EXPECT_EQ(r.parent,
              concat(parentBanner(args),
                     {"Resolved staged helper path: " + r.stagedHelper + " -> " + r.physicalHelper,
                      kLaunching + r.physicalHelper, "Elevated child exited with code 5", kResult5,
                      "Helper exiting with code 5"}));
    ASSERT_NE(r.childPid, 0u);
    // The copy splits its command line into exactly the list it was given.
    EXPECT_EQ(r.child, refusedCopyLog(r.physicalHelper, args));
    EXPECT_TRUE(filesIn(helperFolder(dir.path())).empty());
}

TEST(ElevationRelaunch, CreateXmlHandsTheCopyThePhysicalStagedInput) {
    TempDir dir;
    const std::wstring localAppData = detouredLocalAppData(dir);
    const std::wstring input = dir / L"my task.xml";
    ASSERT_TRUE(writeFile(input, "<Task/>"));
    for (const wchar_t* word : {L"create-xml", L"Create-XML"}) {
        SCOPED_TRACE(u8(word));
        DeleteFileW(logFilePath(localAppData).c_str());
        const std::vector<std::wstring> args = {word, input};
        Relaunch r = relaunch({.args = args, .localAppData = localAppData, .limitedToken = true});
        ASSERT_TRUE(r.outcome.started) << r.outcome.startError;
        EXPECT_EQ(r.outcome.code(), 5);
        expectStagedHelper(r, dir, localAppData);
        auto staged = arrowParts(r.parent, "Staged scheduler XML for elevation: ");
        ASSERT_EQ(staged.size(), 3u);
        EXPECT_EQ(staged[0], u8(input));
        const std::string suffix =
            stagedSuffix(r.stagedHelper, u8(helperFolder(localAppData)),
                         "QuillfenSchedulerHelper-elevated-", ".exe", r.outcome.pid);
        EXPECT_EQ(staged[1],
                  u8(helperFolder(localAppData)) + "\\scheduler-input-" + suffix + ".xml");
        EXPECT_EQ(staged[2], u8(helperFolder(dir.path())) + "\\scheduler-input-" + suffix + ".xml");
        EXPECT_EQ(
            r.parent,
            concat(parentBanner(args),
                   {"Resolved staged helper path: " + r.stagedHelper + " -> " + r.physicalHelper,
                    "Staged scheduler XML for elevation: " + staged[0] + " -> " + staged[1] +
                        " -> " + staged[2],
                    kLaunching + r.physicalHelper, "Elevated child exited with code 5", kResult5,
                    "Helper exiting with code 5"}));
        EXPECT_EQ(r.child, refusedCopyLog(r.physicalHelper, {word, fromUtf8(staged[2])}));
        expectChildInsideParent(r);
        EXPECT_TRUE(filesIn(helperFolder(dir.path())).empty());
        EXPECT_EQ(readFile(input), "<Task/>");
    }
}

TEST(ElevationRelaunch, ApplyTimesHandsTheCopyThePhysicalStagedOutput) {
    TempDir dir;
    const std::wstring localAppData = detouredLocalAppData(dir);
    const std::wstring output = dir / L"out dir\\result.xml";
    ASSERT_TRUE(writeFile(output, "previous"));
    // A times text that would smuggle in arguments if it were not quoted whole.
    const std::wstring times = L"07:30:00\" \"--elevation-attempted\\\" x\n";
    const std::vector<std::wstring> args = {L"apply-times", times, output};
    Relaunch r = relaunch({.args = args, .localAppData = localAppData, .limitedToken = true});
    ASSERT_TRUE(r.outcome.started) << r.outcome.startError;
    EXPECT_EQ(r.outcome.code(), 5);
    expectStagedHelper(r, dir, localAppData);
    const std::string suffix =
        stagedSuffix(r.stagedHelper, u8(helperFolder(localAppData)),
                     "QuillfenSchedulerHelper-elevated-", ".exe", r.outcome.pid);
    const std::string stagedOutput =
        u8(helperFolder(localAppData)) + "\\scheduler-output-" + suffix + ".xml";
    const std::string physicalOutput =
        u8(helperFolder(dir.path())) + "\\scheduler-output-" + suffix + ".xml";
    EXPECT_EQ(r.parent,
              concat(parentBanner(args),
                     {"Resolved staged helper path: " + r.stagedHelper + " -> " + r.physicalHelper,
                      "Using staged scheduler query output for elevation: " + stagedOutput +
                          " -> " + physicalOutput,
                      kLaunching + r.physicalHelper, "Elevated child exited with code 5", kResult5,
                      "Helper exiting with code 5"}));
    EXPECT_EQ(r.child,
              refusedCopyLog(r.physicalHelper, {L"apply-times", times, fromUtf8(physicalOutput)}));
    expectChildInsideParent(r);
    EXPECT_TRUE(filesIn(helperFolder(dir.path())).empty());
    // Only a copy that ended with 0 may touch the caller's file.
    EXPECT_EQ(readFile(output), "previous");
}

TEST(ElevationRelaunch, ApplyTimesWithEmptyOutputIsLeftForTheCopyToRefuse) {
    TempDir dir;
    const std::vector<std::wstring> args = {L"apply-times", L"07:30:00", L""};
    Relaunch r = relaunch({.args = args, .localAppData = dir.path(), .limitedToken = true});
    ASSERT_TRUE(r.outcome.started) << r.outcome.startError;
    EXPECT_EQ(r.outcome.code(), 5);
    EXPECT_TRUE(arrowParts(r.parent, "Using staged scheduler query output").empty());
    EXPECT_EQ(r.child, refusedCopyLog(r.physicalHelper, args));
    EXPECT_TRUE(filesIn(helperFolder(dir.path())).empty());
}

TEST(ElevationStaging, MissingCreateXmlInputGives3AndRemovesTheStagedHelper) {
    TempDir dir;
    for (const std::wstring& input : {dir / L"missing.xml", dir / L"no folder\\missing.xml"}) {
        SCOPED_TRACE(u8(input));
        DeleteFileW(logFilePath(dir.path()).c_str());
        Relaunch r = relaunch(
            {.args = {L"create-xml", input}, .localAppData = dir.path(), .limitedToken = true});
        ASSERT_TRUE(r.outcome.started) << r.outcome.startError;
        EXPECT_EQ(r.outcome.code(), 3);
        EXPECT_EQ(r.outcome.out, "QUILLFEN_HELPER_RESULT status=failure exitCode=3 message=The "
                                 "scheduler XML input file was not found.\r\n");
        const std::string prefix = "Could not stage scheduler XML from " + u8(input) + ": ";
        ASSERT_TRUE(startsWith(r.outcome.err, prefix)) << r.outcome.err;
        EXPECT_GT(r.outcome.err.size(), prefix.size() + 2);
        const std::string message = r.outcome.err.substr(0, r.outcome.err.size() - 2);
        EXPECT_EQ(r.outcome.err, message + "\r\n");
        EXPECT_EQ(r.childPid, 0u);
        EXPECT_EQ(r.parent, concat(parentBanner({L"create-xml", input}),
                                   {"Resolved staged helper path: " + r.stagedHelper + " -> " +
                                        r.physicalHelper,
                                    message,
                                    "Result status=failure exitCode=3 message=The scheduler XML "
                                    "input file was not found.",
                                    "Helper exiting with code 3"}));
        EXPECT_TRUE(filesIn(helperFolder(dir.path())).empty());
    }
}

TEST(ElevationStaging, UnreadableCreateXmlInputGives6) {
    TempDir dir;
    const std::wstring input = dir / L"locked.xml";
    ASSERT_TRUE(writeFile(input, "<Task/>"));
    // Held without sharing: it exists, but nobody else can read it.
    HANDLE lock = CreateFileW(input.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(lock, INVALID_HANDLE_VALUE);
    Relaunch r = relaunch(
        {.args = {L"create-xml", input}, .localAppData = dir.path(), .limitedToken = true});
    CloseHandle(lock);
    ASSERT_TRUE(r.outcome.started) << r.outcome.startError;
    EXPECT_EQ(r.outcome.code(), 6);
    EXPECT_TRUE(startsWith(r.outcome.err, "Could not stage scheduler XML from " + u8(input) + ": "))
        << r.outcome.err;
    EXPECT_EQ(r.childPid, 0u);
    EXPECT_TRUE(filesIn(helperFolder(dir.path())).empty());
}

TEST(ElevationStaging, StagingFolderThatIsAFileGives6) {
    TempDir dir;
    ASSERT_TRUE(writeFile(dir / L"Quillfen\\helper", "not a folder"));
    Relaunch r = relaunch({.args = {L"delete"}, .localAppData = dir.path(), .limitedToken = true});
    ASSERT_TRUE(r.outcome.started) << r.outcome.startError;
    EXPECT_EQ(r.outcome.code(), 6);
    ASSERT_GE(r.parent.size(), 6u);
    const std::string prefix =
        "Unable to create elevation staging directory: " + u8(helperFolder(dir.path())) +
        "; error=";
    EXPECT_TRUE(startsWith(r.parent[5], prefix)) << r.parent[5];
    EXPECT_NE(r.parent[5].substr(prefix.size()), "0");
    EXPECT_EQ(r.childPid, 0u);
}

// The driver stands in for the helper's own entry: it stages the executable it is given.
HelperRun driverRun(const std::wstring& localAppData, const std::wstring& helper,
                    std::vector<std::wstring> args) {
    args.insert(args.begin(), helper);
    return {.args = args, .localAppData = localAppData, .exePath = driverExePath()};
}

TEST(ElevationStaging, HelperThatCannotBeCopiedOrStartedIsReported) {
    TempDir dir;
    {
        Relaunch r = relaunch(driverRun(dir.path(), L"", {L"delete"}));
        ASSERT_TRUE(r.outcome.started) << r.outcome.startError;
        EXPECT_EQ(r.outcome.code(), 6);
        ASSERT_FALSE(r.parent.empty());
        EXPECT_EQ(r.parent[0], "Unable to resolve helper executable path for elevation.");
    }
    {
        DeleteFileW(logFilePath(dir.path()).c_str());
        Relaunch r = relaunch(driverRun(dir.path(), dir / L"gone.exe", {L"delete"}));
        EXPECT_EQ(r.outcome.code(), 6);
        ASSERT_FALSE(r.parent.empty());
        EXPECT_TRUE(startsWith(r.parent[0], "CopyFileW failed while staging helper: "))
            << r.parent[0];
        EXPECT_EQ(r.parent.size(), 2u); // the failure and the result line
    }
    {
        // Copied fine, but no program: the launch itself fails.
        DeleteFileW(logFilePath(dir.path()).c_str());
        ASSERT_TRUE(writeFile(dir / L"not-a-program.exe", "plain text"));
        Relaunch r = relaunch(driverRun(dir.path(), dir / L"not-a-program.exe", {L"delete"}));
        EXPECT_EQ(r.outcome.code(), 7);
        EXPECT_EQ(r.outcome.out, "QUILLFEN_HELPER_RESULT status=failure exitCode=7 "
                                 "message=The scheduler helper could not launch or monitor its "
                                 "elevated process.\r\n");
        ASSERT_EQ(r.parent.size(), 4u);
        EXPECT_EQ(r.parent[1], kLaunching + r.physicalHelper);
        EXPECT_TRUE(startsWith(r.parent[2], "ShellExecuteExW(runas) failed: ")) << r.parent[2];
        EXPECT_EQ(r.childPid, 0u);
    }
    EXPECT_TRUE(filesIn(helperFolder(dir.path())).empty());
}

struct ElevatedApplyTimes {
    TempDir dir;
    std::wstring tasks = dir / L"tasks";
    std::wstring output = dir / L"caller view\\task.xml";

    ElevatedApplyTimes() {
        CreateDirectoryW(tasks.c_str(), nullptr);
        writeFile(output, "previous");
    }
    HelperRun run(std::vector<std::pair<std::wstring, std::wstring>> env = {}) const {
        HelperRun r = driverRun(dir.path(), helperExePath(), {L"apply-times", L"07:30:00", output});
        env.emplace_back(L"QSH_STANDIN_TASKS_DIR", tasks);
        r.env = env;
        return r;
    }
    std::string stagedOutput(const Relaunch& r) const {
        auto parts = arrowParts(r.parent, "Using staged scheduler query output for elevation: ");
        return parts.size() == 2 ? parts[1] : std::string();
    }
};

TEST(ElevationElevatedCopy, ApplyTimesOutputIsCopiedBackToTheCaller) {
    ElevatedApplyTimes fixture;
    Relaunch r = relaunch(fixture.run());
    ASSERT_TRUE(r.outcome.started) << r.outcome.startError;
    EXPECT_EQ(r.outcome.code(), 0) << r.outcome.err;
    EXPECT_EQ(r.outcome.out, "QUILLFEN_HELPER_RESULT status=success exitCode=0 "
                             "message=Completed request to apply the Windows scheduled task "
                             "times.\r\n");
    const std::string physicalOutput = fixture.stagedOutput(r);
    ASSERT_FALSE(physicalOutput.empty());
    ASSERT_NE(r.childPid, 0u);
    ASSERT_GE(r.child.size(), 5u);
    EXPECT_EQ(r.child[3],
              "Arguments: apply-times 07:30:00 " + u8(quoteArgument(fromUtf8(physicalOutput))));
    EXPECT_EQ(r.child[4], "Elevated token: yes");
    EXPECT_NE(std::find(r.child.begin(), r.child.end(),
                        "Applied 1 daily trigger(s) and wrote task XML to " + physicalOutput),
              r.child.end());
    ASSERT_GE(r.parent.size(), 4u);
    EXPECT_EQ(std::vector<std::string>(r.parent.end() - 3, r.parent.end()),
              (std::vector<std::string>{
                  "Copied staged scheduler query output into the packaged app view: " +
                      u8(fixture.output),
                  "Elevated child exited with code 0",
                  "Result status=success exitCode=0 message=Completed request to apply the "
                  "Windows scheduled task times."}));
    expectChildInsideParent(r);
    auto xml = readFile(fixture.output);
    ASSERT_TRUE(xml.has_value());
    EXPECT_NE(*xml, "previous");
    EXPECT_NE(xml->find("UTF-8"), std::string::npos) << *xml;
    EXPECT_NE(xml->find("T07:30:00"), std::string::npos) << *xml;
    EXPECT_TRUE(filesIn(helperFolder(fixture.dir.path())).empty());
}

TEST(ElevationElevatedCopy, FailingCopyLeavesTheCallersFileAlone) {
    ElevatedApplyTimes fixture;
    Relaunch r =
        relaunch(fixture.run({{L"QSH_STANDIN_TS_FAIL", L"ITaskService::Connect:80070005"}}));
    ASSERT_TRUE(r.outcome.started) << r.outcome.startError;
    EXPECT_EQ(r.outcome.code(), 1);
    EXPECT_EQ(r.outcome.out, "QUILLFEN_HELPER_RESULT status=failure exitCode=1 message=Could not "
                             "apply the Windows scheduled task times. Exit code 1.\r\n");
    ASSERT_GE(r.parent.size(), 2u);
    EXPECT_EQ(r.parent[r.parent.size() - 2], "Elevated child exited with code 1");
    for (const auto& m : r.parent) {
        EXPECT_FALSE(startsWith(m, "Copied staged")) << m;
    }
    EXPECT_EQ(readFile(fixture.output), "previous");
    EXPECT_TRUE(filesIn(helperFolder(fixture.dir.path())).empty());
}

TEST(ElevationElevatedCopy, CopyBackFailureGives4) {
    ElevatedApplyTimes fixture;
    fixture.output = fixture.dir / L"no such folder\\task.xml";
    Relaunch r = relaunch(fixture.run());
    ASSERT_TRUE(r.outcome.started) << r.outcome.startError;
    EXPECT_EQ(r.outcome.code(), 4);
    const std::string prefix =
        "Could not copy the staged scheduler query to " + u8(fixture.output) + ": ";
    ASSERT_TRUE(startsWith(r.outcome.err, prefix)) << r.outcome.err;
    const std::string message = r.outcome.err.substr(0, r.outcome.err.size() - 2);
    ASSERT_GE(r.parent.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(r.parent.end() - 3, r.parent.end()),
              (std::vector<std::string>{
                  message, "Elevated child exited with code 4",
                  "Result status=failure exitCode=4 message=The scheduler XML could not be "
                  "decoded, validated, normalized, or written."}));
    // The copy itself succeeded; only the way back failed.
    ASSERT_GE(r.child.size(), 2u);
    EXPECT_TRUE(startsWith(r.child[r.child.size() - 2], "Result status=success exitCode=0 "));
    EXPECT_FALSE(fileExists(fixture.output));
    EXPECT_TRUE(filesIn(helperFolder(fixture.dir.path())).empty());
}

TEST(ElevationElevatedCopy, AnyCodeOfTheCopyIsRelayedAndTheHeldOutputStays) {
    ElevatedApplyTimes fixture;
    // The driver staged as the helper: its copy fails to delete the held output and crashes.
    HelperRun run = driverRun(fixture.dir.path(), driverExePath(),
                              {L"apply-times", L"07:30:00", fixture.output});
    run.env = {{L"QSH_STAGE_DRIVER_EXIT", L"0xC0000005"}};
    Relaunch r = relaunch(run);
    ASSERT_TRUE(r.outcome.started) << r.outcome.startError;
    EXPECT_EQ(r.outcome.exitCode, 0xC0000005u);
    EXPECT_EQ(r.outcome.out, "QUILLFEN_HELPER_RESULT status=failure exitCode=-1073741819 "
                             "message=Could not apply the Windows scheduled task times. Exit code "
                             "-1073741819.\r\n");
    ASSERT_EQ(r.parent.size(), 5u);
    EXPECT_TRUE(startsWith(r.parent[1], "Using staged scheduler query output for elevation: "));
    EXPECT_EQ(r.parent[3], "Elevated child exited with code 3221225477");
    EXPECT_EQ(readFile(fixture.output), "previous");
    EXPECT_TRUE(filesIn(helperFolder(fixture.dir.path())).empty());
}

TEST(ElevationElevatedCopySlow, CopyPastTheTimeLimitIsEndedWith1460) {
    ElevatedApplyTimes fixture;
    Relaunch r = relaunch(fixture.run({{L"QSH_STANDIN_TS_HANG", L"ITaskService::Connect"}}));
    ASSERT_TRUE(r.outcome.started) << r.outcome.startError;
    EXPECT_EQ(r.outcome.code(), 1460);
    EXPECT_EQ(r.outcome.out, "QUILLFEN_HELPER_RESULT status=failure exitCode=1460 message=The "
                             "scheduler helper timed out while attempting to apply the Windows "
                             "scheduled task times.\r\n");
    ASSERT_GE(r.parent.size(), 2u);
    EXPECT_EQ(r.parent[r.parent.size() - 2], "Elevated helper timed out.");
    for (const auto& m : r.parent) {
        EXPECT_FALSE(startsWith(m, "Elevated child exited")) << m;
        EXPECT_FALSE(startsWith(m, "Could not remove staged file")) << m;
    }
    // The copy is gone, and with it the lock on its image: nothing is left staged.
    ASSERT_NE(r.childPid, 0u);
    HANDLE copy = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, r.childPid);
    if (copy != nullptr) {
        EXPECT_EQ(WaitForSingleObject(copy, 0), WAIT_OBJECT_0);
        DWORD code = 0;
        GetExitCodeProcess(copy, &code);
        EXPECT_EQ(code, 1460u);
        CloseHandle(copy);
    }
    EXPECT_EQ(readFile(fixture.output), "previous");
    EXPECT_TRUE(filesIn(helperFolder(fixture.dir.path())).empty());
}

} // namespace
