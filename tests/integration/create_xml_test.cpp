// create-xml run by the helper against the stand-in schtasks.exe, which stores exactly the
// staged UTF-16 document it was handed.

#include "sandbox.h"
#include "standin_ledger.h"

#include <lmcons.h>
#include <sddl.h>

#include <thread>

namespace {

using namespace qsh::testing;

const std::string kNotTaskDocument = "Input file does not appear to contain a complete Task "
                                     "Scheduler <Task> document. Decoded preview: ";
const std::string kSuccessLine =
    resultLine(0, "Completed request to create the Windows scheduled task from XML.");
const std::string kXmlFailureLine =
    resultLine(4, "The scheduler XML could not be decoded, validated, normalized, or written.");

// The first 24 bytes of every staged copy here: FF FE, then "<?xml versi" in UTF-16 LE.
const std::string kStagedPrefix =
    "FF FE 3C 00 3F 00 78 00 6D 00 6C 00 20 00 76 00 65 00 72 00 73 00 69 00";

struct EncodingCase {
    const char* name;
    std::string input;
    const char* label;
    std::wstring staged; // text of the staged UTF-16 copy
    const char* prefix;  // the input's first 24 bytes as the log shows them
};

class CreateXmlEncoding : public SandboxTest, public ::testing::WithParamInterface<EncodingCase> {};

TEST_P(CreateXmlEncoding, StagesUtf16WithUtf16DeclarationAndImportsIt) {
    const EncodingCase& c = GetParam();
    std::wstring input = files / L"task input.xml";
    ASSERT_TRUE(writeFile(input, c.input));

    HelperOutcome outcome = start({L"create-xml", input});
    EXPECT_EQ(outcome.code(), 0) << outcome.err;
    EXPECT_EQ(outcome.out, kSuccessLine);
    EXPECT_EQ(outcome.err, "");

    std::string staged = utf16le(c.staged);
    EXPECT_EQ(readFile(taskFile()), staged);
    EXPECT_EQ(readFile(input), c.input);
    EXPECT_TRUE(filesIn(stagingFolder()).empty());

    auto recorded = calls();
    ASSERT_EQ(recorded.size(), 1u);
    const auto& argv = recorded[0].argv;
    ASSERT_EQ(argv.size(), 7u);
    std::string folder =
        toUtf8(stagingFolder()) + "\\scheduler-import-" + std::to_string(outcome.pid) + "-";
    EXPECT_EQ(argv[5].rfind(folder, 0), 0u) << argv[5];
    EXPECT_EQ(argv[5].substr(argv[5].size() - 4), ".xml");
    EXPECT_EQ(std::vector<std::string>(argv.begin() + 1, argv.end()),
              (std::vector<std::string>{"/CREATE", "/TN", "Quillfen", "/XML", argv[5], "/F"}));

    auto log = logOf(outcome);
    EXPECT_TRUE(hasLine(log, std::string("Source XML encoding detected as ") + c.label +
                                 "; bytes=" + std::to_string(c.input.size()) +
                                 "; prefix=" + c.prefix));
    EXPECT_TRUE(hasLine(log, "Normalized scheduler XML to UTF-16 LE with BOM: " + argv[5] +
                                 "; bytes=" + std::to_string(staged.size()) +
                                 "; prefix=" + kStagedPrefix));
    EXPECT_TRUE(hasLine(log, "create-xml: exitCode=0; timedOut=false"));
    EXPECT_FALSE(hasLine(log, startsWith("Preserving normalized XML")));
}

std::vector<EncodingCase> encodingCases() {
    const std::wstring body = taskBody();
    const std::wstring utf16Declared = declaration(L"UTF-16") + body;
    return {
        {"Utf8BomBlankLines", "\xEF\xBB\xBF\r\n\r\n" + toUtf8(declaration(L"UTF-8") + body),
         "UTF-8 BOM", utf16Declared,
         "EF BB BF 0D 0A 0D 0A 3C 3F 78 6D 6C 20 76 65 72 73 69 6F 6E 3D 22 31 2E"},
        {"Utf8", toUtf8(declaration(L"utf-8") + body), "UTF-8/ASCII", utf16Declared,
         "3C 3F 78 6D 6C 20 76 65 72 73 69 6F 6E 3D 22 31 2E 30 22 20 65 6E 63 6F"},
        {"Utf16LeBom", utf16le(utf16Declared), "UTF-16 LE BOM", utf16Declared,
         "FF FE 3C 00 3F 00 78 00 6D 00 6C 00 20 00 76 00 65 00 72 00 73 00 69 00"},
        {"Utf16LeNoBom", utf16le(declaration(L"unicode") + body, false), "UTF-16 LE heuristic",
         utf16Declared, "3C 00 3F 00 78 00 6D 00 6C 00 20 00 76 00 65 00 72 00 73 00 69 00 6F 00"},
        {"Utf16BeBom", utf16be(utf16Declared), "UTF-16 BE BOM", utf16Declared,
         "FE FF 00 3C 00 3F 00 78 00 6D 00 6C 00 20 00 76 00 65 00 72 00 73 00 69"},
        {"Utf16BeNoDeclaration", utf16be(body, false), "UTF-16 BE heuristic", utf16Declared,
         "00 3C 00 54 00 61 00 73 00 6B 00 20 00 76 00 65 00 72 00 73 00 69 00 6F"},
        {"OemCodePage", codePage(declaration(L"IBM437") + body, 437), "Windows code page 437",
         utf16Declared, "3C 3F 78 6D 6C 20 76 65 72 73 69 6F 6E 3D 22 31 2E 30 22 20 65 6E 63 6F"},
        {"SingleQuotedDeclaration",
         toUtf8(L"<?xml version='1.0' encoding='windows-1252' standalone='yes'?>\r\n" + body),
         "UTF-8/ASCII", L"<?xml version='1.0' encoding='UTF-16' standalone='yes'?>\r\n" + body,
         "3C 3F 78 6D 6C 20 76 65 72 73 69 6F 6E 3D 27 31 2E 30 27 20 65 6E 63 6F"},
        {"VersionOnlyDeclaration", toUtf8(L"<?xml version=\"1.0\"?>\r\n" + body), "UTF-8/ASCII",
         utf16Declared, "3C 3F 78 6D 6C 20 76 65 72 73 69 6F 6E 3D 22 31 2E 30 22 3F 3E 0D 0A 3C"},
    };
}

INSTANTIATE_TEST_SUITE_P(Inputs, CreateXmlEncoding, ::testing::ValuesIn(encodingCases()),
                         [](const auto& info) { return std::string(info.param.name); });

// A valid UTF-8 input, and the UTF-16 copy that the helper stages for it.
class CreateXml : public SandboxTest {
  protected:
    void SetUp() override {
        ASSERT_TRUE(writeFile(input, toUtf8(declaration(L"UTF-8") + taskBody())));
    }
    const std::wstring input = files / L"task.xml";
    const std::string staged = utf16le(declaration(L"UTF-16") + taskBody());
};
using CreateXmlSizeLimit = SandboxTest;

TEST_F(CreateXml, MissingPathOrFolderIsNotFound) {
    for (const std::wstring& path : {files / L"absent.xml", files.path()}) {
        HelperOutcome outcome = start({L"create-xml", path});
        EXPECT_EQ(outcome.code(), 3);
        EXPECT_EQ(outcome.out, resultLine(3, "The scheduler XML input file was not found."));
        EXPECT_EQ(outcome.err, "XML file not found: " + toUtf8(path) + "\r\n");
        EXPECT_TRUE(hasLine(logOf(outcome), "create-xml input file not found: " + toUtf8(path)));
    }
    EXPECT_TRUE(calls().empty());
}

TEST_F(CreateXml, DocumentsThatAreNotTasksAreRefused) {
    struct Refused {
        std::string bytes;
        std::string preview;
    };
    const Refused cases[] = {
        {"", ""},
        {"\r\n  <Task version=\"1.2\">\r\n  <Actions/>", "<Task version=\"1.2\">    <Actions/>"},
        {"<Task version=\"1.2\"/>", "<Task version=\"1.2\"/>"},
        {"<Tasks></Tasks>", "<Tasks></Tasks>"},
        // The preview stops at 240 units.
        {"<Tasks>" + std::string(300, 'a') + "</Tasks>", "<Tasks>" + std::string(233, 'a')},
    };
    for (const Refused& c : cases) {
        ASSERT_TRUE(writeFile(input, c.bytes));
        HelperOutcome outcome = start({L"create-xml", input});
        EXPECT_EQ(outcome.code(), 4) << c.bytes;
        EXPECT_EQ(outcome.out, kXmlFailureLine);
        EXPECT_EQ(outcome.err, kNotTaskDocument + c.preview + "\r\n");
        auto log = logOf(outcome);
        EXPECT_TRUE(
            hasLine(log, "Unable to normalize create-xml input: " + kNotTaskDocument + c.preview));
        EXPECT_EQ(readFile(input), c.bytes);
        // An empty file is decoded as empty, not as some encoding.
        EXPECT_TRUE(!c.bytes.empty() ||
                    hasLine(log, "Source XML encoding detected as empty; bytes=0; prefix="));
    }
    EXPECT_TRUE(calls().empty());
    EXPECT_TRUE(filesIn(stagingFolder()).empty());
}

// The task document with `added` put in before `before`; its Actions have Context="Author".
std::wstring taskWith(const std::wstring& added, const wchar_t* before = L"  <Actions") {
    std::wstring body = taskBody();
    return body.insert(body.find(before), added);
}

std::wstring principal(const std::wstring& children, const std::wstring& attributes = L"") {
    return L"  <Principals><Principal id=\"Author\"" + attributes + L">" + children +
           L"</Principal></Principals>\r\n";
}

std::wstring userId(const std::wstring& account) {
    return principal(L"<UserId>" + account + L"</UserId>");
}

// Who the helper runs as here: the user of the test's own token.
std::wstring ownName() {
    wchar_t name[UNLEN + 1] = {};
    DWORD size = UNLEN + 1;
    return GetUserNameW(name, &size) ? name : L"";
}

std::wstring ownSid() {
    HANDLE token = nullptr;
    BYTE buffer[256] = {};
    DWORD size = 0;
    LPWSTR text = nullptr;
    std::wstring sid;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) &&
        GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size) &&
        ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &text)) {
        sid = text;
        LocalFree(text);
    }
    CloseHandle(token);
    return sid;
}

