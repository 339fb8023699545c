// apply-times end to end: the helper registers the task through the stand-in in-process
// Task Scheduler (its ledger shows every call, reference and BSTR).

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <iterator>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "sandbox.h"
#include "standin_ledger.h"

namespace {

using namespace qsh::testing;

const std::string kSuccessLine =
    resultLine(0, "Completed request to apply the Windows scheduled task times.");

std::string today() {
    SYSTEMTIME now = {};
    GetLocalTime(&now);
    char text[16];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u", unsigned{now.wYear}, unsigned{now.wMonth},
                  unsigned{now.wDay});
    return text;
}

std::string userName() {
    wchar_t name[257] = {};
    DWORD size = 257;
    GetUserNameW(name, &size);
    return toUtf8(name);
}

std::string cmdPath() {
    wchar_t folder[MAX_PATH + 1] = {};
    const UINT length = GetSystemDirectoryW(folder, MAX_PATH + 1);
    return toUtf8(std::wstring(folder, length) + L"\\cmd.exe");
}

std::string section(const std::string& xml, const std::string& tag) {
    const std::size_t open = xml.find("<" + tag);
    const std::size_t close = xml.find("</" + tag + ">");
    if (open == std::string::npos || close == std::string::npos || close < open) {
        return {};
    }
    return xml.substr(open, close - open);
}

std::vector<std::string> values(const std::string& xml, const std::string& tag) {
    std::vector<std::string> found;
    const std::string open = "<" + tag + ">";
    const std::string close = "</" + tag + ">";
    for (std::size_t at = xml.find(open); at != std::string::npos; at = xml.find(open, at)) {
        at += open.size();
        const std::size_t end = xml.find(close, at);
        if (end == std::string::npos) {
            break;
        }
        found.push_back(xml.substr(at, end - at));
    }
    return found;
}

std::wstring outPath(const Sandbox& box) {
    return box.files / L"out.xml";
}

HelperRun applyTimes(const Sandbox& box, const std::wstring& times, const Switches& env = {},
                     std::optional<std::wstring> out = std::nullopt) {
    return box.request({L"apply-times", times, out.value_or(outPath(box))}, env);
}

// What the command itself logged: after the elevation check, before the result line.
std::vector<std::string> commandMessages(const Sandbox& box, const HelperOutcome& outcome) {
    std::vector<std::string> messages;
    bool inside = false;
    for (const std::string& message : box.logOf(outcome)) {
        if (message.rfind("Result ", 0) == 0) {
            break;
        }
        if (inside) {
            messages.push_back(message);
        }
        inside = inside || message.rfind("Elevated token: ", 0) == 0;
    }
    return messages;
}

// The trigger dates are local dates: the suite runs in a zone whose date is not UTC's
// (see tests/other-day), or a date taken in UTC would pass unseen.
void expectDateApartFromUtc() {
    SYSTEMTIME local = {};
    SYSTEMTIME utc = {};
    GetLocalTime(&local);
    GetSystemTime(&utc);
    ASSERT_NE(local.wDay, utc.wDay) << "local and UTC date agree: run this suite through "
                                       "tests/other-day (ctest does so)";
}

std::vector<std::string> words(const std::string& text) {
    std::istringstream in(text);
    return {std::istream_iterator<std::string>(in), {}};
}

const std::vector<std::string> kCallsForOneTime = words(
    "CoCreateInstance ITaskService::Connect ITaskService::GetFolder ITaskService::NewTask "
    "ITaskDefinition::get_RegistrationInfo IRegistrationInfo::put_Author "
    "ITaskDefinition::get_Principal ITaskService::get_ConnectedUser IPrincipal::put_UserId "
    "IPrincipal::put_LogonType IPrincipal::put_RunLevel ITaskDefinition::get_Settings "
    "ITaskSettings::put_DisallowStartIfOnBatteries ITaskSettings::put_StopIfGoingOnBatteries "
    "ITaskSettings::put_WakeToRun ITaskSettings::put_Enabled ITaskDefinition::get_Triggers "
    "ITriggerCollection::Create ITrigger::QueryInterface IDailyTrigger::put_StartBoundary "
    "IDailyTrigger::put_DaysInterval IDailyTrigger::put_Enabled ITaskDefinition::get_Actions "
    "IActionCollection::Create IAction::QueryInterface IExecAction::put_Path "
    "IExecAction::put_Arguments ITaskFolder::RegisterTaskDefinition IRegisteredTask::get_Xml");

