// What another program of the same user can plant in the helper's folders, or do to the files
// the helper stages, must not steer an elevated helper. Wine makes no symbolic links of its
// own: the links are Unix ones, made by running ln, which every Win32 call follows.

#include <algorithm>
#include <filesystem>
#include <regex>

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

// A Unix symbolic link at `link` (which must not exist) leading to `target`.
bool makeSymlink(const std::wstring& target, const std::wstring& link) {
    std::wstring command = L"ln -s " + quoteArgument(fromUtf8(unixPathOf(target))) + L" " +
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
        if (GetFileAttributesW(link.c_str()) != INVALID_FILE_ATTRIBUTES) {
            return true;
        }
        Sleep(10);
    }
    return false;
}

class HostileFiles : public SandboxTest {
  protected:
    void SetUp() override {
        fs::create_directories(fs::path(localAppData()) / L"Quillfen");
        ASSERT_TRUE(writeFile(taskFile(), utf16le(declaration(L"UTF-16") + taskBody())));
    }

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

TEST_F(HostileFiles, HandedOutputThatIsALinkIsNotWrittenByTheRelaunchedCopy) {
    const std::wstring secondVictim = outside / L"second victim.txt";
    ASSERT_TRUE(writeFile(victim, kept));
    ASSERT_TRUE(writeFile(secondVictim, kept));
    const std::wstring symlink = files / L"symlink.xml";
    const std::wstring hardLink = files / L"hardlink.xml";
    ASSERT_TRUE(makeSymlink(victim, symlink));
    ASSERT_TRUE(CreateHardLinkW(hardLink.c_str(), secondVictim.c_str(), nullptr));
    const std::pair<std::wstring, std::string> cases[] = {
        {symlink, " is reached through a link (it leads to "},
        {hardLink, " has 2 hard links."},
    };
    for (const auto& [output, why] : cases) {
        SCOPED_TRACE(toUtf8(output));
        // Started elevated with the marker: the copy a non-elevated helper relaunches.
        const HelperOutcome outcome =
            start({L"apply-times", L"07:30:00", output, L"--elevation-attempted"});
        EXPECT_EQ(outcome.code(), 4);
        EXPECT_TRUE(outcome.err.starts_with("Could not write registered task XML: The file " +
                                            toUtf8(output) + why))
            << outcome.err;
    }
    EXPECT_EQ(readFile(victim), kept);
    EXPECT_EQ(readFile(secondVictim), kept);
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

TEST_F(HostileFiles, HelperSwappedBeforeTheHoldIsNotLaunched) {
    const HelperOutcome outcome =
        start(driverRun(helperExePath(), {L"delete"}, {{L"QSH_STAGE_DRIVER_SWAP", L"1"}}));
    EXPECT_EQ(outcome.code(), 6);
    EXPECT_EQ(outcome.out,
              resultLine(6, "The scheduler helper could not stage itself for elevation."));
    const auto log = logOf(outcome);
    EXPECT_TRUE(std::any_of(log.begin(), log.end(), [](const std::string& line) {
        return line.starts_with("The staged helper ") &&
               line.ends_with(" does not match its source " + toUtf8(helperExePath()) + ".");
    }));
    EXPECT_FALSE(hasLine(log, startsWith("Process is not elevated. Launching")));
    EXPECT_TRUE(filesIn(own(L"helper")).empty());
    EXPECT_TRUE(calls().empty());
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
    HelperRun run = request({L"create-xml", L""});
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
