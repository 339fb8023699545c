#include "helper_process.h"

#include "diag/unique_handle.h"

#include <atomic>
#include <cwctype>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace qsh::testing {
namespace {

using qsh::UniqueHandle;

bool sameName(const std::wstring& a, const std::wstring& b) {
    return _wcsicmp(a.c_str(), b.c_str()) == 0;
}

// The test's own environment with the run's changes applied, as a double-NUL block.
std::wstring buildEnvironment(const HelperRun& run) {
    std::vector<std::wstring> entries;
    if (wchar_t* block = GetEnvironmentStringsW()) {
        for (const wchar_t* p = block; *p != L'\0'; p += wcslen(p) + 1) {
            entries.emplace_back(p);
        }
        FreeEnvironmentStringsW(block);
    }
    auto nameOf = [](const std::wstring& entry) {
        // Names such as "=C:" start with '=': the separator is the next one.
        std::size_t eq = entry.find(L'=', 1);
        return entry.substr(0, eq);
    };
    auto remove = [&](const std::wstring& name) {
        std::erase_if(entries, [&](const std::wstring& e) { return sameName(nameOf(e), name); });
    };
    remove(L"LOCALAPPDATA");
    if (run.localAppData) {
        entries.push_back(L"LOCALAPPDATA=" + *run.localAppData);
    }
    for (const auto& [name, value] : run.env) {
        remove(name);
        entries.push_back(name + L"=" + value);
    }
    std::wstring block;
    for (const auto& e : entries) {
        block += e;
        block.push_back(L'\0');
    }
    block.push_back(L'\0');
    return block;
}

UniqueHandle limitedPrimaryToken() {
    UniqueHandle own;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_DUPLICATE, own.put())) {
        return {};
    }
    TOKEN_LINKED_TOKEN linked{};
    DWORD returned = 0;
    if (!GetTokenInformation(own.get(), TokenLinkedToken, &linked, sizeof linked, &returned)) {
        return {};
    }
    UniqueHandle linkedToken(linked.LinkedToken);
    UniqueHandle primary;
    if (!DuplicateTokenEx(linkedToken.get(), MAXIMUM_ALLOWED, nullptr, SecurityImpersonation,
                          TokenPrimary, primary.put())) {
        return {};
    }
    return primary;
}

void readAll(HANDLE pipe, std::string* into) {
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) && got > 0) {
        into->append(buffer, got);
    }
}

} // namespace

std::wstring quoteArgument(const std::wstring& arg) {
    if (arg.empty()) {
        return L"\"\"";
    }
    if (arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        return arg;
    }
    std::wstring out = L"\"";
    std::size_t slashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++slashes;
            continue;
        }
        if (c == L'"') {
            out.append(2 * slashes + 1, L'\\');
        } else {
            out.append(slashes, L'\\');
        }
        out.push_back(c);
        slashes = 0;
    }
    out.append(2 * slashes, L'\\');
    out.push_back(L'"');
    return out;
}

std::wstring moduleDirectory() {
    std::wstring buffer(32768, L'\0');
    DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    buffer.resize(n);
    return buffer.substr(0, buffer.find_last_of(L"\\/") + 1);
}

std::wstring helperExePath() {
    wchar_t value[32768];
    DWORD n = GetEnvironmentVariableW(L"QSH_HELPER_EXE", value, 32768);
    if (n > 0 && n < 32768) {
        return std::wstring(value, n);
    }
    return moduleDirectory() + L"QuillfenSchedulerHelper.exe";
}