// The written file is the stored document, UTF-8 without a mark, its declaration naming UTF-8.
void expectOutputMatchesStore(const Sandbox& box) {
    std::optional<std::wstring> stored = fromUtf16le(readFile(box.taskFile()));
    ASSERT_TRUE(stored) << "no UTF-16 task in the store";
    const std::wstring storedDeclaration = L"<?xml version=\"1.0\" encoding=\"UTF-16\"?>";
    ASSERT_EQ(stored->rfind(storedDeclaration, 0), 0u);
    const std::string expected = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>" +
                                 toUtf8(stored->substr(storedDeclaration.size()));
    std::optional<std::string> written = readFile(outPath(box));
    ASSERT_TRUE(written);
    EXPECT_EQ(*written, expected);
}

void expectTaskDocument(const std::string& xml, const std::vector<std::string>& times,
                        const std::string& dayBefore, const std::string& dayAfter,
                        const std::vector<std::string>& users) {
    const std::string triggers = section(xml, "Triggers");
    std::vector<std::string> boundaries = values(triggers, "StartBoundary");
    ASSERT_EQ(boundaries.size(), times.size()) << xml;
    for (std::size_t i = 0; i < times.size(); ++i) {
        const std::string& day = boundaries[i].substr(0, 10) == dayAfter ? dayAfter : dayBefore;
        EXPECT_EQ(boundaries[i], day + "T" + times[i]);
    }
    EXPECT_EQ(values(triggers, "CalendarTrigger").size(), times.size());
    EXPECT_EQ(values(triggers, "DaysInterval"), std::vector<std::string>(times.size(), "1"));
    EXPECT_EQ(values(triggers, "Enabled"), std::vector<std::string>(times.size(), "true"));

    const std::string actions = section(xml, "Actions");
    EXPECT_EQ(values(actions, "Exec").size(), 1u) << xml;
    EXPECT_EQ(values(actions, "Command"), std::vector<std::string>{cmdPath()});
    EXPECT_EQ(values(actions, "Arguments"), std::vector<std::string>{"/C quillfen -noGui"});

    EXPECT_EQ(values(section(xml, "RegistrationInfo"), "Author"),
              std::vector<std::string>{"Quillfen"});
    EXPECT_EQ(values(xml, "UserId"), users);
    EXPECT_EQ(values(xml, "LogonType"), std::vector<std::string>{"InteractiveToken"});
    EXPECT_EQ(values(xml, "RunLevel"), std::vector<std::string>{"LeastPrivilege"});

    const std::string settings = section(xml, "Settings");
    EXPECT_EQ(values(settings, "DisallowStartIfOnBatteries"), std::vector<std::string>{"false"});
    EXPECT_EQ(values(settings, "StopIfGoingOnBatteries"), std::vector<std::string>{"false"});
    EXPECT_EQ(values(settings, "WakeToRun"), std::vector<std::string>{"true"});
    EXPECT_EQ(values(settings, "Enabled"), std::vector<std::string>{"true"});
}

// Each run replaces an older task and a longer older output whole. A service that reports no
// user name at all: the null BSTR is passed on as the empty name it stands for.
TEST(ApplyTimesSuccess, EveryTimeGetsOneTriggerInListOrder) {
    struct Case {
        std::wstring times;
        std::vector<std::string> expected;
        Switches env;
    };
    const std::vector<Case> cases = {
        {L"07:30:00", {"07:30:00"}},
        {L"07:30:00,19:00:00,07:30:00", {"07:30:00", "19:00:00", "07:30:00"}},
        {L"23:59:59,00:00:00", {"23:59:59", "00:00:00"}},
        {L"07:30:00", {"07:30:00"}, {{L"QSH_STANDIN_TS_NULL_USER", L"1"}}},
    };
    std::vector<Sandbox> boxes(cases.size());
    std::vector<HelperRun> runs;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        ASSERT_TRUE(writeFile(boxes[i].taskFile(), std::string("\xFF\xFE<\0T\0>\0", 8)));
        ASSERT_TRUE(writeFile(outPath(boxes[i]), std::string(20000, 'x')));
        runs.push_back(applyTimes(boxes[i], cases[i].times, cases[i].env));
    }
    expectDateApartFromUtc();
    const std::string dayBefore = today();
    std::vector<HelperOutcome> outcomes = boxes[0].startTogether(runs);
    const std::string dayAfter = today();

    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(toUtf8(cases[i].times) + (cases[i].env.empty() ? "" : " null user"));
        EXPECT_EQ(outcomes[i].code(), 0);
        EXPECT_EQ(outcomes[i].out, kSuccessLine);
        EXPECT_EQ(outcomes[i].err, "");
        EXPECT_EQ(commandMessages(boxes[i], outcomes[i]),
                  std::vector<std::string>{"Applied " + std::to_string(cases[i].expected.size()) +
                                           " daily trigger(s) and wrote task XML to " +
                                           toUtf8(outPath(boxes[i]))});
        expectOutputMatchesStore(boxes[i]);
        std::optional<std::string> written = readFile(outPath(boxes[i]));
        ASSERT_TRUE(written);
        const bool nullUser = !cases[i].env.empty();
        const std::string name = userName();
        const std::vector<std::string> users =
            nullUser ? std::vector<std::string>{} : std::vector<std::string>{name};
        expectTaskDocument(*written, cases[i].expected, dayBefore, dayAfter, users);

        const Ledger ledger = readLedger(boxes[i]);
        expectNoLeaks(ledger);
        if (cases[i].expected.size() == 1) {
            EXPECT_EQ(ledger.calls(), kCallsForOneTime) << ledger.dump();
        }
        // The user name read from the service is the very BSTR handed to the registration.
        const std::string user =
            nullUser ? "BSTR(null)" : "BSTR:" + name + " (handed out: connected user)";
        EXPECT_TRUE(ledger.has("call ITaskFolder::RegisterTaskDefinition path=Quillfen flags=6 "
                               "user=" +
                               user + " password=EMPTY logon=3 sddl=EMPTY"))
            << ledger.dump();
        EXPECT_TRUE(ledger.has(nullUser ? "call IPrincipal::put_UserId"
                                        : "call IPrincipal::put_UserId " + name));
        EXPECT_TRUE(ledger.has("call IPrincipal::put_LogonType 3"));
        EXPECT_TRUE(ledger.has("call IPrincipal::put_RunLevel 0"));
        EXPECT_TRUE(ledger.has("call ITaskService::Connect EMPTY EMPTY EMPTY EMPTY"));
    }
}