// Anything but one least-privileged principal of the helper's own user is refused before
// anything is staged: each row with its own text.
TEST_F(CreateXml, PrincipalsBeyondTheOwnLeastPrivilegedUserAreRefused) {
    struct Refused {
        const char* name;
        std::wstring document;
        std::string text; // after "The task XML is refused: "
    };
    const std::wstring highest = L"<RunLevel>HighestAvailable</RunLevel>";
    const std::string notOwn = ", not the user who asked for the task.";
    const std::string runLevel = "its principal's RunLevel is not LeastPrivilege.";
    const std::string logonType = "its principal's LogonType is not InteractiveToken.";
    const std::string priority = "its Priority is not one of 4 to 10, which run the task at the "
                                 "normal priority class or below.";
    const Refused cases[] = {
        {"SystemBySid", taskWith(userId(L"S-1-5-18")),
         "its principal's UserId names S-1-5-18" + notOwn},
        {"SystemByName", taskWith(userId(L"NT AUTHORITY\\SYSTEM")),
         "its principal's UserId names S-1-5-18" + notOwn},
        {"LocalService", taskWith(userId(L"NT AUTHORITY\\LOCAL SERVICE")),
         "its principal's UserId names S-1-5-19" + notOwn},
        {"OtherUserSid", taskWith(userId(L" S-1-5-21-1-2-3-1001 ")),
         "its principal's UserId names S-1-5-21-1-2-3-1001" + notOwn},
        {"UnknownAccount", taskWith(userId(L"no such account")),
         "its principal's UserId names no account (error 1332)."},
        {"Group", taskWith(principal(L"<GroupId>S-1-5-32-545</GroupId>")),
         "its principal has a GroupId."},
        {"HighestAvailable", taskWith(principal(highest)), runLevel},
        {"Password", taskWith(principal(L"<LogonType>Password</LogonType>")), logonType},
        {"S4U", taskWith(principal(L"<LogonType>S4U</LogonType>")), logonType},
        {"TwoPrincipals",
         taskWith(L"<Principals><Principal id=\"Author\"/><Principal id=\"Other\">" + highest +
                  L"</Principal></Principals>"),
         "it has more than one principal."},
        {"TwoRunLevels", taskWith(principal(L"<RunLevel>LeastPrivilege</RunLevel>" + highest)),
         "its principal has more than one RunLevel element."},
        {"CharacterReference", taskWith(principal(L"<RunLevel>&#72;ighestAvailable</RunLevel>")),
         runLevel},
        {"CdataJoined", taskWith(principal(L"<RunLevel><![CDATA[Highest]]>Available</RunLevel>")),
         "the principal's RunLevel has a CDATA section, not plain text."},
        {"CdataValue", taskWith(principal(L"<RunLevel><![CDATA[LeastPrivilege]]></RunLevel>")),
         "the principal's RunLevel has a CDATA section, not plain text."},
        {"ValueInTwoPieces",
         taskWith(principal(L"<RunLevel>Least<![CDATA[Privilege]]></RunLevel>")),
         "the principal's RunLevel is not one piece of text."},
        {"SpaceThenCdata",
         taskWith(principal(L"<LogonType>\r\n <![CDATA[Interactive]]>Token </LogonType>")),
         "the principal's LogonType is not one piece of text."},
        {"CommentInValue", taskWith(principal(L"<RunLevel>Least<!-- x -->Privilege</RunLevel>")),
         "the principal's RunLevel holds markup, not only text."},
        {"DtdWithEntity",
         L"<!DOCTYPE Task [<!ENTITY r \"HighestAvailable\">]>\r\n" +
             taskWith(principal(L"<RunLevel>&r;</RunLevel>")),
         "it has a document type declaration."},
        {"OutsideTaskNamespace",
         taskWith(L"<Principals xmlns=\"urn:other\"><Principal id=\"Author\">" + highest +
                  L"</Principal></Principals>"),
         "a Principals element is not in its place in the task namespace."},
        {"TaskNamespaceByOtherPrefix",
         taskWith(L"<t:Principals xmlns:t=\"http://schemas.microsoft.com/windows/2004/02/mit/"
                  L"task\"><t:Principal id=\"Author\"><t:RunLevel>HighestAvailable</t:RunLevel>"
                  L"</t:Principal></t:Principals>"),
         runLevel},
        {"RunLevelInSettings", taskWith(L"<Settings>" + highest + L"</Settings>"),
         "a RunLevel element is not in its place in the task namespace."},
        {"ContextNamesAnother", taskWith(L"<Principals><Principal id=\"Other\"/></Principals>"),
         "its Actions Context does not name its principal."},
        {"UnknownAttribute", taskWith(principal(L"", L" Extra=\"1\"")),
         "its principal has an attribute other than id."},
        {"UnknownChild",
         taskWith(principal(L"<RequiredPrivileges><Privilege>SeDebugPrivilege</Privilege>"
                            L"</RequiredPrivileges>")),
         "its principal has an element other than UserId, GroupId, LogonType, RunLevel and "
         "DisplayName."},
        {"SecurityDescriptor",
         taskWith(L"<SecurityDescriptor>D:(A;;FA;;;WD)</SecurityDescriptor>",
                  L"  </RegistrationInfo>"),
         "it has a SecurityDescriptor, which could let other users change the task."},
        {"BootTrigger", taskWith(L"    <BootTrigger/>\r\n", L"  </Triggers>"),
         "it has a BootTrigger, which only administrators may register."},
        {"EventTrigger",
         taskWith(L"    <EventTrigger><Subscription>&lt;QueryList/&gt;</Subscription>"
                  L"</EventTrigger>\r\n",
                  L"  </Triggers>"),
         "it has an EventTrigger, whose event query could hand the task events from logs that "
         "the asking user may not read."},
        {"LogonTriggerForEveryone",
         taskWith(L"    <LogonTrigger><Enabled>true</Enabled></LogonTrigger>\r\n",
                  L"  </Triggers>"),
         "it has a LogonTrigger, which only administrators may register for every user or for "
         "another user."},
        {"RealTimePriority", taskWith(L"  <Settings><Priority>0</Priority></Settings>\r\n"),
         priority},
        {"HighPriority", taskWith(L"  <Settings><Priority> 3 </Priority></Settings>\r\n"),
         priority},
        {"PriorityInCdata",
         taskWith(L"  <Settings><Priority><![CDATA[7]]></Priority></Settings>\r\n"),
         "the Settings element's Priority has a CDATA section, not plain text."},
        {"UnknownSetting",
         taskWith(L"  <Settings><MaintenanceSettings><Period>P1D</Period></MaintenanceSettings>"
                  L"</Settings>\r\n"),
         "the element MaintenanceSettings in Settings is not one that the helper lets through."},
        {"TriggerNotLetThrough", taskWith(L"    <IdleTrigger/>\r\n", L"  </Triggers>"),
         "the element IdleTrigger in Triggers is not one that the helper lets through."},
        {"ComHandler",
         taskWith(L"<ComHandler><ClassId>{00000000-0000-0000-0000-000000000001}</ClassId>"
                  L"</ComHandler>",
                  L"  </Actions>"),
         "the element ComHandler in Actions is not one that the helper lets through."},
        {"ElementInText",
         taskWith(L"<Documentation><Exec/></Documentation>", L"  </RegistrationInfo>"),
         "the element Exec in Documentation is not one that the helper lets through."},
        {"OtherNamespace", taskWith(L"  <Settings><x:Hint xmlns:x=\"urn:other\"/></Settings>\r\n"),
         "the element Hint in Settings is outside the task namespace."},
        {"TaskInNoNamespace",
         L"<Task version=\"1.2\"><Actions><Exec><Command>cmd.exe</Command></Exec></Actions>"
         L"</Task>",
         "the element Actions in Task is outside the task namespace."},
        // Line 12 holds the inserted principal; XmlLite counts the column after the end tag.
        {"Unparsable", taskWith(L"<Principals><Principal id=\"Author\"></Principals>"),
         "it could not be parsed (XmlLite error 0xC00CEE3B at line 12, column 49)."},
    };
    for (const Refused& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(writeFile(input, toUtf8(declaration(L"UTF-8") + c.document)));
        HelperOutcome outcome = start({L"create-xml", input});
        const std::string text = "The task XML is refused: " + c.text;
        EXPECT_EQ(outcome.code(), 4);
        EXPECT_EQ(outcome.out, kXmlFailureLine);
        EXPECT_EQ(outcome.err, text + "\r\n");
        EXPECT_TRUE(hasLine(logOf(outcome), "Unable to normalize create-xml input: " + text));
    }
    EXPECT_TRUE(calls().empty());
    EXPECT_FALSE(fileExists(taskFile()));
    EXPECT_TRUE(filesIn(stagingFolder()).empty());
}

