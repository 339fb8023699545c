#include "helper_process.h"

#include <sddl.h>

#include "base/unique_resource.h"

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <thread>

namespace qsh::testing {
namespace {

using qsh::UniqueHandle;

struct NoCase {
    bool operator()(const std::wstring& a, const std::wstring& b) const {
        return _wcsicmp(a.c_str(), b.c_str()) < 0;
    }
};

// The test's own environment with the run's changes applied, as a double-NUL block.
std::wstring buildEnvironment(const HelperRun& run) {
    std::map<std::wstring, std::wstring, NoCase> variables;
    if (wchar_t* block = GetEnvironmentStringsW()) {
        for (const wchar_t* p = block; *p != L'\0'; p += wcslen(p) + 1) {
            // Names such as "=C:" start with '=': the separator is the next one.
            const std::wstring entry = p;
            const std::size_t eq = entry.find(L'=', 1);
            variables[entry.substr(0, eq)] = eq == std::wstring::npos ? L"" : entry.substr(eq + 1);
        }
        FreeEnvironmentStringsW(block);
    }
    variables.erase(L"LOCALAPPDATA");
    if (run.localAppData) {
        variables[L"LOCALAPPDATA"] = *run.localAppData;
    }
    for (const auto& [name, value] : run.env) {
        variables.erase(name);
        variables[name] = value;
    }
    std::wstring block;
    for (const auto& [name, value] : variables) {
        block += name + L"=" + value + L'\0';
    }
    return block + L'\0';
}

UniqueHandle limitedPrimaryToken() {
    UniqueHandle own, primary;
    TOKEN_LINKED_TOKEN linked{};
    DWORD returned = 0;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_DUPLICATE, own.put()) &&
        GetTokenInformation(own.get(), TokenLinkedToken, &linked, sizeof linked, &returned)) {
        const UniqueHandle linkedToken(linked.LinkedToken);
        DuplicateTokenEx(linkedToken.get(), MAXIMUM_ALLOWED, nullptr, SecurityImpersonation,
                         TokenPrimary, primary.put());
    }
    return primary;
}

UniqueHandle ownPrimaryToken() {
    UniqueHandle own, primary;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_DUPLICATE, own.put())) {
        DuplicateTokenEx(own.get(), MAXIMUM_ALLOWED, nullptr, SecurityImpersonation, TokenPrimary,
                         primary.put());
    }
    return primary;
}

// The attribute list that names another process as the parent.
class ParentAttribute {
  public:
    explicit ParentAttribute(HANDLE parent) : parent_(parent) {
        SIZE_T size = 0;
        InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        buffer_.resize(size);
        list_ = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(buffer_.data());
        if (!InitializeProcThreadAttributeList(list_, 1, 0, &size)) {
            list_ = nullptr;
            return;
        }
        UpdateProcThreadAttribute(list_, 0, PROC_THREAD_ATTRIBUTE_PARENT_PROCESS, &parent_,
                                  sizeof parent_, nullptr, nullptr);
    }
    ~ParentAttribute() {
        if (list_ != nullptr) {
            DeleteProcThreadAttributeList(list_);
        }
    }
    ParentAttribute(const ParentAttribute&) = delete;
    ParentAttribute& operator=(const ParentAttribute&) = delete;
    LPPROC_THREAD_ATTRIBUTE_LIST get() const { return list_; }

  private:
    HANDLE parent_;
    std::vector<char> buffer_;
    LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
};

void readAll(HANDLE pipe, std::string* into) {
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) && got > 0) {
        into->append(buffer, got);
    }
}

} // namespace

std::wstring quoteArgument(const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        return arg;
    }
    std::wstring out = L"\"";
    std::size_t slashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++slashes;
            continue;
        }
        out.append(c == L'"' ? 2 * slashes + 1 : slashes, L'\\');
        out.push_back(c);
        slashes = 0;
    }
    out.append(2 * slashes, L'\\');
    return out + L"\"";
}