TEST(ApplyTimesValidation, BadTimesEndWith2BeforeAnyComCall) {
    struct Case {
        std::wstring times;
        std::wstring message;
    };
    auto invalid = [](const std::wstring& token) {
        return L"Invalid daily time '" + token + L"'; expected HH:mm:ss.";
    };
    const std::wstring range = L"Daily time is outside the valid range: ";
    const std::vector<Case> cases = {
        {L"24:00:00", range + L"24:00:00"},
        {L"12:60:00", range + L"12:60:00"},
        {L"07:30:00,12:00:60", range + L"12:00:60"},
        {L"7:30:00", invalid(L"7:30:00")},
        {L"07:30", invalid(L"07:30")},
        {L"07-30-00", invalid(L"07-30-00")},
        {L"07:30:00 ", invalid(L"07:30:00 ")},
        {L" 07:30:00", invalid(L" 07:30:00")},
        {L"07:30:00, 19:00:00", invalid(L" 19:00:00")},
        {L"07:30:00,", invalid(L"")},
        {L"\uFF10\uFF17:30:00", invalid(L"\uFF10\uFF17:30:00")},
        {L"\u0661\u0662:00:00", invalid(L"\u0661\u0662:00:00")},
    };
    std::vector<Sandbox> boxes(cases.size());
    std::vector<HelperRun> runs;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        runs.push_back(applyTimes(boxes[i], cases[i].times));
    }
    std::vector<HelperOutcome> outcomes = boxes[0].startTogether(runs);
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(toUtf8(cases[i].times));
        const std::string message = toUtf8(cases[i].message);
        EXPECT_EQ(outcomes[i].code(), 2);
        EXPECT_EQ(outcomes[i].err, message + "\r\n");
        EXPECT_EQ(outcomes[i].out.rfind("QUILLFEN_HELPER_RESULT status=failure exitCode=2 ", 0), 0u)
            << outcomes[i].out;
        EXPECT_EQ(commandMessages(boxes[i], outcomes[i]),
                  std::vector<std::string>{"apply-times validation failed: " + message});
        // The stand-in writes its ledger once it has been loaded at all.
        EXPECT_FALSE(fileExists(boxes[i].ledgerPath()));
        EXPECT_FALSE(fileExists(boxes[i].taskFile()));
        EXPECT_FALSE(fileExists(outPath(boxes[i])));
    }
}

struct RowFailure {
    std::string label;
    Switches env;
    std::string phrase;
    std::string lastCall; // the last call the stand-in saw
    HRESULT hr;
    bool registered;
};

std::ostream& operator<<(std::ostream& out, const RowFailure& row) {
    return out << row.label;
}