// What schtasks /Query /XML gives on Windows for a task that create-default made (one line
// each), with a description, a working folder and a DisplayName with a reference added.
std::wstring windowsExport() {
    const std::wstring lines[] = {
        L"<Task version=\"1.2\" xmlns=\"http://schemas.microsoft.com/windows/2004/02/mit/task\">",
        L"  <RegistrationInfo><Date>2026-01-05T10:00:00.1234567</Date><Author>" + ownName() +
            L"</Author><Description>Quillfen</Description><URI>\\Quillfen</URI>"
            L"</RegistrationInfo>",
        L"  <Triggers><CalendarTrigger><StartBoundary>2026-01-05T08:00:00</StartBoundary>"
        L"<Enabled>true</Enabled><ScheduleByDay><DaysInterval>1</DaysInterval></ScheduleByDay>"
        L"</CalendarTrigger></Triggers>",
        L"  <Principals><Principal id=\"Author\"><UserId>" + ownSid() +
            L"</UserId><LogonType>InteractiveToken</LogonType><RunLevel>LeastPrivilege</RunLevel>"
            L"<DisplayName>Quillfen &amp; me</DisplayName></Principal></Principals>",
        L"  <Settings><MultipleInstancesPolicy>IgnoreNew</MultipleInstancesPolicy>"
        L"<DisallowStartIfOnBatteries>true</DisallowStartIfOnBatteries><StopIfGoingOnBatteries>"
        L"true</StopIfGoingOnBatteries><AllowHardTerminate>true</AllowHardTerminate>"
        L"<StartWhenAvailable>false</StartWhenAvailable><RunOnlyIfNetworkAvailable>false"
        L"</RunOnlyIfNetworkAvailable><IdleSettings><Duration>PT10M</Duration><WaitTimeout>PT1H"
        L"</WaitTimeout><StopOnIdleEnd>true</StopOnIdleEnd><RestartOnIdle>false</RestartOnIdle>"
        L"</IdleSettings><AllowStartOnDemand>true</AllowStartOnDemand><Enabled>true</Enabled>"
        L"<Hidden>false</Hidden><RunOnlyIfIdle>false</RunOnlyIfIdle><WakeToRun>false</WakeToRun>"
        L"<ExecutionTimeLimit>PT72H</ExecutionTimeLimit><Priority>7</Priority></Settings>",
        L"  <Actions Context=\"Author\"><Exec><Command>cmd.exe</Command><Arguments>/C quillfen "
        L"-noGui</Arguments><WorkingDirectory>%LOCALAPPDATA%\\Quillfen</WorkingDirectory></Exec>"
        L"</Actions>",
        L"</Task>"};
    std::wstring document;
    for (const std::wstring& line : lines) {
        document += line + L"\r\n";
    }
    return document;
}