std::wstring moduleDirectory() {
    std::wstring buffer(32768, L'\0');
    buffer.resize(GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size())));
    return buffer.substr(0, buffer.find_last_of(L"\\/") + 1);
}

std::wstring helperExePath() {
    return moduleDirectory() + L"QuillfenSchedulerHelper.exe";
}

HANDLE startSuspendedHelper(bool limitedToken, bool closedToOthers) {
    const UniqueHandle token = limitedToken ? limitedPrimaryToken() : ownPrimaryToken();
    std::wstring commandLine = quoteArgument(helperExePath()) + L" --version";
    STARTUPINFOW si{.cb = sizeof si};
    PROCESS_INFORMATION pi{};
    // Everyone denied everything: only the handle made here can reach the process.
    PSECURITY_DESCRIPTOR denyAll = nullptr;
    if (closedToOthers && !ConvertStringSecurityDescriptorToSecurityDescriptorW(
                              L"D:(D;;GA;;;WD)", SDDL_REVISION_1, &denyAll, nullptr)) {
        return nullptr;
    }
    SECURITY_ATTRIBUTES security{sizeof security, denyAll, FALSE};
    const BOOL created =
        token &&
        CreateProcessAsUserW(token.get(), helperExePath().c_str(), commandLine.data(),
                             closedToOthers ? &security : nullptr, nullptr, FALSE,
                             CREATE_SUSPENDED | CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi);
    LocalFree(denyAll);
    if (!created) {
        return nullptr;
    }
    CloseHandle(pi.hThread);
    return pi.hProcess;
}

HelperOutcome runHelper(const HelperRun& run) {
    HelperOutcome outcome;
    const std::wstring exe = run.exePath.empty() ? helperExePath() : run.exePath;
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
    // Without pipes the child inherits no handles at all: GetStdHandle gives it nothing usable.
    STARTUPINFOEXW six{};
    STARTUPINFOW& si = six.StartupInfo;
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    const bool parented = run.parent != nullptr;
    if (run.stdHandles && !parented) {
        if (!CreatePipe(outRead.put(), outWrite.put(), &inherit, 0) ||
            !CreatePipe(errRead.put(), errWrite.put(), &inherit, 0)) {
            outcome.startError = GetLastError();
            return outcome;
        }
        SetHandleInformation(outRead.get(), HANDLE_FLAG_INHERIT, 0);
        SetHandleInformation(errRead.get(), HANDLE_FLAG_INHERIT, 0);
        si.hStdOutput = outWrite.get();
        si.hStdError = errWrite.get();
    }

    PROCESS_INFORMATION pi{};
    const wchar_t* cwd = run.workingDirectory.empty() ? nullptr : run.workingDirectory.c_str();
    DWORD flags = CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW;
    const ParentAttribute attribute(run.parent);
    if (parented) {
        si.cb = sizeof six;
        six.lpAttributeList = attribute.get();
        flags |= EXTENDED_STARTUPINFO_PRESENT;
    }
    if (run.beforeRun) {
        flags |= CREATE_SUSPENDED;
    }
    const bool inheritHandles = run.stdHandles && !parented;
    // Named explicitly: with another parent the token would be that parent's.
    const bool asUser = run.limitedToken || parented;
    const UniqueHandle token = run.limitedToken ? limitedPrimaryToken()
                               : parented       ? ownPrimaryToken()
                                                : UniqueHandle();
    if (asUser && !token) {
        outcome.startError = GetLastError() ? GetLastError() : ERROR_NO_TOKEN;
        return outcome;
    }
    auto create = [&] {
        return asUser ? CreateProcessAsUserW(token.get(), exe.c_str(), commandLine.data(), nullptr,
                                             nullptr, inheritHandles, flags, environment.data(),
                                             cwd, &si, &pi)
                      : CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr,
                                       inheritHandles, flags, environment.data(), cwd, &si, &pi);
    };
    BOOL created = create();
    outcome.startError = created ? 0 : GetLastError();
    // Wine gives 1359 only when the new process ended before its first Windows instruction: its
    // Unix loader died or never started, which a loaded machine causes now and then. No code
    // of the program has run, so one more start, said out loud, hides none of its failures.
    if (!created && outcome.startError == ERROR_INTERNAL_ERROR) {
        std::cerr << "[harness] Wine could not start " << toUtf8(exe)
                  << " (error 1359, before it ran); starting it once more\n";
        created = create();
        outcome.startError = created ? 0 : GetLastError();
    }
    if (!created) {
        return outcome;
    }
    outcome.started = true;
    outcome.pid = pi.dwProcessId;
    const UniqueHandle process(pi.hProcess);
    const UniqueHandle thread(pi.hThread);
    if (run.beforeRun) {
        run.beforeRun();
        ResumeThread(thread.get());
    }
    // Our copies of the write ends must go, or the reads below never see the end.
    outWrite.reset();
    errWrite.reset();
    // Without pipes the reads fail at once.
    std::thread outReader(readAll, outRead.get(), &outcome.out);
    std::thread errReader(readAll, errRead.get(), &outcome.err);
    if (WaitForSingleObject(process.get(), run.timeoutMs) != WAIT_OBJECT_0) {
        outcome.timedOut = true;
        TerminateProcess(process.get(), 0xDEAD);
        WaitForSingleObject(process.get(), 5000);
    }
    GetExitCodeProcess(process.get(), &outcome.exitCode);
    outReader.join();
    errReader.join();
    return outcome;
}