// The call named in `failure` ("<Name>[#n]:<hex HRESULT>") fails with that HRESULT.
RowFailure failing(const std::wstring& failure, const char* phrase, bool registered = false) {
    const std::size_t code = failure.rfind(L':');
    const std::string name = toUtf8(failure.substr(0, std::min(failure.find(L'#'), code)));
    std::string label; // "IDailyTrigger::put_Enabled#3" -> "IDailyTrigger_put_Enabled_3"
    for (char c : toUtf8(failure.substr(0, code))) {
        if (std::isalnum(static_cast<unsigned char>(c))) {
            label += c;
        } else if (!label.ends_with('_')) {
            label += '_';
        }
    }
    const auto hr = static_cast<HRESULT>(std::wcstoul(failure.c_str() + code + 1, nullptr, 16));
    return {label, {{L"QSH_STANDIN_TS_FAIL", failure}}, phrase, name, hr, registered};
}

// A string the helper cannot allocate fails its step with E_OUTOFMEMORY before the call.
RowFailure noMemory(const char* label, const wchar_t* which, const char* phrase,
                    const char* lastCall) {
    return {label, {{L"QSH_STANDIN_TS_NULL_BSTR", which}}, phrase, lastCall, E_OUTOFMEMORY, false};
}

class ApplyTimesRowFailure : public ::testing::TestWithParam<RowFailure> {};

// Three times, so that a trigger failure can come after a trigger already made.
TEST_P(ApplyTimesRowFailure, ReportsThePhraseReleasesEverythingAndEndsWith1) {
    const RowFailure& row = GetParam();
    Sandbox box;
    HelperOutcome outcome = box.start(applyTimes(box, L"07:30:00,19:00:00,07:30:00", row.env));
    const std::string text = row.phrase + " failed: " + hresultText(row.hr);

    EXPECT_EQ(outcome.code(), 1);
    EXPECT_EQ(outcome.err, text + "\r\n");
    EXPECT_EQ(outcome.out.rfind("QUILLFEN_HELPER_RESULT status=failure exitCode=1 ", 0), 0u)
        << outcome.out;
    EXPECT_EQ(commandMessages(box, outcome), std::vector<std::string>{text});
    EXPECT_EQ(fileExists(box.taskFile()), row.registered);
    EXPECT_FALSE(fileExists(outPath(box)));

    Ledger ledger = readLedger(box);
    expectNoLeaks(ledger);
    ASSERT_FALSE(ledger.calls().empty());
    EXPECT_EQ(ledger.calls().back(), row.lastCall) << ledger.dump();
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ApplyTimesRowFailure,
    ::testing::Values(
        failing(L"CoCreateInstance:80040154", "Creating Task Scheduler service"),
        failing(L"ITaskService::Connect:80070005", "Connecting to Task Scheduler"),
        failing(L"ITaskService::GetFolder:80070002", "Opening the Task Scheduler root folder"),
        failing(L"ITaskService::NewTask:8004130F", "Creating a task definition"),
        failing(L"ITaskDefinition::get_RegistrationInfo:80004005",
                "Reading task registration information"),
        failing(L"IRegistrationInfo::put_Author:80070057", "Setting task author"),
        failing(L"ITaskDefinition::get_Principal:80004005", "Reading task principal"),
        failing(L"ITaskService::get_ConnectedUser:80004001", "Reading the connected Windows user"),
        failing(L"IPrincipal::put_UserId:80070534", "Setting task user"),
        failing(L"IPrincipal::put_LogonType:80004001", "Setting task logon type"),
        failing(L"IPrincipal::put_RunLevel:80004001", "Setting task run level"),
        failing(L"ITaskDefinition::get_Settings:80004005", "Reading task settings"),
        failing(L"ITaskSettings::put_DisallowStartIfOnBatteries:80070057",
                "Configuring task settings"),
        failing(L"ITaskSettings::put_StopIfGoingOnBatteries:80070057", "Configuring task settings"),
        failing(L"ITaskSettings::put_WakeToRun:80070057", "Configuring task settings"),
        failing(L"ITaskSettings::put_Enabled:80070057", "Configuring task settings"),
        failing(L"ITaskDefinition::get_Triggers:80004005", "Reading task triggers"),
        failing(L"ITriggerCollection::Create#2:8007000E", "Creating a daily trigger"),
        failing(L"ITrigger::QueryInterface#3:80004002", "Opening a daily trigger"),
        failing(L"IDailyTrigger::put_StartBoundary#2:80041318", "Configuring a daily trigger"),
        failing(L"IDailyTrigger::put_DaysInterval#2:80070057", "Configuring a daily trigger"),
        failing(L"IDailyTrigger::put_Enabled#3:80070057", "Configuring a daily trigger"),
        failing(L"ITaskDefinition::get_Actions:80004005", "Reading task actions"),
        failing(L"IActionCollection::Create:80004001", "Creating task action"),
        failing(L"IAction::QueryInterface:80004002", "Opening task action"),
        failing(L"IExecAction::put_Path:80070057", "Configuring task action"),
        failing(L"IExecAction::put_Arguments:80070057", "Configuring task action"),
        failing(L"ITaskFolder::RegisterTaskDefinition:80070005",
                "Registering the Windows scheduled task"),
        failing(L"IRegisteredTask::get_Xml:8004130F", "Reading registered task XML", true),
        // Allocations in order: root folder, author, three boundaries, path, arguments, name.
        noMemory("NoMemoryFolder", L"#1", "Opening the Task Scheduler root folder",
                 "ITaskService::Connect"),
        noMemory("NoMemoryAuthor", L"#2", "Setting task author",
                 "ITaskDefinition::get_RegistrationInfo"),
        noMemory("NoMemoryBoundary", L"#4", "Configuring a daily trigger",
                 "ITrigger::QueryInterface"),
        noMemory("NoMemoryPath", L"#6", "Configuring task action", "IAction::QueryInterface"),
        noMemory("NoMemoryArguments", L"/C quillfen -noGui", "Configuring task action",
                 "IExecAction::put_Path"),
        noMemory("NoMemoryTaskName", L"#8", "Registering the Windows scheduled task",
                 "IExecAction::put_Arguments")),
    [](const ::testing::TestParamInfo<RowFailure>& info) { return info.param.label; });