// The task document with each element that the check lets through and the export above lacks.
std::wstring withTheOtherElements() {
    std::wstring body = taskWith(
        L"  <Settings><RestartOnFailure><Interval>PT5M</Interval><Count>3</Count>"
        L"</RestartOnFailure><NetworkProfileName>Office</NetworkProfileName><NetworkSettings>"
        L"<Name>Office</Name><Id>{6A1E2E5C-3B0D-4E55-9F0B-2D4C1A7B9E11}</Id></NetworkSettings>"
        L"<DeleteExpiredTaskAfter>P30D</DeleteExpiredTaskAfter><UseUnifiedSchedulingEngine>true"
        L"</UseUnifiedSchedulingEngine><DisallowStartOnRemoteAppSession>false"
        L"</DisallowStartOnRemoteAppSession><Priority>\r\n 10 </Priority></Settings>\r\n");
    body.insert(body.find(L"  </Triggers>"),
                L"    <CalendarTrigger id=\"weekly\"><StartBoundary>2026-01-05T07:30:00"
                L"</StartBoundary><EndBoundary>2027-01-01T00:00:00</EndBoundary><Repetition>"
                L"<Interval>PT1H</Interval><Duration>PT4H</Duration><StopAtDurationEnd>true"
                L"</StopAtDurationEnd></Repetition><ExecutionTimeLimit>PT1H</ExecutionTimeLimit>"
                L"<RandomDelay>PT5M</RandomDelay><ScheduleByWeek><WeeksInterval>2</WeeksInterval>"
                L"<DaysOfWeek><Monday/><Tuesday/><Wednesday/><Thursday/><Friday/><Saturday/>"
                L"<Sunday/></DaysOfWeek></ScheduleByWeek></CalendarTrigger>\r\n"
                L"    <CalendarTrigger><StartBoundary>2026-01-01T07:30:00</StartBoundary>"
                L"<ScheduleByMonth><DaysOfMonth><Day>1</Day><Day>Last</Day></DaysOfMonth><Months>"
                L"<January/><February/><March/><April/><May/><June/><July/><August/><September/>"
                L"<October/><November/><December/></Months></ScheduleByMonth></CalendarTrigger>\r\n"
                L"    <CalendarTrigger><StartBoundary>2026-01-01T07:30:00</StartBoundary>"
                L"<ScheduleByMonthDayOfWeek><Weeks><Week>1</Week><Week>Last</Week></Weeks>"
                L"<DaysOfWeek><Monday/></DaysOfWeek><Months><June/></Months>"
                L"</ScheduleByMonthDayOfWeek></CalendarTrigger>\r\n");
    return body.insert(body.find(L"  </RegistrationInfo>"),
                       L"    <Source>Quillfen</Source><Version>1.1.0</Version>"
                       L"<Documentation>Runs Quillfen without its window.</Documentation>\r\n");
}

