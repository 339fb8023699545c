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
#include <cstdio>
#include <regex>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "base/unique_resource.h"
#include "sandbox.h"

namespace {

using namespace qsh::testing;

const std::string kNoElevatedToken =
    "The scheduler helper was relaunched but did not receive an elevated token.";
const std::string kLaunching =
    "Process is not elevated. Launching staged helper with the runas verb: ";
const std::string kApplied = "Completed request to apply the Windows scheduled task times.";

constexpr auto u8 = toUtf8;

// "Label: A -> B" from the first message of the log that starts with the label, as {A, B}.
std::pair<std::string, std::string> arrowPair(const std::vector<std::string>& messages,
                                              const std::string& label) {
    for (const auto& m : messages) {
        const std::size_t at = m.find(" -> ");
        if (m.starts_with(label) && at != std::string::npos) {
            return {m.substr(label.size(), at - label.size()), m.substr(at + 4)};
        }
    }
    return {};
}

// A run of the helper or the driver and the log of both processes it caused.
struct Relaunch {
    HelperOutcome outcome;
    std::vector<LogEntry> log;
    unsigned long childPid = 0;
    std::vector<std::string> parent, child;
    // The helper as staged and as handed to the copy, and "<pid>-<ticks>" of the staged names.
    std::string stagedHelper, physicalHelper, suffix;
    // The staging folder as the first process names it and as the copy is given it.
    std::string staging, physicalStaging;
    std::string staged(const std::string& stem) const {
        return staging + "\\" + stem + suffix + ".xml";
    }
    std::string physical(const std::string& stem) const {
        return physicalStaging + "\\" + stem + suffix + ".xml";
    }
};

// Every line of the copy lies between the first process's launch line and its closing
// lines, and no third process took part.
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

class Elevation : public SandboxTest {
  protected:
    // Whatever happened, nothing stays staged.
    void TearDown() override { EXPECT_TRUE(filesIn(helperFolder()).empty()); }

    Relaunch relaunch(const HelperRun& run) const {
        Relaunch r{.outcome = start(run)};
        r.log = readLog(localAppData());
        r.log.erase(r.log.begin(), r.log.begin() + std::min(r.outcome.logFrom, r.log.size()));
        for (const auto& entry : r.log) {
            if (entry.pid == r.outcome.pid) {
                r.parent.push_back(entry.message);
            } else if (entry.pid != 0) {
                r.childPid = r.childPid != 0 ? r.childPid : entry.pid;
                r.child.push_back(entry.message);
            }
        }
        std::tie(r.stagedHelper, r.physicalHelper) =
            arrowPair(r.parent, "Resolved staged helper path: ");
        std::smatch suffix;
        if (std::regex_search(r.stagedHelper, suffix, std::regex(R"(-elevated-(\d+-\d+)\.exe$)"))) {
            r.suffix = suffix[1];
        }
        r.staging = u8(run.localAppData.value_or(L"") + L"\\Quillfen\\helper");
        r.physicalStaging = u8(helperFolder());
        return r;
    }

    // A limited (non-elevated) helper in the sandbox; `detour` has it reach the sandbox's
    // folder through "detour\..", so that the staged paths the first process builds differ
    // from the physical ones the copy is given.
    HelperRun limited(std::vector<std::wstring> args, bool detour = false) const {
        HelperRun run = request(std::move(args));
        run.localAppData = localAppData() + (detour ? L"\\detour\\.." : L"");
        run.limitedToken = true;
        return run;
    }

