#include "sandbox.h"

#include "diag/log.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <thread>

namespace qsh::testing {

std::string resultLine(int code, const std::string& message) {
    return "QUILLFEN_HELPER_RESULT status=" + std::string(code == 0 ? "success" : "failure") +
           " exitCode=" + std::to_string(code) + " message=" + message + "\r\n";
}

std::string logResult(int code, const std::string& message) {
    return "Result status=" + std::string(code == 0 ? "success" : "failure") +
           " exitCode=" + std::to_string(code) + " message=" + message;
}

std::string systemText(DWORD code) {
    wchar_t* buffer = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<LPWSTR>(&buffer),
        0, nullptr);
    if (length == 0 || buffer == nullptr) {
        return "Windows error " + std::to_string(code);
    }
    std::wstring text(buffer, length);
    LocalFree(buffer);
    text.erase(text.find_last_not_of(L"\r\n ") + 1);
    return toUtf8(text);
}

std::string hresultText(HRESULT hr) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%08X", static_cast<unsigned>(hr));
    return std::string("HRESULT 0x") + digits + " (" + systemText(static_cast<DWORD>(hr)) + ")";
}

std::optional<std::wstring> fromUtf16le(const std::optional<std::string>& bytes) {
    if (!bytes || !bytes->starts_with("\xFF\xFE") || bytes->size() % 2 != 0) {
        return std::nullopt;
    }
    return fromUtf16(*bytes);
}

std::wstring taskBody(const std::wstring& description) {
    return L"<Task version=\"1.2\" "
           L"xmlns=\"http://schemas.microsoft.com/windows/2004/02/mit/task\">\r\n"
           L"  <RegistrationInfo>\r\n"
           L"    <Description>" +
           description +
           L"</Description>\r\n"
           L"  </RegistrationInfo>\r\n"
           L"  <Triggers>\r\n"
           L"    <CalendarTrigger>\r\n"
           L"      <StartBoundary>2026-01-01T07:30:00</StartBoundary>\r\n"
           L"      <ScheduleByDay><DaysInterval>1</DaysInterval></ScheduleByDay>\r\n"
           L"    </CalendarTrigger>\r\n"
           L"  </Triggers>\r\n"
           L"  <Actions Context=\"Author\">\r\n"
           L"    <Exec>\r\n"
           L"      <Command>C:\\Windows\\System32\\cmd.exe</Command>\r\n"
           L"      <Arguments>/C quillfen -noGui</Arguments>\r\n"
           L"    </Exec>\r\n"
           L"  </Actions>\r\n"
           L"</Task>\r\n";
}

std::wstring declaration(const std::wstring& encoding) {
    return L"<?xml version=\"1.0\" encoding=\"" + encoding + L"\"?>\r\n";
}

bool Line::matches(const std::string& message) const {
    return prefix ? message.rfind(text, 0) == 0 : message == text;
}

bool hasLine(const std::vector<std::string>& log, const Line& line) {
    return std::any_of(log.begin(), log.end(),
                       [&](const std::string& m) { return line.matches(m); });
}

::testing::AssertionResult linesInOrder(const std::vector<std::string>& log,
                                        const std::vector<Line>& expected) {
    std::size_t at = 0;
    for (const Line& line : expected) {
        while (at < log.size() && !line.matches(log[at])) {
            ++at;
        }
        if (at == log.size()) {
            auto failure = ::testing::AssertionFailure();
            failure << "no line " << (line.prefix ? "starting with " : "") << "\"" << line.text
                    << "\" in order; the log was:\n";
            for (const std::string& message : log) {
                failure << "  " << message << "\n";
            }
            return failure;
        }
        ++at;
    }
    return ::testing::AssertionSuccess();
}

namespace {

std::optional<std::wstring> variable(const std::wstring& name) {
    const DWORD needed = GetEnvironmentVariableW(name.c_str(), nullptr, 0);
    if (needed == 0) {
        return std::nullopt;
    }
    std::wstring value(needed, L'\0');
    value.resize(GetEnvironmentVariableW(name.c_str(), value.data(), needed));
    return value;
}

} // namespace

ScopedEnv::ScopedEnv(std::wstring name, const std::optional<std::wstring>& value)
    : name_(std::move(name)), old_(variable(name_)) {
    SetEnvironmentVariableW(name_.c_str(), value ? value->c_str() : nullptr);
}