// The output is opened before the task is changed.
TEST(ApplyTimesOutput, UnwritableOutputGives4WithTheTaskUnchanged) {
    Sandbox box;
    // A parent that is a file cannot become a folder; a folder cannot be opened as a file.
    ASSERT_TRUE(writeFile(box.files / L"blocker", "x"));
    const std::vector<std::wstring> outputs = {box.files / L"blocker\\out.xml", box.files.path()};
    for (const std::wstring& out : outputs) {
        SCOPED_TRACE(toUtf8(out));
        DeleteFileW(box.taskFile().c_str());
        HelperOutcome outcome = box.start(applyTimes(box, L"07:30:00", {}, out));
        EXPECT_EQ(outcome.code(), 4);
        const std::string prefix = "Could not open the task XML output: ";
        ASSERT_EQ(outcome.err.rfind(prefix, 0), 0u) << outcome.err;
        EXPECT_GT(outcome.err.size(), prefix.size() + 2);
        EXPECT_EQ(commandMessages(box, outcome),
                  std::vector<std::string>{outcome.err.substr(0, outcome.err.size() - 2)});
        EXPECT_FALSE(fileExists(box.taskFile()));
        EXPECT_TRUE(readLedger(box).lines.empty()); // no COM call was made
    }
}

// The folders made for an output that was never written go with it; a folder that was there
// stays.
TEST(ApplyTimesOutput, FoldersMadeForTheOutputGoWhenTheTaskIsNotChanged) {
    Sandbox box;
    ASSERT_TRUE(CreateDirectoryW((box.files / L"there").c_str(), nullptr));
    const std::wstring out = box.files / L"there\\new\\deeper\\out.xml";
    HelperOutcome outcome = box.start(applyTimes(
        box, L"07:30:00", {{L"QSH_STANDIN_TS_FAIL", L"ITaskService::Connect:80070005"}}, out));
    EXPECT_EQ(outcome.code(), 1);
    EXPECT_EQ(outcome.err,
              "Connecting to Task Scheduler failed: " + hresultText(E_ACCESSDENIED) + "\r\n");
    EXPECT_EQ(GetFileAttributesW((box.files / L"there\\new").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_NE(GetFileAttributesW((box.files / L"there").c_str()), INVALID_FILE_ATTRIBUTES);
}

// The task registered through the service is the one schtasks.exe reports afterwards.
TEST(ApplyTimesQuery, QueryToFileReturnsTheAppliedTask) {
    Sandbox box;
    HelperOutcome applied = box.start(applyTimes(box, L"07:30:00,19:00:00"));
    ASSERT_EQ(applied.code(), 0) << applied.err;

    const std::wstring queriedPath = box.files / L"queried.xml";
    HelperOutcome queried = box.start({L"query-to-file", queriedPath});
    ASSERT_EQ(queried.code(), 0) << queried.err;
    std::optional<std::string> fromService = readFile(outPath(box));
    std::optional<std::string> fromQuery = readFile(queriedPath);
    ASSERT_TRUE(fromService && fromQuery);
    EXPECT_EQ(*fromQuery, *fromService);
}

} // namespace
