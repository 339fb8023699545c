// create-default, delete and query-to-file run by the helper against the stand-in schtasks.exe.

#include "sandbox.h"

#include <algorithm>

namespace {

using namespace qsh::testing;

const std::string kNotTaskXml = "schtasks returned data that is not a complete Task XML document.";

std::vector<std::string> argsAfterProgram(const qsh::standin::SchtasksCall& call) {
    return std::vector<std::string>(call.argv.begin() + 1, call.argv.end());
}

using CreateDefault = SandboxTest;
using DeleteTask = SandboxTest;

TEST_F(CreateDefault, CreatesDailyTaskAndReplacesAnExistingOne) {
    for (int round = 0; round < 2; ++round) {
        HelperOutcome outcome = start({L"create-default"});
        EXPECT_EQ(outcome.code(), 0);
        EXPECT_EQ(outcome.out,
                  resultLine(0, "Completed request to create the default Windows scheduled task."));
        EXPECT_EQ(outcome.err, "");
        auto log = logOf(outcome);
        EXPECT_TRUE(hasLine(log, "Launching schtasks.exe with args: /CREATE | /TN | Quillfen | "
                                 "/TR | C:\\Windows\\System32\\cmd.exe /C quillfen -noGui | /SC "
                                 "| DAILY | /ST | 08:00 | /F"));
        EXPECT_TRUE(hasLine(log, "create-default: exitCode=0; timedOut=false"));
        EXPECT_TRUE(hasLine(log, "create-default stdout (UTF-8/ASCII): SUCCESS: The scheduled "
                                 "task \"Quillfen\" has successfully been created.  "));
    }
    auto recorded = calls();
    ASSERT_EQ(recorded.size(), 2u);
    EXPECT_EQ(argsAfterProgram(recorded[1]),
              (std::vector<std::string>{"/CREATE", "/TN", "Quillfen", "/TR",
                                        "C:\\Windows\\System32\\cmd.exe /C quillfen -noGui", "/SC",
                                        "DAILY", "/ST", "08:00", "/F"}));

    std::string stored = readFile(taskFile()).value_or("");
    EXPECT_NE(stored.find(utf16le(L"T08:00:00</StartBoundary>", false)), std::string::npos);
    EXPECT_NE(stored.find(utf16le(L"<Command>C:\\Windows\\System32\\cmd.exe</Command>", false)),
              std::string::npos);
    EXPECT_NE(stored.find(utf16le(L"<Arguments>/C quillfen -noGui</Arguments>", false)),
              std::string::npos);
}

TEST_F(CreateDefault, SchtasksExitCodeBecomesTheHelpersOwn) {
    HelperOutcome own = start({L"create-default"}, {schtasksSwitch(L"EXIT_CODE", L"2")});
    EXPECT_EQ(own.code(), 2);
    EXPECT_EQ(own.out, resultLine(2, "Missing or invalid scheduler helper arguments."));

    HelperOutcome crashed =
        start({L"create-default"}, {schtasksSwitch(L"EXIT_CODE", L"0xC0000005")});
    EXPECT_EQ(crashed.exitCode, 0xC0000005u);
    EXPECT_EQ(crashed.out, resultLine(-1073741819, "Could not create the default Windows "
                                                   "scheduled task. Exit code -1073741819."));
    EXPECT_TRUE(hasLine(logOf(crashed), "create-default: exitCode=3221225477; timedOut=false"));
}

TEST_F(DeleteTask, RemovesTheTaskThenFailsWithSchtasksOwnCodeAndText) {
    ASSERT_EQ(start({L"create-default"}).code(), 0);
    HelperOutcome removed = start({L"delete"});
    EXPECT_EQ(removed.code(), 0);
    EXPECT_EQ(removed.out,
              resultLine(0, "Completed request to delete the Windows scheduled task."));
    EXPECT_FALSE(fileExists(taskFile()));
    EXPECT_EQ(argsAfterProgram(calls().back()),
              (std::vector<std::string>{"/DELETE", "/TN", "Quillfen", "/F"}));

    HelperOutcome missing = start({L"delete"});
    EXPECT_EQ(missing.code(), 1);
    EXPECT_EQ(missing.out,
              resultLine(1, "Could not delete the Windows scheduled task. Exit code 1."));
    EXPECT_EQ(missing.err, "ERROR: The system cannot find the file specified.\r\n");
    auto log = logOf(missing);
    EXPECT_TRUE(hasLine(log, "delete: exitCode=1; timedOut=false"));
    EXPECT_TRUE(hasLine(
        log, "delete stderr (UTF-8/ASCII): ERROR: The system cannot find the file specified.  "));
}

// SystemRoot and windir of an elevated helper's environment are its user's to set; schtasks.exe
// gets the system's own.
TEST_F(DeleteTask, SchtasksRunsOnTheSystemsWindowsFolderNotTheCallers) {
    const HelperOutcome outcome = start({L"delete"}, {schtasksSwitch(L"REPORT", L"0"),
                                                      {L"SystemRoot", L"C:\\planted"},
                                                      {L"windir", L"C:\\planted"}});
    EXPECT_EQ(outcome.code(), 0);
    const std::vector<std::string> log = logOf(outcome);
    EXPECT_TRUE(std::any_of(log.begin(), log.end(), [](const std::string& line) {
        return line.starts_with("delete stdout (UTF-8/ASCII): cwd=C:\\windows\\system32|") &&
               line.ends_with("|SystemRoot=C:\\windows|windir=C:\\windows");
    })) << log.size();
}

TEST_F(DeleteTask, ChildStandardErrorIsRelayedWholeAsUtf8) {
    // UTF-16 error text, longer than the log preview (a variable holds at most 32767 units).
    std::wstring longText;
    while (longText.size() < 3000) {
        longText += L"Fehler: \u00FCberall \u20AC ";
    }
    HelperOutcome outcome = start({L"delete"}, {schtasksSwitch(L"STDERR_ENCODING", L"utf16le-bom"),
                                                schtasksSwitch(L"STDERR_TEXT", longText)});
    EXPECT_EQ(outcome.code(), 1);
    // The stand-in writes each text with its own mark; the second one stays in the text.
    std::wstring expected =
        longText + L"\uFEFFERROR: The system cannot find the file specified.\r\n";
    EXPECT_EQ(outcome.err, toUtf8(expected));
    auto log = logOf(outcome);
    std::string preview = "delete stderr (UTF-16 LE BOM): " + toUtf8(longText.substr(0, 1000));
    EXPECT_TRUE(hasLine(log, preview)) << "no line " << preview.substr(0, 80);
}

// The stand-in's store holds the task; an export went before.
class QueryToFile : public SandboxTest {
  protected:
    void SetUp() override {
        ASSERT_TRUE(writeFile(taskFile(), utf16le(declaration(L"UTF-16") + taskBody())));
        ASSERT_TRUE(writeFile(output, "previous export"));
    }
    const std::wstring output = files / L"task.xml";
    const std::string exported = toUtf8(declaration(L"UTF-8") + taskBody());
};

class QueryToFileEncoding
    : public QueryToFile,
      public ::testing::WithParamInterface<std::pair<const wchar_t*, const char*>> {};

TEST_P(QueryToFileEncoding, WritesUtf8WithUtf8Declaration) {
    auto [encoding, label] = GetParam();
    const std::wstring nested = files / L"out\\task.xml";

    HelperOutcome outcome =
        start({L"query-to-file", nested}, {schtasksSwitch(L"QUERY_ENCODING", encoding)});
    EXPECT_EQ(outcome.code(), 0);
    EXPECT_EQ(outcome.out, resultLine(0, "Completed request to query the Windows scheduled task."));
    EXPECT_EQ(readFile(nested).value_or("(missing)"), exported);

    auto log = logOf(outcome);
    // The preview holds 240 units of the document, line ends shown as spaces.
    const std::string start =
        std::string("query-to-file decoded stdout as ") + label +
        "; preview=<?xml version=\"1.0\" encoding=\"UTF-16\"?>  <Task version";
    ASSERT_TRUE(hasLine(log, startsWith(start)));
    for (const std::string& line : log) {
        if (line.rfind(start, 0) == 0) {
            const std::size_t at = line.find("; preview=") + 10;
            EXPECT_EQ(fromUtf8(line.substr(at)).size(), 240u) << line;
        }
    }
    EXPECT_TRUE(hasLine(log, "Wrote Task Scheduler XML as UTF-8: " + toUtf8(nested) +
                                 "; bytes=" + std::to_string(exported.size())));
}

INSTANTIATE_TEST_SUITE_P(Encodings, QueryToFileEncoding,
                         ::testing::Values(std::pair{L"utf16le-bom", "UTF-16 LE BOM"},
                                           std::pair{L"utf16le", "UTF-16 LE heuristic"},
                                           std::pair{L"utf16be-bom", "UTF-16 BE BOM"},
                                           std::pair{L"utf16be", "UTF-16 BE heuristic"},
                                           std::pair{L"utf8-bom", "UTF-8 BOM"},
                                           std::pair{L"utf8", "UTF-8/ASCII"},
                                           std::pair{L"oem", "Windows code page 437"}));

TEST_F(QueryToFile, DeclarationIsAddedOrCompletedAndLeadingBlankLinesGo) {
    const Switches shapes[] = {
        {schtasksSwitch(L"QUERY_SHAPE", L"no-declaration")},
        {schtasksSwitch(L"QUERY_SHAPE", L"no-encoding")},
        {schtasksSwitch(L"QUERY_SHAPE", L"leading-blank-lines"),
         schtasksSwitch(L"QUERY_ENCODING", L"utf8")},
    };
    for (const Switches& shape : shapes) {
        ASSERT_EQ(start({L"query-to-file", output}, shape).code(), 0) << toUtf8(shape[0].second);
        EXPECT_EQ(readFile(output),
                  "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n" + toUtf8(taskBody()));
    }
}

TEST_F(QueryToFile, OutputThatIsNotTaskXmlLeavesTheFileAlone) {
    for (const wchar_t* shape : {L"not-task-xml", L"no-closing-tag", L"empty"}) {
        HelperOutcome outcome =
            start({L"query-to-file", output}, {schtasksSwitch(L"QUERY_SHAPE", shape)});
        EXPECT_EQ(outcome.code(), 4) << toUtf8(shape);
        EXPECT_EQ(outcome.out, resultLine(4, "The scheduler XML could not be decoded, validated, "
                                             "normalized, or written."));
        EXPECT_EQ(outcome.err, kNotTaskXml + "\r\n");
        EXPECT_TRUE(hasLine(logOf(outcome), kNotTaskXml));
        EXPECT_EQ(readFile(output), "previous export");
    }
}

TEST_F(QueryToFile, FailedQueryLeavesTheFileAlone) {
    // A failing exit code wins over a complete document on standard output.
    HelperOutcome refused = start({L"query-to-file", output}, {schtasksSwitch(L"EXIT_CODE", L"5")});
    EXPECT_EQ(refused.code(), 5);
    EXPECT_EQ(readFile(output), "previous export");
    auto log = logOf(refused);
    EXPECT_TRUE(hasLine(log, startsWith("query-to-file stdout bytes=" +
                                        std::to_string(readFile(taskFile())->size()) +
                                        "; prefix=FF FE 3C 00 3F 00 78 00")));
    EXPECT_FALSE(hasLine(log, startsWith("query-to-file decoded stdout as ")));

    ASSERT_TRUE(DeleteFileW(taskFile().c_str()));
    HelperOutcome missing = start({L"query-to-file", output});
    EXPECT_EQ(missing.code(), 1);
    EXPECT_EQ(missing.err, "ERROR: The system cannot find the file specified.\r\n");
    EXPECT_EQ(readFile(output), "previous export");
}

TEST_F(QueryToFile, UnwritableOutputFailsWithTheWriteError) {
    ASSERT_TRUE(writeFile(files / L"blocker", "a file where a folder should be"));
    const std::wstring blocked = files / L"blocker\\task.xml";

    HelperOutcome outcome = start({L"query-to-file", blocked});
    EXPECT_EQ(outcome.code(), 4);
    auto log = logOf(outcome);
    EXPECT_TRUE(hasLine(log, startsWith("Unable to write query output: Unable to create parent "
                                        "directory; error=")));
    EXPECT_EQ(outcome.err.rfind("Unable to create parent directory; error=", 0), 0u) << outcome.err;
    EXPECT_EQ(readFile(files / L"blocker"), "a file where a folder should be");
}

TEST_F(QueryToFile, RelativePathIsTakenFromTheWorkingDirectory) {
    HelperRun run = request({L"query-to-file", L"exports\\task.xml"});
    run.workingDirectory = files.path();
    HelperOutcome outcome = start(run);
    EXPECT_EQ(outcome.code(), 0);
    EXPECT_EQ(readFile(files / L"exports\\task.xml"), exported);
}

} // namespace