// What the read-back of a registered task asks the Task Scheduler, in order.
const std::vector<std::string> kReadBackCalls = {
    "CoCreateInstance",        "ITaskService::Connect",           "ITaskService::GetFolder",
    "ITaskFolder::GetTask",    "IRegisteredTask::get_Definition", "ITaskDefinition::get_Principal",
    "IPrincipal::get_UserId",  "IPrincipal::get_GroupId",         "IPrincipal::get_LogonType",
    "IPrincipal::get_RunLevel"};

// One principal of the helper's own user, least-privileged, is registered as handed over,
// however the document spells it; the first row is the principal that query-to-file exports.
// Windows' answer for the registered task is read back each time, and nothing of it is left held.
TEST_F(CreateXml, OwnLeastPrivilegedPrincipalIsRegistered) {
    const std::wstring exported = L"<UserId>" + ownName() +
                                  L"</UserId><LogonType>InteractiveToken</LogonType>"
                                  L"<RunLevel>LeastPrivilege</RunLevel>";
    // Each document with the user it runs as: one without a UserId runs as the user who
    // registers it.
    const std::pair<std::wstring, std::wstring> documents[] = {
        {taskWith(L"  <Principals>\r\n    <Principal id=\"Author\">" + exported +
                  L"</Principal>\r\n  </Principals>\r\n"),
         ownName()},
        {taskWith(principal(L"<UserId>" + ownSid() + L"</UserId><DisplayName>me</DisplayName>")),
         ownSid()},
        // One text node, trimmed of XML white space.
        {taskWith(principal(L"<LogonType>\r\n InteractiveToken </LogonType>")), ownName()},
        {windowsExport(), ownSid()},
        {withTheOtherElements(), ownName()},
        {taskWith(L"<t:Principals xmlns:t=\"http://schemas.microsoft.com/windows/2004/02/mit/"
                  L"task\"><t:Principal id=\"Author\"><t:RunLevel>LeastPrivilege</t:RunLevel>"
                  L"</t:Principal></t:Principals>"),
         ownName()},
    };
    for (const auto& [document, runsAs] : documents) {
        ASSERT_TRUE(writeFile(input, toUtf8(declaration(L"UTF-8") + document)));
        HelperOutcome outcome = start({L"create-xml", input});
        EXPECT_EQ(outcome.code(), 0) << outcome.err;
        EXPECT_EQ(fromUtf16le(readFile(taskFile())), declaration(L"UTF-16") + document);
        EXPECT_TRUE(hasLine(logOf(outcome), "Read back the registered task: it runs as " +
                                                toUtf8(runsAs) +
                                                " with an interactive token and least privilege."));
        const Ledger ledger = readLedger(*this);
        expectNoLeaks(ledger);
        EXPECT_EQ(ledger.calls(), kReadBackCalls) << ledger.dump();
        EXPECT_TRUE(ledger.has("call ITaskFolder::GetTask Quillfen")) << ledger.dump();
    }
    EXPECT_EQ(calls().size(), std::size(documents));
}

