// What another program of the same user can plant in the helper's folders, or do to the files
// the helper stages, must not steer an elevated helper. Wine makes no symbolic links of its
// own: the links are Unix ones, made by running ln, which every Win32 call follows.

#include <algorithm>
#include <cwctype>
#include <filesystem>
#include <functional>
#include <map>
#include <regex>
#include <thread>

#include "base/unique_resource.h"
#include "sandbox.h"

namespace {

using namespace qsh::testing;
namespace fs = std::filesystem;

const std::string kXmlFailure =
    "The scheduler XML could not be decoded, validated, normalized, or written.";

std::string unixPathOf(const std::wstring& path) {
    using Convert = char*(CDECL*)(const wchar_t*);
    const auto convert = reinterpret_cast<Convert>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    char* unix = convert != nullptr ? convert(path.c_str()) : nullptr;
    if (unix == nullptr) {
        return {};
    }
    std::string result = unix;
    HeapFree(GetProcessHeap(), 0, unix);
    return result;
}

// Runs `ln` with `options` so that `link` leads to `target`, and waits until `ready` holds.
bool runLn(const wchar_t* options, const std::wstring& target, const std::wstring& link,
           const std::function<bool()>& ready) {
    std::wstring command = std::wstring(L"ln ") + options + L" " +
                           quoteArgument(fromUtf8(unixPathOf(target))) + L" " +
                           quoteArgument(fromUtf8(unixPathOf(link)));
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(L"Z:\\bin\\ln", command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &process)) {
        return false;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    // Wine cannot wait for a Unix process: watch for the link instead.
    for (int waited = 0; waited < 10000; waited += 10) {
        if (ready()) {
            return true;
        }
        Sleep(10);
    }
    return false;
}

// A Unix symbolic link at `link` (which must not exist) leading to `target`.
bool makeSymlink(const std::wstring& target, const std::wstring& link) {
    return runLn(L"-s", target, link,
                 [&] { return GetFileAttributesW(link.c_str()) != INVALID_FILE_ATTRIBUTES; });
}

// The link to a folder `link` re-pointed at `target`, which holds a file named `marker`.
bool repointSymlink(const std::wstring& target, const std::wstring& link,
                    const std::wstring& marker) {
    return runLn(L"-sfn", target, link, [&] { return fileExists(link + L"\\" + marker); });
}

class HostileFiles : public SandboxTest {
  protected:
    void SetUp() override {
        fs::create_directories(fs::path(localAppData()) / L"Quillfen");
        ASSERT_TRUE(writeFile(taskFile(), utf16le(declaration(L"UTF-16") + taskBody())));
    }

    void expectRefusedBeforeStaging(const wchar_t* word) const;

    std::wstring own(const std::wstring& name) const {
        return localAppData() + L"\\Quillfen\\" + name;
    }

