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
#include <string>
#include <vector>

#include "diag/unique_handle.h"
#include "sandbox.h"

namespace {

using namespace qsh::testing;

const std::string kRelaunchedNotElevated =
    "The helper was relaunched with the runas verb but still does not have an elevated token.";
const std::string kNoElevatedToken =
    "The scheduler helper was relaunched but did not receive an elevated token.";
const std::string kLaunching =
    "Process is not elevated. Launching staged helper with the runas verb: ";
const std::string kApplied = "Completed request to apply the Windows scheduled task times.";

std::string u8(const std::wstring& text) {
    return toUtf8(text);
}

std::wstring driverExePath() {
    return moduleDirectory() + L"qsh-stage-driver.exe";
}

// "Label: A -> B [-> C]" from the first message of the log that starts with the label.
std::vector<std::string> arrowParts(const std::vector<std::string>& messages,
                                    const std::string& label) {
    for (const auto& m : messages) {
        if (m.starts_with(label)) {
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
    if (!path.starts_with(prefix) || path.size() <= prefix.size() + extension.size() ||
        !path.ends_with(extension)) {
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

Relaunch relaunch(const Sandbox& box, const HelperRun& run) {
    Relaunch r;
    r.outcome = box.start(run);
    r.log = readLog(box.localAppData());
    r.log.erase(r.log.begin(), r.log.begin() + std::min(r.outcome.logFrom, r.log.size()));
    for (const auto& entry : r.log) {
        if (entry.pid != 0 && entry.pid != r.outcome.pid) {
            r.childPid = entry.pid;
            break;
        }
    }
    r.parent = box.logOf(r.outcome);
    r.child = box.logOfOthers(r.outcome);
    auto helper = arrowParts(r.parent, "Resolved staged helper path: ");
    if (helper.size() == 2) {
        r.stagedHelper = helper[0];
        r.physicalHelper = helper[1];
    }
    return r;
}

// A limited (non-elevated) helper in the sandbox; `localAppData` may reach the sandbox's
// folder through a detour.
HelperRun limited(const Sandbox& box, std::vector<std::wstring> args,
                  std::optional<std::wstring> localAppData = std::nullopt) {
    HelperRun run = box.request(std::move(args));
    run.localAppData = localAppData.value_or(box.localAppData());
    run.limitedToken = true;
    return run;
}

// Every line of the copy lies between the parent's launch line and its closing lines,
// and no third process took part.
void expectChildInsideParent(const Relaunch& r) {
    std::size_t launch = r.log.size(), firstChild = r.log.size(), lastChild = 0;
    std::size_t closing = r.log.size();
    for (std::size_t i = 0; i < r.log.size(); ++i) {
        const LogEntry& e = r.log[i];
        EXPECT_TRUE(e.pid == r.outcome.pid || e.pid == r.childPid) << e.raw;
        if (e.pid == r.outcome.pid && e.message.starts_with(kLaunching)) {
            launch = i;
        }
        if (e.pid == r.outcome.pid && e.message.starts_with("Elevated child exited with code ")) {
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

// The copy's log when its token was still not elevated; `arguments` as the copy logs them.
std::vector<Line> refusedCopyLog(const std::string& exe, const std::string& arguments) {
    return {"QuillfenSchedulerHelper version 1.1.0 starting",
            "Executable: " + exe,
            "Arguments: " + arguments,
            "Elevated token: no",
            kRelaunchedNotElevated,
            logResult(5, kNoElevatedToken)};
}

// The first process's log around a copy that ended with 5.
std::vector<Line> relayedFive(const Relaunch& r, const std::string& arguments) {
    return {"Executable: " + u8(helperExePath()),
            "Arguments: " + arguments,
            "Elevated token: no",
            "Resolved staged helper path: " + r.stagedHelper + " -> " + r.physicalHelper,
            kLaunching + r.physicalHelper,
            "Elevated child exited with code 5",
            logResult(5, kNoElevatedToken),
            "Helper exiting with code 5"};
}

// The local application data folder reached through a detour, so that the staged paths
// the first process builds differ from the physical ones the copy is given.
std::wstring detoured(const Sandbox& box) {
    return box.localAppData() + L"\\detour\\..";
}

void expectStagedHelper(const Relaunch& r, const Sandbox& box, const std::wstring& localAppData) {
    EXPECT_FALSE(stagedSuffix(r.stagedHelper, u8(localAppData + L"\\Quillfen\\helper"),
                              "QuillfenSchedulerHelper-elevated-", ".exe", r.outcome.pid)
                     .empty())
        << r.stagedHelper;
    EXPECT_EQ(r.physicalHelper.substr(0, u8(box.helperFolder()).size()), u8(box.helperFolder()))
        << r.physicalHelper;
    EXPECT_EQ(r.stagedHelper.substr(r.stagedHelper.rfind('\\')),
              r.physicalHelper.substr(r.physicalHelper.rfind('\\')));
}

using ElevationRelaunch = SandboxTest;
using ElevationStaging = SandboxTest;
using ElevationElevatedCopy = SandboxTest;
using ElevationElevatedCopySlow = SandboxTest;

TEST_F(ElevationRelaunch, DeleteStagesOnlyTheHelperAndRelaysTheCopysCode) {
    Relaunch r = relaunch(*this, limited(*this, {L"delete"}, detoured(*this)));
    EXPECT_EQ(r.outcome.code(), 5);
    EXPECT_EQ(r.outcome.out, resultLine(5, kNoElevatedToken));
    expectStagedHelper(r, *this, detoured(*this));
    EXPECT_TRUE(linesInOrder(r.parent, relayedFive(r, "delete")));
    ASSERT_NE(r.childPid, 0u);
    EXPECT_TRUE(linesInOrder(r.child, refusedCopyLog(r.physicalHelper, "delete")));
    expectChildInsideParent(r);
    EXPECT_TRUE(filesIn(helperFolder()).empty());
}

TEST_F(ElevationRelaunch, UnknownWordAndHostileOperandsReachTheCopyAsGiven) {
    const std::vector<std::wstring> args = {
        L"Frobnicate", L"a \"quoted\" word",           L"C:\\trailing\\", L"C:\\with space\\",
        L"two\nlines", L"\" --elevation-attempted \"", L"\\\\\"",         L""};
    Relaunch r = relaunch(*this, limited(*this, args));
    EXPECT_EQ(r.outcome.code(), 5);
    expectStagedHelper(r, *this, localAppData());
    const std::string arguments = "Frobnicate \"a \\\"quoted\\\" word\" C:\\trailing\\ "
                                  "\"C:\\with space\\\\\" \"two?lines\" "
                                  "\"\\\" --elevation-attempted \\\"\" \"\\\\\\\\\\\"\" \"\"";
    EXPECT_TRUE(linesInOrder(r.parent, relayedFive(r, arguments)));
    ASSERT_NE(r.childPid, 0u);
    // The copy splits its command line into exactly the list it was given.
    EXPECT_TRUE(linesInOrder(r.child, refusedCopyLog(r.physicalHelper, arguments)));
    EXPECT_TRUE(filesIn(helperFolder()).empty());
}

TEST_F(ElevationRelaunch, CreateXmlHandsTheCopyThePhysicalStagedInput) {
    const std::wstring input = files / L"my task.xml";
    ASSERT_TRUE(writeFile(input, "<Task/>"));
    const std::string staging = u8(detoured(*this) + L"\\Quillfen\\helper");
    for (const wchar_t* word : {L"create-xml", L"Create-XML"}) {
        SCOPED_TRACE(u8(word));
        Relaunch r = relaunch(*this, limited(*this, {word, input}, detoured(*this)));
        EXPECT_EQ(r.outcome.code(), 5);
        expectStagedHelper(r, *this, detoured(*this));
        const std::string suffix = stagedSuffix(
            r.stagedHelper, staging, "QuillfenSchedulerHelper-elevated-", ".exe", r.outcome.pid);
        const std::string staged = staging + "\\scheduler-input-" + suffix + ".xml";
        const std::string physical = u8(helperFolder()) + "\\scheduler-input-" + suffix + ".xml";
        EXPECT_TRUE(linesInOrder(
            r.parent, {"Arguments: " + u8(word) + " \"" + u8(input) + "\"",
                       "Resolved staged helper path: " + r.stagedHelper + " -> " + r.physicalHelper,
                       "Staged scheduler XML for elevation: " + u8(input) + " -> " + staged +
                           " -> " + physical,
                       kLaunching + r.physicalHelper, "Elevated child exited with code 5",
                       logResult(5, kNoElevatedToken), "Helper exiting with code 5"}));
        EXPECT_TRUE(linesInOrder(
            r.child, refusedCopyLog(r.physicalHelper, u8(word) + " \"" + physical + "\"")));
        expectChildInsideParent(r);
        EXPECT_TRUE(filesIn(helperFolder()).empty());
        EXPECT_EQ(readFile(input), "<Task/>");
    }
}

TEST_F(ElevationRelaunch, ApplyTimesHandsTheCopyThePhysicalStagedOutput) {
    const std::wstring output = files / L"out dir\\result.xml";
    ASSERT_TRUE(writeFile(output, "previous"));
    // A times text that would smuggle in arguments if it were not quoted whole.
    const std::wstring times = L"07:30:00\" \"--elevation-attempted\\\" x\n";
    // The log shows the line feed as "?".
    const std::string quotedTimes = "\"07:30:00\\\" \\\"--elevation-attempted\\\\\\\" x?\"";
    Relaunch r = relaunch(*this, limited(*this, {L"apply-times", times, output}, detoured(*this)));
    EXPECT_EQ(r.outcome.code(), 5);
    expectStagedHelper(r, *this, detoured(*this));
    const std::string staging = u8(detoured(*this) + L"\\Quillfen\\helper");
    const std::string suffix = stagedSuffix(
        r.stagedHelper, staging, "QuillfenSchedulerHelper-elevated-", ".exe", r.outcome.pid);
    const std::string stagedOutput = staging + "\\scheduler-output-" + suffix + ".xml";
    const std::string physicalOutput = u8(helperFolder()) + "\\scheduler-output-" + suffix + ".xml";
    EXPECT_TRUE(linesInOrder(
        r.parent, {"Arguments: apply-times " + quotedTimes + " \"" + u8(output) + "\"",
                   "Resolved staged helper path: " + r.stagedHelper + " -> " + r.physicalHelper,
                   "Using staged scheduler query output for elevation: " + stagedOutput + " -> " +
                       physicalOutput,
                   kLaunching + r.physicalHelper, "Elevated child exited with code 5",
                   logResult(5, kNoElevatedToken), "Helper exiting with code 5"}));
    EXPECT_TRUE(
        linesInOrder(r.child, refusedCopyLog(r.physicalHelper, "apply-times " + quotedTimes +
                                                                   " \"" + physicalOutput + "\"")));
    expectChildInsideParent(r);
    EXPECT_TRUE(filesIn(helperFolder()).empty());
    // Only a copy that ended with 0 may touch the caller's file.
    EXPECT_EQ(readFile(output), "previous");
}

TEST_F(ElevationRelaunch, ApplyTimesWithEmptyOutputIsLeftForTheCopyToRefuse) {
    Relaunch r = relaunch(*this, limited(*this, {L"apply-times", L"07:30:00", L""}));
    EXPECT_EQ(r.outcome.code(), 5);
    EXPECT_FALSE(hasLine(r.parent, startsWith("Using staged scheduler query output")));
    EXPECT_TRUE(
        linesInOrder(r.child, refusedCopyLog(r.physicalHelper, "apply-times 07:30:00 \"\"")));
    EXPECT_TRUE(filesIn(helperFolder()).empty());
}

TEST_F(ElevationStaging, MissingCreateXmlInputGives3AndRemovesTheStagedHelper) {
    const std::string notFound = "The scheduler XML input file was not found.";
    for (const std::wstring& input : {files / L"missing.xml", files / L"no folder\\missing.xml"}) {
        SCOPED_TRACE(u8(input));
        Relaunch r = relaunch(*this, limited(*this, {L"create-xml", input}));
        EXPECT_EQ(r.outcome.code(), 3);
        EXPECT_EQ(r.outcome.out, resultLine(3, notFound));
        const std::string prefix = "Could not stage scheduler XML from " + u8(input) + ": ";
        ASSERT_TRUE(r.outcome.err.starts_with(prefix)) << r.outcome.err;
        EXPECT_GT(r.outcome.err.size(), prefix.size() + 2);
        const std::string message = r.outcome.err.substr(0, r.outcome.err.size() - 2);
        EXPECT_EQ(r.outcome.err, message + "\r\n");
        EXPECT_EQ(r.childPid, 0u);
        EXPECT_TRUE(linesInOrder(
            r.parent, {"Elevated token: no",
                       "Resolved staged helper path: " + r.stagedHelper + " -> " + r.physicalHelper,
                       message, logResult(3, notFound), "Helper exiting with code 3"}));
        EXPECT_FALSE(hasLine(r.parent, startsWith(kLaunching)));
        EXPECT_TRUE(filesIn(helperFolder()).empty());
    }
}

TEST_F(ElevationStaging, UnreadableCreateXmlInputGives6) {
    const std::wstring input = files / L"locked.xml";
    ASSERT_TRUE(writeFile(input, "<Task/>"));
    // Held without sharing: it exists, but nobody else can read it.
    qsh::UniqueHandle lock(CreateFileW(input.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(lock);
    Relaunch r = relaunch(*this, limited(*this, {L"create-xml", input}));
    lock.reset();
    EXPECT_EQ(r.outcome.code(), 6);
    EXPECT_TRUE(r.outcome.err.starts_with("Could not stage scheduler XML from " + u8(input) + ": "))
        << r.outcome.err;
    EXPECT_EQ(r.childPid, 0u);
    EXPECT_TRUE(filesIn(helperFolder()).empty());
}

TEST_F(ElevationStaging, StagingFolderThatIsAFileGives6) {
    ASSERT_TRUE(writeFile(helperFolder(), "not a folder"));
    Relaunch r = relaunch(*this, limited(*this, {L"delete"}));
    EXPECT_EQ(r.outcome.code(), 6);
    const std::string prefix =
        "Unable to create elevation staging directory: " + u8(helperFolder()) + "; error=";
    EXPECT_TRUE(linesInOrder(r.parent, {"Elevated token: no", startsWith(prefix)}));
    EXPECT_FALSE(hasLine(r.parent, prefix + "0"));
    EXPECT_EQ(r.childPid, 0u);
}

// The driver stands in for the helper's own entry: it stages the executable it is given.
HelperRun driverRun(const Sandbox& box, const std::wstring& helper, std::vector<std::wstring> args,
                    const Switches& env = {}) {
    args.insert(args.begin(), helper);
    HelperRun run = box.request(std::move(args), env);
    run.exePath = driverExePath();
    return run;
}

TEST_F(ElevationStaging, HelperThatCannotBeCopiedOrStartedIsReported) {
    {
        Relaunch r = relaunch(*this, driverRun(*this, L"", {L"delete"}));
        EXPECT_EQ(r.outcome.code(), 6);
        EXPECT_TRUE(
            linesInOrder(r.parent, {"Unable to resolve helper executable path for elevation."}));
    }
    {
        Relaunch r = relaunch(*this, driverRun(*this, files / L"gone.exe", {L"delete"}));
        EXPECT_EQ(r.outcome.code(), 6);
        EXPECT_TRUE(
            linesInOrder(r.parent, {startsWith("CopyFileW failed while staging helper: "),
                                    logResult(6, "The scheduler helper could not stage itself for "
                                                 "elevation.")}));
        EXPECT_FALSE(hasLine(r.parent, startsWith(kLaunching)));
    }
    {
        // Copied fine, but no program: the launch itself fails.
        ASSERT_TRUE(writeFile(files / L"not-a-program.exe", "plain text"));
        Relaunch r = relaunch(*this, driverRun(*this, files / L"not-a-program.exe", {L"delete"}));
        const std::string message =
            "The scheduler helper could not launch or monitor its elevated process.";
        EXPECT_EQ(r.outcome.code(), 7);
        EXPECT_EQ(r.outcome.out, resultLine(7, message));
        EXPECT_TRUE(linesInOrder(r.parent, {kLaunching + r.physicalHelper,
                                            startsWith("ShellExecuteExW(runas) failed: "),
                                            logResult(7, message)}));
        EXPECT_EQ(r.childPid, 0u);
    }
    {
        // The user refused the consent prompt: the helper says so with 1223, not 7.
        Relaunch r = relaunch(*this, driverRun(*this, helperExePath(), {L"delete"},
                                               {{L"QSH_STAGE_DRIVER_REFUSE", L"1223"}}));
        const std::string message = "The Windows administrator prompt was cancelled.";
        EXPECT_EQ(r.outcome.code(), 1223);
        EXPECT_EQ(r.outcome.out, resultLine(1223, message));
        EXPECT_TRUE(linesInOrder(r.parent, {kLaunching + r.physicalHelper,
                                            "ShellExecuteExW(runas) failed: " + systemText(1223),
                                            logResult(1223, message)}));
        EXPECT_EQ(r.childPid, 0u);
    }
    EXPECT_TRUE(filesIn(helperFolder()).empty());
}

// An elevated driver relaunches the real helper for apply-times; the caller's output file
// already holds an earlier export.
std::wstring callerOutput(const Sandbox& box) {
    return box.files / L"caller view\\task.xml";
}

HelperRun elevatedApplyTimes(const Sandbox& box, const Switches& env = {},
                             std::optional<std::wstring> output = std::nullopt) {
    if (!output) {
        writeFile(callerOutput(box), "previous");
    }
    return driverRun(box, helperExePath(),
                     {L"apply-times", L"07:30:00", output.value_or(callerOutput(box))}, env);
}

std::string stagedOutput(const Relaunch& r) {
    auto parts = arrowParts(r.parent, "Using staged scheduler query output for elevation: ");
    return parts.size() == 2 ? parts[1] : std::string();
}

TEST_F(ElevationElevatedCopy, ApplyTimesOutputIsCopiedBackToTheCaller) {
    Relaunch r = relaunch(*this, elevatedApplyTimes(*this));
    EXPECT_EQ(r.outcome.code(), 0) << r.outcome.err;
    EXPECT_EQ(r.outcome.out, resultLine(0, kApplied));
    const std::string physicalOutput = stagedOutput(r);
    ASSERT_FALSE(physicalOutput.empty());
    ASSERT_NE(r.childPid, 0u);
    EXPECT_TRUE(linesInOrder(
        r.child,
        {"Arguments: apply-times 07:30:00 \"" + physicalOutput + "\"", "Elevated token: yes",
         "Applied 1 daily trigger(s) and wrote task XML to " + physicalOutput}));
    EXPECT_TRUE(linesInOrder(r.parent,
                             {"Copied staged scheduler query output into the packaged app view: " +
                                  u8(callerOutput(*this)),
                              "Elevated child exited with code 0", logResult(0, kApplied)}));
    expectChildInsideParent(r);
    auto xml = readFile(callerOutput(*this));
    ASSERT_TRUE(xml.has_value());
    EXPECT_NE(*xml, "previous");
    EXPECT_NE(xml->find("UTF-8"), std::string::npos) << *xml;
    EXPECT_NE(xml->find("T07:30:00"), std::string::npos) << *xml;
    EXPECT_TRUE(filesIn(helperFolder()).empty());
}

TEST_F(ElevationElevatedCopy, FailingCopyLeavesTheCallersFileAlone) {
    Relaunch r = relaunch(*this, elevatedApplyTimes(*this, {{L"QSH_STANDIN_TS_FAIL",
                                                             L"ITaskService::Connect:80070005"}}));
    const std::string message = "Could not apply the Windows scheduled task times. Exit code 1.";
    EXPECT_EQ(r.outcome.code(), 1);
    EXPECT_EQ(r.outcome.out, resultLine(1, message));
    EXPECT_TRUE(
        linesInOrder(r.parent, {"Elevated child exited with code 1", logResult(1, message)}));
    EXPECT_FALSE(hasLine(r.parent, startsWith("Copied staged")));
    EXPECT_EQ(readFile(callerOutput(*this)), "previous");
    EXPECT_TRUE(filesIn(helperFolder()).empty());
}

TEST_F(ElevationElevatedCopy, CopyBackFailureGives4) {
    const std::wstring output = files / L"no such folder\\task.xml";
    Relaunch r = relaunch(*this, elevatedApplyTimes(*this, {}, output));
    EXPECT_EQ(r.outcome.code(), 4);
    const std::string prefix = "Could not copy the staged scheduler query to " + u8(output) + ": ";
    ASSERT_TRUE(r.outcome.err.starts_with(prefix)) << r.outcome.err;
    const std::string message = r.outcome.err.substr(0, r.outcome.err.size() - 2);
    EXPECT_TRUE(
        linesInOrder(r.parent, {message, "Elevated child exited with code 4",
                                logResult(4, "The scheduler XML could not be decoded, validated, "
                                             "normalized, or written.")}));
    // The copy itself succeeded; only the way back failed.
    EXPECT_TRUE(linesInOrder(r.child, {logResult(0, kApplied)}));
    EXPECT_FALSE(fileExists(output));
    EXPECT_TRUE(filesIn(helperFolder()).empty());
}

TEST_F(ElevationElevatedCopy, AnyCodeOfTheCopyIsRelayedAndTheHeldOutputStays) {
    // The driver staged as the helper: its copy fails to delete the held output and crashes.
    writeFile(callerOutput(*this), "previous");
    Relaunch r = relaunch(*this, driverRun(*this, driverExePath(),
                                           {L"apply-times", L"07:30:00", callerOutput(*this)},
                                           {{L"QSH_STAGE_DRIVER_EXIT", L"0xC0000005"}}));
    const std::string message =
        "Could not apply the Windows scheduled task times. Exit code -1073741819.";
    EXPECT_EQ(r.outcome.exitCode, 0xC0000005u);
    EXPECT_EQ(r.outcome.out, resultLine(-1073741819, message));
    EXPECT_TRUE(linesInOrder(
        r.parent, {startsWith("Using staged scheduler query output for elevation: "),
                   kLaunching + r.physicalHelper, "Elevated child exited with code 3221225477",
                   logResult(-1073741819, message)}));
    // The output was still there for the clean-up, which removed it.
    EXPECT_FALSE(hasLine(r.parent, startsWith("Could not remove staged file")));
    EXPECT_EQ(readFile(callerOutput(*this)), "previous");
    EXPECT_TRUE(filesIn(helperFolder()).empty());
}

TEST_F(ElevationElevatedCopySlow, CopyPastTheTimeLimitIsEndedWith1460) {
    Relaunch r = relaunch(
        *this, elevatedApplyTimes(*this, {{L"QSH_STANDIN_TS_HANG", L"ITaskService::Connect"}}));
    const std::string message = "The scheduler helper timed out while attempting to apply the "
                                "Windows scheduled task times.";
    EXPECT_EQ(r.outcome.code(), 1460);
    EXPECT_EQ(r.outcome.out, resultLine(1460, message));
    EXPECT_TRUE(linesInOrder(r.parent, {"Elevated helper timed out.", logResult(1460, message)}));
    EXPECT_FALSE(hasLine(r.parent, startsWith("Elevated child exited")));
    EXPECT_FALSE(hasLine(r.parent, startsWith("Could not remove staged file")));
    // The copy is gone, and with it the lock on its image: nothing is left staged.
    ASSERT_NE(r.childPid, 0u);
    qsh::UniqueHandle copy(
        OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, r.childPid));
    if (copy) {
        EXPECT_EQ(WaitForSingleObject(copy.get(), 0), WAIT_OBJECT_0);
        DWORD code = 0;
        GetExitCodeProcess(copy.get(), &code);
        EXPECT_EQ(code, 1460u);
    }
    EXPECT_EQ(readFile(callerOutput(*this)), "previous");
    EXPECT_TRUE(filesIn(helperFolder()).empty());
}

} // namespace