ScopedEnv::ScopedEnv(std::wstring name) : name_(std::move(name)), old_(variable(name_)) {}

ScopedEnv::~ScopedEnv() {
    SetEnvironmentVariableW(name_.c_str(), old_ ? old_->c_str() : nullptr);
}

Sandbox::Sandbox() {
    CreateDirectoryW(localAppData().c_str(), nullptr);
}

Sandbox::~Sandbox() {
    // The log folder that program code here held must not keep the folders from going.
    if (!here_.empty()) {
        qsh::releaseLogFolder();
    }
    // Last set, first put back: a variable set twice gets its first old value again.
    while (!here_.empty()) {
        here_.pop_back();
    }
}

HelperRun Sandbox::request(std::vector<std::wstring> args, const Switches& env) const {
    HelperRun run{.args = std::move(args),
                  .localAppData = localAppData(),
                  .env = {{L"QSH_STANDIN_TASKS_DIR", store.path()},
                          {L"QSH_STANDIN_SCHTASKS_RECORD", recordPath()},
                          {L"QSH_STANDIN_TS_LEDGER", ledgerPath()}}};
    run.env.insert(run.env.end(), env.begin(), env.end());
    return run;
}

namespace {

std::size_t linesIn(const std::optional<std::wstring>& localAppData) {
    return localAppData ? readLog(*localAppData).size() : 0;
}

void expectStartedAndEnded(const HelperOutcome& outcome) {
    EXPECT_TRUE(outcome.started) << "could not start the helper: error " << outcome.startError
                                 << " (" << systemText(outcome.startError) << ")";
    EXPECT_FALSE(outcome.timedOut);
}

} // namespace

HelperOutcome Sandbox::start(const HelperRun& run) const {
    const std::size_t before = linesIn(run.localAppData);
    HelperOutcome outcome = runHelper(run);
    outcome.logFrom = before;
    expectStartedAndEnded(outcome);
    return outcome;
}

HelperRun Sandbox::driverRun(const std::wstring& helper, std::vector<std::wstring> args,
                             const Switches& env) const {
    args.insert(args.begin(), helper);
    HelperRun run = request(std::move(args), env);
    run.exePath = moduleDirectory() + L"qsh-stage-driver.exe";
    return run;
}

HelperRun Sandbox::probeRun(std::vector<std::wstring> args, const Switches& env) const {
    HelperRun run = request(std::move(args), env);
    run.exePath = moduleDirectory() + L"qsh-caller-probe.exe";
    return run;
}

HelperOutcome Sandbox::start(std::vector<std::wstring> args, const Switches& env) const {
    return start(request(std::move(args), env));
}

std::vector<HelperOutcome> Sandbox::startTogether(const std::vector<HelperRun>& runs) const {
    const std::size_t before = linesIn(localAppData());
    std::vector<HelperOutcome> outcomes(runs.size());
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < runs.size(); ++i) {
        threads.emplace_back([&, i] { outcomes[i] = runHelper(runs[i]); });
    }
    for (std::size_t i = 0; i < runs.size(); ++i) {
        threads[i].join();
        outcomes[i].logFrom = before;
        expectStartedAndEnded(outcomes[i]);
    }
    return outcomes;
}

std::vector<std::string> Sandbox::logOf(const HelperOutcome& outcome) const {
    std::vector<LogEntry> log = readLog(localAppData());
    log.erase(log.begin(), log.begin() + std::min(outcome.logFrom, log.size()));
    return logMessagesOf(log, outcome.pid);
}

std::vector<qsh::standin::SchtasksCall> Sandbox::calls() const {
    return qsh::standin::parseSchtasksRecord(readFile(recordPath()).value_or(""));
}

std::vector<std::wstring> Sandbox::filesIn(const std::wstring& folder) const {
    std::vector<std::wstring> names;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
        if (!entry.is_directory(ec)) {
            names.push_back(entry.path().filename().wstring());
        }
    }
    return names;
}

std::vector<std::string> Sandbox::logHere() const {
    return logMessagesOf(readLog(localAppData()), GetCurrentProcessId());
}

void Sandbox::useHere(const Switches& env) {
    for (const auto& [name, value] : request({}, env).env) {
        here_.push_back(std::make_unique<ScopedEnv>(name, value));
    }
    here_.push_back(std::make_unique<ScopedEnv>(L"LOCALAPPDATA", localAppData()));
}

} // namespace qsh::testing