    TempDir outside; // where planted links lead
    const std::wstring victim = outside / L"victim.txt";
    const std::string kept = "someone else's file\r\n";
};

TEST_F(HostileFiles, LogReachedThroughALinkIsNotWritten) {
    ASSERT_TRUE(writeFile(victim, kept));
    const std::wstring victimFolder = outside / L"logs";
    fs::create_directories(victimFolder);
    ASSERT_TRUE(writeFile(victimFolder + L"\\scheduler-helper.log", kept));
    ASSERT_TRUE(makeSymlink(victimFolder, own(L"logs")));
    // A second local folder whose log file is a hard link to the victim.
    TempDir second;
    fs::create_directories(second.path() + L"\\Quillfen\\logs");
    ASSERT_TRUE(CreateHardLinkW(logFilePath(second.path()).c_str(), victim.c_str(), nullptr));
    // A third whose log is a dangling link: what it leads to must never be made. (The link is
    // made to an existing file, which is then removed, since only then can its making be seen.)
    TempDir third;
    const std::wstring made = outside / L"made-through-a-link.log";
    fs::create_directories(third.path() + L"\\Quillfen\\logs");
    ASSERT_TRUE(writeFile(made, ""));
    ASSERT_TRUE(makeSymlink(made, logFilePath(third.path())));
    ASSERT_TRUE(DeleteFileW(made.c_str()));

    for (const std::wstring& local : {localAppData(), second.path(), third.path()}) {
        HelperRun run = request({L"delete"});
        run.localAppData = local;
        ASSERT_TRUE(writeFile(taskFile(), utf16le(taskBody())));
        const HelperOutcome outcome = start(run);
        EXPECT_EQ(outcome.code(), 0);
        EXPECT_EQ(outcome.out,
                  resultLine(0, "Completed request to delete the Windows scheduled task."));
    }
    EXPECT_EQ(readFile(victimFolder + L"\\scheduler-helper.log"), kept);
    EXPECT_EQ(readFile(victim), kept);
    EXPECT_FALSE(fileExists(made));
}

TEST_F(HostileFiles, ImportStagingFolderReachedThroughALinkIsRefused) {
    const std::wstring input = files / L"task.xml";
    ASSERT_TRUE(writeFile(input, toUtf8(declaration(L"UTF-8") + taskBody())));
    ASSERT_TRUE(makeSymlink(outside.path(), own(L"temp")));

    const HelperOutcome outcome = start({L"create-xml", input});
    EXPECT_EQ(outcome.code(), 4);
    EXPECT_EQ(outcome.out, resultLine(4, kXmlFailure));
    // The refused folder is named, not the file that was to be made in it.
    const std::string refused = "The folder " + toUtf8(own(L"temp")) +
                                " is reached through a link (it leads to " +
                                toUtf8(outside.path()) + ").";
    EXPECT_EQ(outcome.err, refused + "\r\n");
    EXPECT_TRUE(hasLine(logOf(outcome), "Unable to normalize create-xml input: " + refused));
    EXPECT_TRUE(filesIn(outside.path()).empty());
    EXPECT_TRUE(calls().empty());
}

// LOCALAPPDATA is the user's to set and may lead through a link that the user re-points at any
// time. schtasks.exe is handed the import by the held folder's final path, so a link re-pointed
// after the copy was checked, at a folder of the same shape with another document in the same
// place, leads it nowhere else: it imports the checked bytes.
TEST_F(HostileFiles, ImportIsHandedOnByTheFinalPathOfItsHeldFolder) {
    const std::wstring input = files / L"task.xml";
    ASSERT_TRUE(writeFile(input, toUtf8(declaration(L"UTF-8") + taskBody())));
    TempDir checked;
    TempDir planted;
    const std::wstring base = outside / L"local";
    ASSERT_TRUE(makeSymlink(checked.path(), base));
    HelperRun run = request({L"create-xml", input}, {schtasksSwitch(L"DELAY_MS", L"3000")});
    run.localAppData = base;
    HelperOutcome outcome;
    std::thread helper([&] { outcome = start(run); });
    // The stand-in records its start, then waits before it reads.
    for (int tries = 0; tries < 1000 && calls().empty(); ++tries) {
        Sleep(10);
    }
    const std::wstring temp = L"\\Quillfen\\temp";
    const std::vector<std::wstring> staged = filesIn(checked.path() + temp);
    ASSERT_EQ(staged.size(), 1u);
    fs::create_directories(planted.path() + temp);
    const std::string hostile = utf16le(declaration(L"UTF-16") + L"<Task/>");
    ASSERT_TRUE(writeFile(planted.path() + temp + L"\\" + staged[0], hostile));
    ASSERT_TRUE(writeFile(planted / L"marker", ""));
    ASSERT_TRUE(repointSymlink(planted.path(), base, L"marker"));
    helper.join();

    EXPECT_EQ(outcome.code(), 0) << outcome.err;
    EXPECT_EQ(readFile(taskFile()), utf16le(declaration(L"UTF-16") + taskBody()));
    const auto recorded = calls();
    ASSERT_EQ(recorded.size(), 1u);
    const std::string handed = toUtf8(checked.path() + temp + L"\\" + staged[0]);
    EXPECT_EQ(recorded[0].argv.at(5), handed);
    // Deleted through the held folder: the checked copy is gone, the planted file is not.
    EXPECT_TRUE(filesIn(checked.path() + temp).empty());
    EXPECT_EQ(readFile(planted.path() + temp + L"\\" + staged[0]), hostile);
    // The log stayed where the base led when the helper started.
    EXPECT_TRUE(hasLine(
        logMessagesOf(readLog(checked.path()), outcome.pid),
        startsWith("Normalized scheduler XML to UTF-16 LE with BOM: " + handed + "; bytes=")));
}

// A relaunched copy (started elevated with the marker) takes as operands only the files staged
// for it: beside its own image, named after it, reached by no link, with one hard link.
TEST_F(HostileFiles, RelaunchedCopyRefusesAnyOperandButItsStagedFiles) {
    const std::wstring copy = files / L"QuillfenSchedulerHelper-elevated-12-34.exe";
    ASSERT_TRUE(CopyFileW(helperExePath().c_str(), copy.c_str(), FALSE));
    const std::wstring staged = files / L"scheduler-output-12-34.xml";
    const std::wstring stagedInput = files / L"scheduler-input-12-34.xml";
    const std::wstring secondVictim = outside / L"second victim.txt";
    // Named as the staged output is, but not beside the copy.
    const std::wstring elsewhere = outside / L"scheduler-output-12-34.xml";
    ASSERT_TRUE(writeFile(victim, kept));
    ASSERT_TRUE(writeFile(secondVictim, kept));
    ASSERT_TRUE(writeFile(elsewhere, kept));
    const std::string task = readFile(taskFile()).value_or("");
    enum Plant { Nothing, Symlink, HardLink };
    struct Case {
        std::vector<std::wstring> args;
        Plant plant;
        std::string err; // after the command's own prefix and "The file " + operand
    };
    const std::string notStaged = " is not one that was staged for this copy of the helper.";
    const Case cases[] = {
        {{L"apply-times", L"07:30:00", staged}, HardLink, " has 2 hard links."},
        // A file elsewhere that exists and has one link, and one beside the copy misnamed.
        {{L"apply-times", L"07:30:00", victim}, Nothing, notStaged},
        {{L"apply-times", L"07:30:00", files / L"scheduler-output-12-35.xml"}, Nothing, notStaged},
        {{L"apply-times", L"07:30:00", elsewhere}, Nothing, notStaged},
        {{L"query-to-file", victim}, Nothing, notStaged},
        {{L"create-xml", victim}, Nothing, notStaged},
        {{L"create-xml", staged}, Nothing, notStaged},
        {{L"create-xml", stagedInput}, HardLink, " has 2 hard links."},
        // Last: Wine deletes a Unix link's target, not the link, so this one stays.
        {{L"apply-times", L"07:30:00", staged},
         Symlink,
         " is reached through a link (it leads to "},
    };
    const std::map<std::wstring, std::string> prefixes = {
        {L"apply-times", "Could not open the task XML output: "},
        {L"query-to-file", "Unable to write query output: "},
        {L"create-xml", "Unable to normalize create-xml input: "},
    };
    for (const Case& c : cases) {
        const std::wstring& operand = c.args.back();
        SCOPED_TRACE(toUtf8(c.args[0] + L" " + operand));
        if (c.plant == Symlink) {
            ASSERT_TRUE(makeSymlink(victim, operand));
        } else if (c.plant == HardLink) {
            ASSERT_TRUE(CreateHardLinkW(operand.c_str(), secondVictim.c_str(), nullptr));
        }
        HelperRun run = request(c.args);
        run.args.push_back(L"--elevation-attempted");
        run.exePath = copy;
        const HelperOutcome outcome = start(run);
        if (c.plant == HardLink) {
            DeleteFileW(operand.c_str());
        }
        EXPECT_EQ(outcome.code(), 4);
        EXPECT_EQ(outcome.out, resultLine(4, kXmlFailure));
        const std::string line = prefixes.at(c.args[0]) + "The file " + toUtf8(operand) + c.err;
        EXPECT_TRUE(hasLine(logOf(outcome), startsWith(line)));
        // Standard error has the same text, with or without the prefix.
        EXPECT_NE(outcome.err.find("The file " + toUtf8(operand) + c.err), std::string::npos)
            << outcome.err;
        EXPECT_EQ(readFile(victim), kept);
        EXPECT_EQ(readFile(secondVictim), kept);
        EXPECT_EQ(readFile(elsewhere), kept);
        EXPECT_EQ(readFile(taskFile()), task);
    }

    // Names compare as the file system compares them: the staged output named in other letter
    // case (here also the letters of the suffix) is still the staged output.
    const std::wstring lettered = files / L"QuillfenSchedulerHelper-elevated-56-ab.exe";
    const std::wstring output = files / L"scheduler-output-56-ab.xml";
    ASSERT_TRUE(CopyFileW(helperExePath().c_str(), lettered.c_str(), FALSE));
    ASSERT_TRUE(writeFile(output, ""));
    std::wstring shouted = output;
    std::transform(shouted.begin(), shouted.end(), shouted.begin(), towupper);
    HelperRun run = request({L"apply-times", L"07:30:00", shouted, L"--elevation-attempted"});
    run.exePath = lettered;
    const HelperOutcome accepted = start(run);
    EXPECT_EQ(accepted.code(), 0) << accepted.err;
    EXPECT_TRUE(readFile(output).value_or("").starts_with("<?xml"))
        << readFile(output).value_or("");
}

// Started elevated without the marker, the helper opens the files named on its command line
// as the process that asked for the command, its parent: the consent service makes it so. Wine
// checks no file access against a token, so qsh-caller-probe, the helper's code with a hook,
// logs the thread's token at each open instead.
TEST_F(HostileFiles, ElevatedHelperOpensOperandsAsTheProcessThatAsked) {
    const std::wstring input = files / L"task.xml";
    ASSERT_TRUE(writeFile(input, toUtf8(declaration(L"UTF-8") + taskBody())));
    const std::wstring output = files / L"new folder\\out.xml";
    const std::string task = readFile(taskFile()).value_or("");
    struct Case {
        std::vector<std::wstring> args;
        std::wstring opened;
        std::string failure; // the command's prefix when the asking process is gone
    };
    const Case cases[] = {
        {{L"query-to-file", output}, output, "Unable to write query output: "},
        {{L"apply-times", L"07:30:00", output}, output, "Could not open the task XML output: "},
        {{L"create-xml", input}, input, "Unable to normalize create-xml input: "},
    };
    // Gone: ended before the helper runs. Closed: alive, but its security lets nobody else open
    // it, as an administrator who typed credentials meets another user's process.
    enum class Parent { Alive, Gone, Closed };
    for (const Case& c : cases) {
        SCOPED_TRACE(toUtf8(c.args[0]));
        for (const Parent state : {Parent::Gone, Parent::Closed, Parent::Alive}) {
            qsh::UniqueHandle parent(startSuspendedHelper(true, state == Parent::Closed));
            ASSERT_TRUE(parent);
            const DWORD parentId = GetProcessId(parent.get());
            HelperRun run = probeRun(c.args);
            run.stdHandles = false;
            run.parent = parent.get();
            if (state == Parent::Gone) {
                run.beforeRun = [&parent] {
                    TerminateProcess(parent.get(), 1);
                    WaitForSingleObject(parent.get(), 5000);
                    parent.reset();
                };
            }
            const HelperOutcome outcome = start(run);
            if (parent) {
                TerminateProcess(parent.get(), 1);
            }
            const auto log = logOf(outcome);
            const std::string probe = "Probe: open " + toUtf8(c.opened) + " as thread=1";
            if (state == Parent::Alive) {
                EXPECT_EQ(outcome.code(), 0);
                EXPECT_TRUE(hasLine(log, probe + " elevated=0 level=2"));
                continue;
            }
            EXPECT_EQ(outcome.code(), 4);
            const std::string refused =
                state == Parent::Gone
                    ? "The process that started the helper is gone; files named on the command "
                      "line are not opened for it."
                    : "The process that started the helper (id " + std::to_string(parentId) +
                          ") could not be opened, so files named on the command line are not "
                          "opened for it: " +
                          systemText(ERROR_ACCESS_DENIED);
            EXPECT_TRUE(hasLine(log, c.failure + refused));
            EXPECT_FALSE(hasLine(log, startsWith("Probe: ")));
            EXPECT_EQ(readFile(taskFile()), task);
            DeleteFileW(output.c_str());
        }
        DeleteFileW(output.c_str());
        ASSERT_TRUE(writeFile(taskFile(), task));
    }
}

TEST_F(HostileFiles, StagedFilesAreHeldWhileTheCopyRuns) {
    const std::wstring input = files / L"task.xml";
    ASSERT_TRUE(writeFile(input, toUtf8(declaration(L"UTF-8") + taskBody())));
    const std::wstring output = files / L"out.xml";
    // 32: the sharing violation that the holds cause for anyone else.
    const std::string readOnly = " write=32 delete=32 rename=32";
    struct Case {
        std::vector<std::wstring> args;
        std::vector<std::pair<std::string, std::string>> probes; // name prefix, outcome
    };
    const Case cases[] = {
        {{L"create-xml", input},
         {{"QuillfenSchedulerHelper-elevated-", readOnly}, {"scheduler-input-", readOnly}}},
        {{L"apply-times", L"07:30:00", output},
         {{"QuillfenSchedulerHelper-elevated-", readOnly},
          {"scheduler-output-", " write=0 delete=32 rename=32"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(toUtf8(c.args[0]));
        const HelperOutcome outcome =
            start(driverRun(helperExePath(), c.args, {{L"QSH_STAGE_DRIVER_PROBE", L"1"}}));
        // The copy itself could still run, read its input and write its output.
        EXPECT_EQ(outcome.code(), 0) << outcome.err;
        // One line per staged file.
        EXPECT_EQ(std::count(outcome.err.begin(), outcome.err.end(), '\n'), std::ssize(c.probes))
            << outcome.err;
        for (const auto& [name, result] : c.probes) {
            EXPECT_TRUE(std::regex_search(
                outcome.err, std::regex("(^|\n)" + name + "[^\r\n]*" + result + "\r\n")))
                << name << "\n"
                << outcome.err;
        }
        EXPECT_TRUE(filesIn(own(L"helper")).empty());
    }
}

TEST_F(HostileFiles, StagedCopySwappedBeforeTheHoldIsNotLaunched) {
    const std::wstring input = files / L"task.xml";
    ASSERT_TRUE(writeFile(input, toUtf8(declaration(L"UTF-8") + taskBody())));
    struct Case {
        const wchar_t* swap; // QSH_STAGE_DRIVER_SWAP
        std::vector<std::wstring> args;
        std::string what, source;
    };
    const Case cases[] = {
        {L"1", {L"delete"}, "staged helper", toUtf8(helperExePath())},
        // The same size, one byte changed: only the bytes tell.
        {L"2", {L"delete"}, "staged helper", toUtf8(helperExePath())},
        {L"3", {L"create-xml", input}, "staged scheduler XML", toUtf8(input)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(toUtf8(c.swap));
        const HelperOutcome outcome =
            start(driverRun(helperExePath(), c.args, {{L"QSH_STAGE_DRIVER_SWAP", c.swap}}));
        EXPECT_EQ(outcome.code(), 6);
        EXPECT_EQ(outcome.out,
                  resultLine(6, "The scheduler helper could not stage itself for elevation."));
        const auto log = logOf(outcome);
        EXPECT_TRUE(std::any_of(log.begin(), log.end(), [&](const std::string& line) {
            return line.starts_with("The " + c.what + " ") &&
                   line.ends_with(" does not match its source " + c.source + ".");
        }));
        EXPECT_FALSE(hasLine(log, startsWith("Process is not elevated. Launching")));
        EXPECT_TRUE(filesIn(own(L"helper")).empty());
        EXPECT_TRUE(calls().empty());
    }
}

TEST_F(HostileFiles, ArgumentsCannotForgeLogLines) {
    const std::wstring forged = L"07:30:00\r\n2026-01-01 00:00:00.000 [pid=1] Result "
                                L"status=success exitCode=0 message=Completed request to apply "
                                L"the Windows scheduled task times.";
    const HelperOutcome outcome = start({L"apply-times", forged, files / L"out.xml"});
    EXPECT_EQ(outcome.code(), 2);
    const auto log = readLog(localAppData());
    ASSERT_FALSE(log.empty());
    for (const LogEntry& entry : log) {
        EXPECT_EQ(entry.pid, outcome.pid) << entry.raw;
        EXPECT_FALSE(entry.message.starts_with("Result status=success")) << entry.raw;
    }
    EXPECT_TRUE(hasLine(logOf(outcome),
                        "apply-times validation failed: Invalid daily time '07:30:00??2026-01-01 "
                        "00:00:00.000 [pid=1] Result status=success exitCode=0 "
                        "message=Completed request to apply the Windows scheduled task times.'; "
                        "expected HH:mm:ss."));
}

TEST_F(HostileFiles, EmptyCreateXmlOperandIsRefusedBeforeStaging) {
    for (const wchar_t* word : {L"create-xml", L"CREATE-XML"}) {
        SCOPED_TRACE(toUtf8(word));
        expectRefusedBeforeStaging(word);
    }
}

void HostileFiles::expectRefusedBeforeStaging(const wchar_t* word) const {
    HelperRun run = request({word, L""});
    run.limitedToken = true;
    const HelperOutcome outcome = start(run);
    EXPECT_EQ(outcome.code(), 2);
    EXPECT_EQ(outcome.out, resultLine(2, "Missing or invalid scheduler helper arguments."));
    EXPECT_EQ(outcome.err, "QuillfenSchedulerHelper 1.1.0\r\nCommands:\r\n  create-default\r\n"
                           "  create-xml <task-xml-path>\r\n  query-to-file <output-xml-path>\r\n"
                           "  apply-times <HH:mm:ss[,HH:mm:ss...]> <output-xml-path>\r\n"
                           "  delete\r\n");
    const auto log = logOf(outcome);
    ASSERT_GE(log.size(), 4u);
    EXPECT_EQ(std::vector<std::string>(log.end() - 4, log.end()),
              (std::vector<std::string>{
                  "Elevated token: no", "Usage requested or invalid arguments supplied.",
                  logResult(2, "Missing or invalid scheduler helper arguments."),
                  "Helper exiting with code 2"}));
    EXPECT_FALSE(fileExists(own(L"helper")));
}

} // namespace