    // A limited helper whose copy ended with 5, its token still not elevated; the arguments
    // as each process logs them, and the first process's line about a staged file.
    void expectRelayedFive(const Relaunch& r, const std::string& parentArguments,
                           const std::string& childArguments,
                           const std::vector<Line>& staged = {}) const {
        EXPECT_EQ(r.outcome.code(), 5);
        EXPECT_EQ(r.outcome.out, resultLine(5, kNoElevatedToken));
        EXPECT_TRUE(r.suffix.starts_with(std::to_string(r.outcome.pid) + "-")) << r.stagedHelper;
        const std::string name = "\\QuillfenSchedulerHelper-elevated-" + r.suffix + ".exe";
        EXPECT_EQ(r.stagedHelper, r.staging + name);
        EXPECT_EQ(r.physicalHelper, r.physicalStaging + name);
        std::vector<Line> parent = {"Executable: " + u8(helperExePath()),
                                    "Arguments: " + parentArguments,
                                    "Elevated token: no",
                                    "Resolved staged helper path: " + r.stagedHelper + " -> " +
                                        r.physicalHelper,
                                    kLaunching + r.physicalHelper,
                                    "Elevated child exited with code 5",
                                    logResult(5, kNoElevatedToken),
                                    "Helper exiting with code 5"};
        parent.insert(parent.begin() + 4, staged.begin(), staged.end());
        EXPECT_TRUE(linesInOrder(r.parent, parent));
        EXPECT_NE(r.childPid, 0u);
        EXPECT_TRUE(linesInOrder(
            r.child,
            {"QuillfenSchedulerHelper version 1.1.0 starting", "Executable: " + r.physicalHelper,
             "Arguments: " + childArguments, "Elevated token: no",
             "The helper was relaunched with the runas verb but still does not have an elevated "
             "token.",
             logResult(5, kNoElevatedToken)}));
        expectChildInsideParent(r);
    }