// Whatever schtasks.exe registered is read back through the Task Scheduler: a principal other
// than a least-privileged one of the asking user, or one that cannot be read, has the task
// deleted again (and with it the one it replaced) and ends with 4. The staged copy is kept.
TEST_F(CreateXml, RegisteredTaskThatWindowsReadsBackOtherwiseIsDeleted) {
    struct Row {
        const char* name;
        Switches env;
        std::string text;
        bool deleteFails = false;
    };
    const std::string refused = "The task XML is refused: Windows registered its task with ";
    const std::string unread = "The registered task could not be read back: ";
    const std::string system = refused +
                               "UserId S-1-5-18, not the user who asked for the task; with "
                               "RunLevel HighestAvailable, not LeastPrivilege.";
    const std::string deleted = " The task was deleted.";
    const Row rows[] = {
        {"System", {schtasksSwitch(L"REGISTER_AS", L"system")}, system + deleted},
        {"Highest",
         {schtasksSwitch(L"REGISTER_AS", L"highest")},
         refused + "RunLevel HighestAvailable, not LeastPrivilege." + deleted},
        {"Group",
         {schtasksSwitch(L"REGISTER_AS", L"group")},
         refused + "GroupId S-1-5-32-545, where no group is allowed." + deleted},
        {"Password",
         {schtasksSwitch(L"REGISTER_AS", L"password")},
         refused + "LogonType Password, not InteractiveToken." + deleted},
        {"GetTaskFails",
         {{L"QSH_STANDIN_TS_FAIL", L"ITaskFolder::GetTask:80070005"}},
         unread + "Opening the registered task failed: " + hresultText(E_ACCESSDENIED) + "." +
             deleted},
        {"RunLevelFails",
         {{L"QSH_STANDIN_TS_FAIL", L"IPrincipal::get_RunLevel:80004001"}},
         unread + "Reading the registered task's RunLevel failed: " + hresultText(E_NOTIMPL) + "." +
             deleted},
        {"NullUserId",
         {{L"QSH_STANDIN_TS_NULL_USER", L"1"}},
         unread + "its principal has no UserId." + deleted},
        // The test holds the stored task without delete sharing: the delete fails, still 4.
        {"DeleteFails",
         {schtasksSwitch(L"REGISTER_AS", L"system")},
         system + " Deleting the task failed too (code 1): it may still be registered.",
         true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_TRUE(writeFile(taskFile(), utf16le(L"<Task/>")));
        DeleteFileW(recordPath().c_str());
        HANDLE held = row.deleteFails ? CreateFileW(taskFile().c_str(), GENERIC_READ,
                                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)
                                      : INVALID_HANDLE_VALUE;
        const HelperOutcome outcome = start({L"create-xml", input}, row.env);
        CloseHandle(held);
        EXPECT_EQ(outcome.code(), 4);
        EXPECT_EQ(outcome.out, kXmlFailureLine);
        const std::string schtasksError =
            row.deleteFails ? "ERROR: The system cannot find the file specified.\r\n" : "";
        EXPECT_EQ(outcome.err, schtasksError + row.text + "\r\n");
        const auto log = logOf(outcome);
        EXPECT_TRUE(linesInOrder(
            log, {"create-xml: exitCode=0; timedOut=false",
                  "create-xml delete: exitCode=" + std::string(row.deleteFails ? "1" : "0") +
                      "; timedOut=false",
                  row.text}));
        EXPECT_TRUE(hasLine(log, startsWith("Preserving normalized XML for diagnostics: ")));
        // The import, then the delete; every row runs even when one of them fails.
        const auto recorded = calls();
        EXPECT_EQ(recorded.size(), 2u);
        const std::vector<std::string> last =
            recorded.empty() ? std::vector<std::string>{}
                             : std::vector<std::string>(recorded.back().argv.begin() + 1,
                                                        recorded.back().argv.end());
        EXPECT_EQ(last, (std::vector<std::string>{"/DELETE", "/TN", "Quillfen", "/F"}));
        EXPECT_EQ(fileExists(taskFile()), row.deleteFails);
        EXPECT_EQ(filesIn(stagingFolder()).size(), 1u);
        expectNoLeaks(readLedger(*this));
        for (const std::wstring& kept : filesIn(stagingFolder())) {
            DeleteFileW((stagingFolder() + L"\\" + kept).c_str());
        }
    }
}

// After an administrator typed credentials at the prompt, the helper runs as that administrator,
// not as the user who asked: every document it registered would run as the administrator. Wine
// has one user, so qsh-caller-probe is told another asking user.
TEST_F(CreateXml, HelperOfAnotherAccountThanTheAskerRegistersNoDocument) {
    const std::wstring asker = L"S-1-5-21-1-2-3-1001";
    for (const std::wstring& document : {taskBody(), taskWith(userId(ownSid()))}) {
        ASSERT_TRUE(writeFile(input, toUtf8(declaration(L"UTF-8") + document)));
        const HelperOutcome outcome =
            start(probeRun({L"create-xml", input}, {{L"QSH_PROBE_ASKING_SID", asker}}));
        const std::string text = "The task XML is refused: the helper runs as another account (" +
                                 toUtf8(ownSid()) +
                                 ") than the user who asked for the task (S-1-5-21-1-2-3-1001), "
                                 "and a task it registers would run as that account.";
        EXPECT_EQ(outcome.code(), 4);
        EXPECT_EQ(outcome.out, kXmlFailureLine);
        EXPECT_EQ(outcome.err, text + "\r\n");
        EXPECT_TRUE(hasLine(logOf(outcome), "Unable to normalize create-xml input: " + text));
    }
    EXPECT_TRUE(calls().empty());
    EXPECT_FALSE(fileExists(taskFile()));
}

// The staged copy is unheld for a moment twice: while the read hold takes over from the writer,
// and after the import, before its delete. qsh-caller-probe plays another program there: a copy
// changed in the first is not imported; a file put in its place in the second is not deleted.
TEST_F(CreateXml, CopyChangedWhileUnheldIsNeitherImportedNorDeletedForAnother) {
    const HelperOutcome tampered =
        start(probeRun({L"create-xml", input}, {{L"QSH_PROBE_IMPORT", L"tamper"}}));
    EXPECT_EQ(tampered.code(), 4);
    EXPECT_EQ(tampered.err, "The staged copy was changed before it was imported.\r\n");
    EXPECT_TRUE(calls().empty());

    const HelperOutcome swapped =
        start(probeRun({L"create-xml", input}, {{L"QSH_PROBE_IMPORT", L"swap"}}));
    EXPECT_EQ(swapped.code(), 0) << swapped.err;
    EXPECT_EQ(readFile(taskFile()), staged);
    EXPECT_TRUE(hasLine(logOf(swapped), "Could not delete normalized XML after successful import: "
                                        "Another file has taken the staged copy's place."));
    const std::vector<std::wstring> kept = filesIn(stagingFolder());
    ASSERT_EQ(kept.size(), 2u); // the tampered copy, kept for diagnosis, and the planted file
    std::size_t planted = 0;
    for (const std::wstring& name : kept) {
        planted += readFile(stagingFolder() + L"\\" + name) == "planted" ? 1 : 0;
    }
    EXPECT_EQ(planted, 1u);
}

TEST_F(CreateXml, FailedImportKeepsTheStagedCopy) {

    HelperOutcome outcome =
        start({L"create-xml", input}, {schtasksSwitch(L"EXIT_CODE", L"1"),
                                       schtasksSwitch(L"STDERR_TEXT", L"ERROR: refused.")});
    EXPECT_EQ(outcome.code(), 1);
    EXPECT_EQ(outcome.out,
              resultLine(1, "Could not create the Windows scheduled task from XML. Exit code 1."));
    EXPECT_EQ(outcome.err, "ERROR: refused.\r\n");

    auto kept = filesIn(stagingFolder());
    ASSERT_EQ(kept.size(), 1u);
    std::wstring stagedPath = stagingFolder() + L"\\" + kept[0];
    EXPECT_EQ(readFile(stagedPath), staged);
    EXPECT_TRUE(hasLine(logOf(outcome),
                        "Preserving normalized XML for diagnostics: " + toUtf8(stagedPath)));
}

// While schtasks.exe runs (the stand-in waits, then reads sharing read only), no other program
// can change, rename or delete the staged copy or its folder; what is imported is the copy.
TEST_F(CreateXml, StagedCopyIsHeldWhileSchtasksRuns) {
    HelperOutcome outcome;
    std::thread helper([&] {
        outcome = start({L"create-xml", input}, {schtasksSwitch(L"DELAY_MS", L"3000")});
    });
    // The stand-in records its start before it waits.
    for (int tries = 0; tries < 1000 && calls().empty(); ++tries) {
        Sleep(10);
    }
    const std::vector<std::wstring> kept = filesIn(stagingFolder());
    EXPECT_EQ(kept.size(), 1u);
    const std::wstring file = stagingFolder() + L"\\" + (kept.empty() ? L"" : kept[0]);
    HANDLE writer = CreateFileW(file.c_str(), GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_EQ(writer, INVALID_HANDLE_VALUE);
    CloseHandle(writer);
    EXPECT_FALSE(MoveFileExW(file.c_str(), (file + L".moved").c_str(), 0));
    EXPECT_FALSE(DeleteFileW(file.c_str()));
    EXPECT_FALSE(MoveFileExW(stagingFolder().c_str(), (stagingFolder() + L" moved").c_str(), 0));
    helper.join();
    EXPECT_EQ(calls().size(), 1u);
    EXPECT_EQ(outcome.code(), 0) << outcome.err;
    EXPECT_EQ(readFile(taskFile()), staged);
    EXPECT_TRUE(filesIn(stagingFolder()).empty());
}

TEST_F(CreateXml, InputHeldOpenForWritingIsStillRead) {
    HANDLE writer = CreateFileW(input.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    HelperOutcome outcome = start({L"create-xml", input});
    CloseHandle(writer);
    EXPECT_EQ(outcome.code(), 0) << outcome.err;
    EXPECT_EQ(readFile(taskFile()), staged);
}

TEST_F(CreateXml, InputThatCannotBeOpenedFailsWithTheSystemMessage) {
    HANDLE exclusive = CreateFileW(input.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(exclusive, INVALID_HANDLE_VALUE);
    HelperOutcome outcome = start({L"create-xml", input});
    CloseHandle(exclusive);
    EXPECT_EQ(outcome.code(), 4);
    EXPECT_EQ(outcome.out, kXmlFailureLine);
    EXPECT_NE(outcome.err, "");
    EXPECT_TRUE(hasLine(logOf(outcome), "Unable to normalize create-xml input: " +
                                            outcome.err.substr(0, outcome.err.size() - 2)));
    EXPECT_TRUE(calls().empty());
}

TEST_F(CreateXml, StagedCopyThatCannotBeDeletedStillSucceeds) {
    HelperOutcome outcome = start({L"create-xml", input}, {schtasksSwitch(L"LOCK_IMPORTED", L"1")});
    EXPECT_EQ(outcome.code(), 0);
    EXPECT_EQ(outcome.out, kSuccessLine);
    EXPECT_EQ(outcome.err, "");
    EXPECT_TRUE(hasLine(logOf(outcome),
                        startsWith("Could not delete normalized XML after successful import: ")));
    auto kept = filesIn(stagingFolder());
    ASSERT_EQ(kept.size(), 1u);
    SetFileAttributesW((stagingFolder() + L"\\" + kept[0]).c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(CreateXml, UnwritableStagingFolderFails) {
    ASSERT_TRUE(writeFile(stagingFolder(), "a file where the folder should be"));

    HelperOutcome outcome = start({L"create-xml", input});
    EXPECT_EQ(outcome.code(), 4);
    EXPECT_EQ(outcome.out, kXmlFailureLine);
    EXPECT_EQ(outcome.err.rfind("Unable to create parent directory; error=", 0), 0u) << outcome.err;
    EXPECT_TRUE(
        hasLine(logOf(outcome), startsWith("Unable to normalize create-xml input: Unable to "
                                           "create parent directory; error=")));
    EXPECT_TRUE(calls().empty());
}

// An elevated helper never makes the base folder: the user's environment names it, and it would
// be made wherever that points. Without it there is no log and no import.
TEST_F(CreateXml, MissingBaseIsNotMadeByAnElevatedHelper) {
    const std::wstring base = files / L"no such folder";
    for (const std::vector<std::wstring>& args :
         {std::vector<std::wstring>{L"create-xml", input}, {L"create-default"}}) {
        HelperRun run = request(args);
        run.localAppData = base;
        const HelperOutcome outcome = start(run);
        EXPECT_FALSE(fileExists(base));
        if (args[0] == L"create-default") {
            EXPECT_EQ(outcome.code(), 0);
            continue;
        }
        EXPECT_EQ(outcome.code(), 4);
        EXPECT_EQ(outcome.out, kXmlFailureLine);
        EXPECT_EQ(outcome.err, systemText(ERROR_FILE_NOT_FOUND) + "\r\n");
    }
    EXPECT_EQ(calls().size(), 1u);
}

// A valid document padded with white space inside the Task element to exactly `size` bytes.
std::string paddedTask(std::size_t size) {
    std::string head = toUtf8(declaration(L"UTF-8") + L"<Task version=\"1.2\">");
    std::string tail = "</Task>";
    return head + std::string(size - head.size() - tail.size(), ' ') + tail;
}

TEST_F(CreateXmlSizeLimit, SixtyFourMebibytesAreReadOneByteMoreIsNot) {
    const std::size_t limit = 67108864;
    std::wstring input = files / L"big.xml";

    ASSERT_TRUE(writeFile(input, paddedTask(limit + 1)));
    HelperOutcome tooBig = start({L"create-xml", input});
    EXPECT_EQ(tooBig.code(), 4);
    EXPECT_EQ(tooBig.err, "Invalid or excessively large file size\r\n");
    EXPECT_TRUE(hasLine(logOf(tooBig), "Unable to normalize create-xml input: Invalid or "
                                       "excessively large file size"));
    EXPECT_FALSE(hasLine(logOf(tooBig), startsWith("Source XML encoding detected")));

    ASSERT_TRUE(writeFile(input, paddedTask(limit)));
    HelperOutcome atLimit = start({L"create-xml", input});
    EXPECT_EQ(atLimit.code(), 0) << atLimit.err;
    EXPECT_TRUE(hasLine(logOf(atLimit), startsWith("Source XML encoding detected as UTF-8/ASCII; "
                                                   "bytes=67108864; prefix=")));
    // One unit longer: the declaration now names UTF-16 instead of UTF-8.
    EXPECT_EQ(readFile(taskFile()).value_or("").size(), 2 + 2 * (limit + 1));
    EXPECT_EQ(calls().size(), 1u);
}

} // namespace