HelperOutcome runHelper(const HelperRun& run) {
    HelperOutcome outcome;
    std::wstring exe = run.exePath.empty() ? helperExePath() : run.exePath;
    std::wstring commandLine = run.commandLine;
    if (commandLine.empty()) {
        commandLine = quoteArgument(exe);
        for (const auto& a : run.args) {
            commandLine += L" " + quoteArgument(a);
        }
    }
    std::wstring environment = buildEnvironment(run);

    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    UniqueHandle outRead, outWrite, errRead, errWrite;
    STARTUPINFOW si{};
    si.cb = sizeof si;
    if (run.stdHandles) {
        if (!CreatePipe(outRead.put(), outWrite.put(), &inherit, 0) ||
            !CreatePipe(errRead.put(), errWrite.put(), &inherit, 0)) {
            outcome.startError = GetLastError();
            return outcome;
        }
        SetHandleInformation(outRead.get(), HANDLE_FLAG_INHERIT, 0);
        SetHandleInformation(errRead.get(), HANDLE_FLAG_INHERIT, 0);
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdInput = nullptr;
        si.hStdOutput = outWrite.get();
        si.hStdError = errWrite.get();
    } else {
        // No inherited handles at all: the child's GetStdHandle must give nothing usable.
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdInput = nullptr;
        si.hStdOutput = nullptr;
        si.hStdError = nullptr;
    }

    PROCESS_INFORMATION pi{};
    const wchar_t* cwd = run.workingDirectory.empty() ? nullptr : run.workingDirectory.c_str();
    DWORD flags = CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW;
    BOOL created = FALSE;
    if (run.limitedToken) {
        UniqueHandle token = limitedPrimaryToken();
        if (!token) {
            outcome.startError = GetLastError() ? GetLastError() : ERROR_NO_TOKEN;
            return outcome;
        }
        created =
            CreateProcessAsUserW(token.get(), exe.c_str(), commandLine.data(), nullptr, nullptr,
                                 run.stdHandles, flags, environment.data(), cwd, &si, &pi);
    } else {
        created = CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, run.stdHandles,
                                 flags, environment.data(), cwd, &si, &pi);
    }
    if (!created) {
        outcome.startError = GetLastError();
        return outcome;
    }
    outcome.started = true;
    outcome.pid = pi.dwProcessId;
    UniqueHandle process(pi.hProcess);
    UniqueHandle thread(pi.hThread);
    // Our copies of the write ends must go, or the reads below never see the end.
    outWrite.reset();
    errWrite.reset();

    std::thread outReader, errReader;
    if (run.stdHandles) {
        outReader = std::thread(readAll, outRead.get(), &outcome.out);
        errReader = std::thread(readAll, errRead.get(), &outcome.err);
    }
    if (WaitForSingleObject(process.get(), run.timeoutMs) != WAIT_OBJECT_0) {
        outcome.timedOut = true;
        TerminateProcess(process.get(), 0xDEAD);
        WaitForSingleObject(process.get(), 5000);
    }
    GetExitCodeProcess(process.get(), &outcome.exitCode);
    if (outReader.joinable()) {
        outReader.join();
    }
    if (errReader.joinable()) {
        errReader.join();
    }
    return outcome;
}

std::vector<HelperOutcome> runHelpersConcurrently(const std::vector<HelperRun>& runs) {
    std::vector<HelperOutcome> outcomes(runs.size());
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < runs.size(); ++i) {
        threads.emplace_back([&, i] { outcomes[i] = runHelper(runs[i]); });
    }
    for (auto& t : threads) {
        t.join();
    }
    return outcomes;
}

TempDir::TempDir() {
    static std::atomic<unsigned> counter{0};
    wchar_t base[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH, base);
    std::wstringstream name;
    name << base << L"qsh-test-" << GetCurrentProcessId() << L"-" << GetTickCount64() << L"-"
         << counter++;
    path_ = name.str();
    std::error_code ec;
    std::filesystem::create_directories(path_, ec);
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

bool fileExists(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::optional<std::string> readFile(const std::wstring& path) {
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

bool writeFile(const std::wstring& path, const std::string& bytes) {
    std::error_code ec;
    std::filesystem::path p(path);
    if (p.has_parent_path()) {
        std::filesystem::create_directories(p.parent_path(), ec);
    }
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

std::wstring logFilePath(const std::wstring& localAppData) {
    return localAppData + L"\\Quillfen\\logs\\scheduler-helper.log";
}

std::vector<LogEntry> readLog(const std::wstring& localAppData) {
    std::vector<LogEntry> entries;
    auto content = readFile(logFilePath(localAppData));
    if (!content) {
        return entries;
    }
    std::size_t start = 0;
    while (start < content->size()) {
        std::size_t end = content->find("\r\n", start);
        std::string line =
            content->substr(start, end == std::string::npos ? std::string::npos : end - start);
        start = end == std::string::npos ? content->size() : end + 2;
        LogEntry entry;
        entry.raw = line;
        entry.message = line;
        // "YYYY-MM-DD HH:MM:SS.mmm [pid=N] message"
        const std::string pidTag = " [pid=";
        if (line.size() > 23 && line.compare(23, pidTag.size(), pidTag) == 0) {
            std::size_t close = line.find("] ", 23);
            if (close != std::string::npos) {
                entry.stamp = line.substr(0, 23);
                entry.pid = std::stoul(line.substr(29, close - 29));
                entry.message = line.substr(close + 2);
            }
        }
        entries.push_back(std::move(entry));
    }
    return entries;
}

std::vector<std::string> logMessagesOf(const std::vector<LogEntry>& log, unsigned long pid) {
    std::vector<std::string> messages;
    for (const auto& e : log) {
        if (e.pid == pid) {
            messages.push_back(e.message);
        }
    }
    return messages;
}

} // namespace qsh::testing