TempDir::TempDir() {
    static std::atomic<unsigned> counter{0};
    wchar_t base[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH, base);
    path_ = base + (L"qsh-test-" + std::to_wstring(GetCurrentProcessId())) + L"-" +
            std::to_wstring(GetTickCount64()) + L"-" + std::to_wstring(counter++);
    std::error_code ec;
    std::filesystem::create_directories(path_, ec);
}

namespace {

// One pass over the tree, each entry tried once. std::filesystem::remove_all can loop for ever
// under Wine over a file that another handle keeps open with delete sharing (the delete stays
// pending and the name is listed again), which turned a failing test into a hanging one.
void removeTree(const std::wstring& folder) {
    WIN32_FIND_DATAW found{};
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = found.cFileName;
            if (name == L"." || name == L"..") {
                continue;
            }
            const std::wstring path = folder + L"\\" + name;
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
                removeTree(path);
            } else {
                SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(path.c_str());
            }
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(folder.c_str());
}

} // namespace

TempDir::~TempDir() {
    removeTree(path_);
}

bool fileExists(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::optional<std::string> readFile(const std::wstring& path) {
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    return in ? std::optional(std::string(std::istreambuf_iterator<char>(in), {})) : std::nullopt;
}

bool writeFile(const std::wstring& path, const std::string& bytes) {
    const std::filesystem::path p(path);
    std::error_code ec;
    std::filesystem::create_directories(p.parent_path(), ec);
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

std::wstring logFilePath(const std::wstring& localAppData) {
    return localAppData + L"\\Quillfen\\logs\\scheduler-helper.log";
}

std::vector<LogEntry> readLog(const std::wstring& localAppData) {
    std::vector<LogEntry> entries;
    const std::string content = readFile(logFilePath(localAppData)).value_or("");
    for (std::size_t start = 0, end; start < content.size(); start = end + 2) {
        end = std::min(content.find("\r\n", start), content.size());
        const std::string line = content.substr(start, end - start);
        LogEntry entry{.message = line, .raw = line};
        // "YYYY-MM-DD HH:MM:SS.mmm [pid=N] message"
        const std::size_t close = line.find("] ", 23);
        if (line.size() > 23 && line.compare(23, 6, " [pid=") == 0 && close != std::string::npos) {
            entry.stamp = line.substr(0, 23);
            entry.pid = std::stoul(line.substr(29, close - 29));
            entry.message = line.substr(close + 2);
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
