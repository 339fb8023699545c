// Against Wine's own schtasks.exe and Task Scheduler service (the peer prefix, whose one
// task store the suites here take turns on).

#include "sandbox.h"

namespace {

using namespace qsh::testing;

const std::wstring wineTaskFile = L"C:\\windows\\system32\\Tasks\\Quillfen";

using PeerSchtasks = SandboxTest;
using PeerApplyTimes = SandboxTest;

// The principal that query-to-file exports for the Quillfen task, for the helper's own user.
std::wstring exportedPrincipalTask() {
    wchar_t user[256] = {};
    DWORD size = 256;
    GetUserNameW(user, &size);
    std::wstring body = taskBody();
    return body.insert(body.find(L"  <Actions"),
                       L"  <Principals>\r\n    <Principal id=\"Author\">\r\n      <UserId>" +
                           std::wstring(user) +
                           L"</UserId>\r\n      <LogonType>InteractiveToken</LogonType>\r\n"
                           L"      <RunLevel>LeastPrivilege</RunLevel>\r\n    </Principal>\r\n"
                           L"  </Principals>\r\n");
}

// Wine's schtasks.exe imports the document into Wine's store, but Wine's Task Scheduler answers
// E_NOTIMPL for a principal's UserId (as for its GroupId, LogonType and RunLevel), so the helper
// cannot read the registered task back: it deletes the task again with Wine's schtasks.exe and
// ends with 4. Wine's /DELETE fails for a task that is not there, so its success in the log shows
// that the import had landed in the store.
TEST_F(PeerSchtasks, ImportLandsInWinesStoreAndDeleteRemovesIt) {
    std::wstring input = files / L"task.xml";
    // Wine's programs, not the stand-ins: nothing of the sandbox's switches.
    auto run = [&](std::vector<std::wstring> args) {
        return start({.args = std::move(args), .localAppData = localAppData()});
    };
    const std::string text = "The registered task could not be read back: Reading the registered "
                             "task's UserId failed: " +
                             hresultText(E_NOTIMPL) + ". The task was deleted.";
    // With the exported principal, and without one.
    for (const std::wstring& body : {exportedPrincipalTask(), taskBody()}) {
        ASSERT_TRUE(writeFile(input, "\xEF\xBB\xBF" + toUtf8(declaration(L"UTF-8") + body)));
        HelperOutcome created = run({L"create-xml", input});
        EXPECT_EQ(created.code(), 4);
        EXPECT_EQ(created.out, resultLine(4, "The scheduler XML could not be decoded, validated, "
                                             "normalized, or written."));
        EXPECT_EQ(created.err, text + "\r\n");
        EXPECT_TRUE(
            linesInOrder(logOf(created), {"create-xml: exitCode=0; timedOut=false",
                                          "create-xml delete: exitCode=0; timedOut=false", text}));
        EXPECT_FALSE(fileExists(wineTaskFile));
    }

    std::wstring output = files / L"export.xml";
    HelperOutcome queried = run({L"query-to-file", output});
    EXPECT_EQ(queried.code(), 4);
    EXPECT_EQ(queried.err, "schtasks returned data that is not a complete Task XML document.\r\n");
    EXPECT_FALSE(fileExists(output));

    HelperOutcome again = run({L"delete"});
    EXPECT_NE(again.code(), 0);
    EXPECT_TRUE(again.out.starts_with("QUILLFEN_HELPER_RESULT status=failure exitCode="))
        << again.out;
}

// Wine's own Task Scheduler has no get_ConnectedUser: the command stops at row 8, before
// anything could be registered.
TEST_F(PeerApplyTimes, WineTaskSchedulerStopsAtTheConnectedUser) {
    const std::optional<std::string> before = readFile(wineTaskFile);
    HelperOutcome outcome = start({.args = {L"apply-times", L"07:30:00", files / L"out.xml"},
                                   .localAppData = localAppData()});
    const std::string text = "Reading the connected Windows user failed: " + hresultText(E_NOTIMPL);
    EXPECT_EQ(outcome.code(), 1);
    EXPECT_EQ(outcome.err, text + "\r\n");
    EXPECT_TRUE(hasLine(logOf(outcome), text));
    EXPECT_FALSE(fileExists(files / L"out.xml"));
    EXPECT_EQ(readFile(wineTaskFile), before);
}

} // namespace