    // An elevated driver relaunches the helper for apply-times; the caller's output file
    // already holds an earlier export.
    const std::wstring callerOutput = files / L"caller view\\task.xml";
    HelperRun elevatedApplyTimes(const Switches& env = {}, std::wstring output = {},
                                 const std::wstring& helper = helperExePath()) const {
        if (output.empty()) {
            output = callerOutput;
            writeFile(output, "previous");
        }
        return driverRun(helper, {L"apply-times", L"07:30:00", output}, env);
    }
};

using ElevationRelaunch = Elevation;
using ElevationStaging = Elevation;
using ElevationElevatedCopy = Elevation;
using ElevationElevatedCopySlow = Elevation;

TEST_F(ElevationRelaunch, DeleteStagesOnlyTheHelperAndRelaysTheCopysCode) {
    expectRelayedFive(relaunch(limited({L"delete"}, true)), "delete", "delete");
}

TEST_F(ElevationRelaunch, UnknownWordAndHostileOperandsReachTheCopyAsGiven) {
    const std::vector<std::wstring> args = {
        L"Frobnicate", L"a \"quoted\" word",           L"C:\\trailing\\", L"C:\\with space\\",
        L"two\nlines", L"\" --elevation-attempted \"", L"\\\\\"",         L""};
    const std::string arguments = "Frobnicate \"a \\\"quoted\\\" word\" C:\\trailing\\ "
                                  "\"C:\\with space\\\\\" \"two?lines\" "
                                  "\"\\\" --elevation-attempted \\\"\" \"\\\\\\\\\\\"\" \"\"";
    // The copy splits its command line into exactly the list it was given.
    expectRelayedFive(relaunch(limited(args)), arguments, arguments);
}

TEST_F(ElevationRelaunch, CreateXmlHandsTheCopyThePhysicalStagedInput) {
    const std::wstring input = files / L"my task.xml";
    ASSERT_TRUE(writeFile(input, "<Task/>"));
    for (const wchar_t* word : {L"create-xml", L"Create-XML"}) {
        SCOPED_TRACE(u8(word));
        Relaunch r = relaunch(limited({word, input}, true));
        const std::string stem = "scheduler-input-";
        expectRelayedFive(r, u8(word) + " \"" + u8(input) + "\"",
                          u8(word) + " \"" + r.physical(stem) + "\"",
                          {"Staged scheduler XML for elevation: " + u8(input) + " -> " +
                           r.staged(stem) + " -> " + r.physical(stem)});
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
    Relaunch r = relaunch(limited({L"apply-times", times, output}, true));
    const std::string stem = "scheduler-output-";
    expectRelayedFive(r, "apply-times " + quotedTimes + " \"" + u8(output) + "\"",
                      "apply-times " + quotedTimes + " \"" + r.physical(stem) + "\"",
                      {"Using staged scheduler query output for elevation: " + r.staged(stem) +
                       " -> " + r.physical(stem)});
    // Only a copy that ended with 0 may touch the caller's file.
    EXPECT_EQ(readFile(output), "previous");
}

TEST_F(ElevationRelaunch, ApplyTimesWithEmptyOutputIsLeftForTheCopyToRefuse) {
    Relaunch r = relaunch(limited({L"apply-times", L"07:30:00", L""}));
    expectRelayedFive(r, "apply-times 07:30:00 \"\"", "apply-times 07:30:00 \"\"");
    EXPECT_FALSE(hasLine(r.parent, startsWith("Using staged scheduler query output")));
}

// Without elevation no starting process is asked for: a caller that has already ended (a
// launcher that exits at once) still gets its export, and the other commands still go to the
// staged copy.
TEST_F(ElevationRelaunch, LimitedRunWhoseStarterHasEndedStillExportsAndStages) {
    ASSERT_TRUE(writeFile(taskFile(), utf16le(declaration(L"UTF-16") + taskBody())));
    const std::wstring input = files / L"task.xml";
    ASSERT_TRUE(writeFile(input, "<Task/>"));
    const std::wstring output = files / L"export.xml";
    const std::pair<std::vector<std::wstring>, int> cases[] = {
        {{L"query-to-file", output}, 0},
        {{L"delete"}, 5},
        {{L"create-xml", input}, 5},
        {{L"apply-times", L"07:30:00", files / L"times.xml"}, 5},
    };
    for (const auto& [args, code] : cases) {
        SCOPED_TRACE(u8(args[0]));
        qsh::UniqueHandle starter(startSuspendedHelper(true));
        ASSERT_TRUE(starter);
        HelperRun run = limited(args);
        run.parent = starter.get();
        run.beforeRun = [&starter] {
            TerminateProcess(starter.get(), 1);
            WaitForSingleObject(starter.get(), 5000);
            starter.reset();
        };
        const Relaunch r = relaunch(run);
        EXPECT_EQ(r.outcome.code(), code);
        EXPECT_TRUE(std::none_of(r.parent.begin(), r.parent.end(), [](const std::string& line) {
            return line.find("The process that started the helper is gone") != std::string::npos;
        }));
        if (code == 0) {
            EXPECT_TRUE(hasLine(r.parent, startsWith("Wrote Task Scheduler XML as UTF-8: " +
                                                     u8(output) + "; bytes=")));
            EXPECT_EQ(readFile(output), u8(declaration(L"UTF-8") + taskBody()));
            EXPECT_EQ(r.childPid, 0u);
            continue;
        }
        EXPECT_TRUE(linesInOrder(r.parent, {"Elevated token: no", kLaunching + r.physicalHelper,
                                            "Elevated child exited with code 5",
                                            logResult(5, kNoElevatedToken)}));
        EXPECT_TRUE(linesInOrder(r.child, {"Elevated token: no", logResult(5, kNoElevatedToken)}));
    }
}

// The one line on standard error, without its CR LF, which says more than `prefix`.
std::string errorLine(const HelperOutcome& outcome, const std::string& prefix) {
    const std::string& err = outcome.err;
    EXPECT_TRUE(err.starts_with(prefix) && err.ends_with("\r\n") && err.size() > prefix.size() + 2)
        << err;
    return err.substr(0, err.size() - std::min<std::size_t>(err.size(), 2));
}

TEST_F(ElevationStaging, CreateXmlInputThatCannotBeStagedGives3Or6) {
    const std::wstring locked = files / L"locked.xml";
    ASSERT_TRUE(writeFile(locked, "<Task/>"));
    // Held without sharing: it exists, but nobody else can read it.
    const qsh::UniqueHandle lock(CreateFileW(locked.c_str(), GENERIC_READ, 0, nullptr,
                                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(lock);
    const std::tuple<std::wstring, int, std::string> cases[] = {
        {files / L"missing.xml", 3, "The scheduler XML input file was not found."},
        {files / L"no folder\\missing.xml", 3, "The scheduler XML input file was not found."},
        {locked, 6, "The scheduler helper could not stage itself for elevation."},
    };
    for (const auto& [input, code, result] : cases) {
        SCOPED_TRACE(u8(input));
        Relaunch r = relaunch(limited({L"create-xml", input}));
        EXPECT_EQ(r.outcome.code(), code);
        EXPECT_EQ(r.outcome.out, resultLine(code, result));
        const std::string message =
            errorLine(r.outcome, "Could not stage scheduler XML from " + u8(input) + ": ");
        EXPECT_EQ(r.childPid, 0u);
        EXPECT_TRUE(linesInOrder(
            r.parent,
            {"Elevated token: no",
             "Resolved staged helper path: " + r.stagedHelper + " -> " + r.physicalHelper, message,
             logResult(code, result), "Helper exiting with code " + std::to_string(code)}));
        EXPECT_FALSE(hasLine(r.parent, startsWith(kLaunching)));
        // The staged input was never made: its removal finds nothing, which is not reported.
        EXPECT_FALSE(hasLine(r.parent, startsWith("Could not remove staged file")));
    }
}

TEST_F(ElevationStaging, StagingFolderThatIsAFileGives6) {
    ASSERT_TRUE(writeFile(helperFolder(), "not a folder"));
    Relaunch r = relaunch(limited({L"delete"}));
    EXPECT_EQ(r.outcome.code(), 6);
    const std::string prefix =
        "Unable to create elevation staging directory: " + u8(helperFolder()) + "; error=";
    EXPECT_TRUE(linesInOrder(r.parent, {"Elevated token: no", startsWith(prefix)}));
    EXPECT_FALSE(hasLine(r.parent, prefix + "0"));
    EXPECT_EQ(r.childPid, 0u);
}

TEST_F(ElevationStaging, HelperThatCannotBeCopiedOrStartedIsReported) {
    ASSERT_TRUE(writeFile(files / L"not-a-program.exe", "plain text"));
    struct Case {
        std::wstring helper;
        Switches env;
        int code;
        std::string message;
        Line failure; // why, after the launch line where there was a launch
    };
    const Case cases[] = {
        {L"",
         {},
         6,
         "The scheduler helper could not stage itself for elevation.",
         "Unable to resolve helper executable path for elevation."},
        {files / L"gone.exe",
         {},
         6,
         "The scheduler helper could not stage itself for elevation.",
         startsWith("CopyFileW failed while staging helper: ")},
        // Copied fine, but no program: the launch itself fails.
        {files / L"not-a-program.exe",
         {},
         7,
         "The scheduler helper could not launch or monitor its elevated process.",
         startsWith("ShellExecuteExW(runas) failed: ")},
        // The user refused the consent prompt: the helper says so with 1223, not 7.
        {helperExePath(),
         {{L"QSH_STAGE_DRIVER_REFUSE", L"1223"}},
         1223,
         "The Windows administrator prompt was cancelled.",
         "ShellExecuteExW(runas) failed: " + systemText(1223)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(u8(c.helper));
        Relaunch r = relaunch(driverRun(c.helper, {L"delete"}, c.env));
        EXPECT_EQ(r.outcome.code(), c.code);
        EXPECT_EQ(r.outcome.out, resultLine(c.code, c.message));
        std::vector<Line> lines = {c.failure, logResult(c.code, c.message)};
        const bool launched = c.code != 6;
        if (launched) {
            lines.insert(lines.begin(), kLaunching + r.physicalHelper);
        }
        EXPECT_TRUE(linesInOrder(r.parent, lines));
        EXPECT_EQ(hasLine(r.parent, startsWith(kLaunching)), launched);
        EXPECT_EQ(r.childPid, 0u);
    }
}

TEST_F(ElevationStaging, CopyThatCannotBeEndedKeepsWhatWasStaged) {
    // The driver stages itself; as the copy it ends at once by itself.
    Relaunch r = relaunch(driverRun(moduleDirectory() + L"qsh-stage-driver.exe", {L"delete"},
                                    {{L"QSH_STAGE_DRIVER_UNENDABLE", L"1"}}));
    const std::string message =
        "The scheduler helper could not launch or monitor its elevated process.";
    EXPECT_EQ(r.outcome.code(), 7);
    EXPECT_TRUE(linesInOrder(
        r.parent, {"Waiting for the elevated helper failed: " + systemText(ERROR_ACCESS_DENIED),
                   "Could not end the elevated helper: " + systemText(ERROR_ACCESS_DENIED),
                   "The elevated helper may still be running; its staged files are kept.",
                   logResult(7, message)}));
    // Not even tried: a removal that fails only because the copy still runs would pass below.
    EXPECT_FALSE(hasLine(r.parent, startsWith("Could not remove staged file")));
    const auto kept = filesIn(helperFolder());
    ASSERT_EQ(kept.size(), 1u);
    // Removed here once the copy has let go of it, for the check that nothing stays staged.
    const std::wstring staged = helperFolder() + L"\\" + kept[0];
    for (int waited = 0; !DeleteFileW(staged.c_str()) && waited < 10000; waited += 50) {
        Sleep(50);
    }
}

TEST_F(ElevationElevatedCopy, ApplyTimesOutputIsCopiedBackToTheCaller) {
    Relaunch r = relaunch(elevatedApplyTimes());
    EXPECT_EQ(r.outcome.code(), 0) << r.outcome.err;
    EXPECT_EQ(r.outcome.out, resultLine(0, kApplied));
    const std::string physicalOutput =
        arrowPair(r.parent, "Using staged scheduler query output for elevation: ").second;
    ASSERT_FALSE(physicalOutput.empty());
    ASSERT_NE(r.childPid, 0u);
    EXPECT_TRUE(linesInOrder(
        r.child,
        {"Arguments: apply-times 07:30:00 \"" + physicalOutput + "\"", "Elevated token: yes",
         "Applied 1 daily trigger(s) and wrote task XML to " + physicalOutput}));
    EXPECT_TRUE(linesInOrder(
        r.parent,
        {"Copied staged scheduler query output into the packaged app view: " + u8(callerOutput),
         "Elevated child exited with code 0", logResult(0, kApplied)}));
    expectChildInsideParent(r);
    const std::string xml = readFile(callerOutput).value_or("(none)");
    EXPECT_NE(xml, "previous");
    EXPECT_NE(xml.find("UTF-8"), std::string::npos) << xml;
    EXPECT_NE(xml.find("T07:30:00"), std::string::npos) << xml;
}

TEST_F(ElevationElevatedCopy, FailingCopyLeavesTheCallersFileAlone) {
    Relaunch r =
        relaunch(elevatedApplyTimes({{L"QSH_STANDIN_TS_FAIL", L"ITaskService::Connect:80070005"}}));
    const std::string message = "Could not apply the Windows scheduled task times. Exit code 1.";
    EXPECT_EQ(r.outcome.code(), 1);
    EXPECT_EQ(r.outcome.out, resultLine(1, message));
    EXPECT_TRUE(
        linesInOrder(r.parent, {"Elevated child exited with code 1", logResult(1, message)}));
    EXPECT_FALSE(hasLine(r.parent, startsWith("Copied staged")));
    EXPECT_EQ(readFile(callerOutput), "previous");
}

// The caller's output is opened before anything is staged, as an elevated helper opens it before
// the task changes: a missing folder is made, and an output that cannot be written is refused
// before the prompt, with the task as it was.
TEST_F(ElevationElevatedCopy, CallersOutputIsOpenedBeforeThePrompt) {
    const std::wstring made = files / L"no such folder\\task.xml";
    Relaunch r = relaunch(elevatedApplyTimes({}, made));
    EXPECT_EQ(r.outcome.code(), 0) << r.outcome.err;
    EXPECT_NE(readFile(made).value_or("").find("T07:30:00"), std::string::npos);

    ASSERT_TRUE(writeFile(files / L"a file", ""));
    const std::wstring refused = files / L"a file\\task.xml";
    r = relaunch(elevatedApplyTimes({}, refused));
    EXPECT_EQ(r.outcome.code(), 4);
    EXPECT_TRUE(r.outcome.err.starts_with("Could not open the task XML output: Unable to create "
                                          "parent directory; error="))
        << r.outcome.err;
    // Refused before anything was staged for it, the helper image included.
    EXPECT_FALSE(hasLine(r.parent, startsWith("Resolved staged helper path: ")));
    EXPECT_FALSE(hasLine(r.parent, startsWith(kLaunching)));
    EXPECT_EQ(calls().size(), 0u);
    EXPECT_TRUE(filesIn(helperFolder()).empty());
}

TEST_F(ElevationElevatedCopy, AnyCodeOfTheCopyIsRelayedAndTheHeldOutputStays) {
    // The driver staged as the helper: its copy fails to delete the held output and crashes.
    Relaunch r = relaunch(elevatedApplyTimes({{L"QSH_STAGE_DRIVER_EXIT", L"0xC0000005"}}, {},
                                             moduleDirectory() + L"qsh-stage-driver.exe"));
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
    EXPECT_EQ(readFile(callerOutput), "previous");
}

TEST_F(ElevationElevatedCopySlow, CopyPastTheTimeLimitIsEndedWith1460) {
    Relaunch r = relaunch(elevatedApplyTimes({{L"QSH_STANDIN_TS_HANG", L"ITaskService::Connect"}}));
    const std::string message = "The scheduler helper timed out while attempting to apply the "
                                "Windows scheduled task times.";
    EXPECT_EQ(r.outcome.code(), 1460);
    EXPECT_EQ(r.outcome.out, resultLine(1460, message));
    EXPECT_TRUE(linesInOrder(r.parent, {"Elevated helper timed out.", logResult(1460, message)}));
    EXPECT_FALSE(hasLine(r.parent, startsWith("Elevated child exited")));
    // The limit itself, from the parent's stamps: the wait starts after the launch line, and
    // a loaded machine may add to it, but a doubled limit cannot pass.
    const auto stampOf = [&](const std::string& start) -> long long {
        for (const LogEntry& e : r.log) {
            SYSTEMTIME t{};
            FILETIME f{};
            if (e.pid == r.outcome.pid && e.message.starts_with(start) &&
                std::sscanf(e.stamp.c_str(), "%hu-%hu-%hu %hu:%hu:%hu.%hu", &t.wYear, &t.wMonth,
                            &t.wDay, &t.wHour, &t.wMinute, &t.wSecond, &t.wMilliseconds) == 7 &&
                SystemTimeToFileTime(&t, &f)) {
                return static_cast<long long>(
                    (ULARGE_INTEGER{{f.dwLowDateTime, f.dwHighDateTime}}).QuadPart / 10000);
            }
        }
        ADD_FAILURE() << "no line " << start;
        return 0;
    };
    const long long waited = stampOf("Elevated helper timed out.") - stampOf(kLaunching);
    EXPECT_GE(waited, 120000);
    EXPECT_LT(waited, 180000);
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
    EXPECT_EQ(readFile(callerOutput), "previous");
}

} // namespace
