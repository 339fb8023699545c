// Stand-in for schtasks.exe in the test prefix: Wine's own cannot query, nor create from /TR.
// It keeps a real store (one file per task name, UTF-16 LE) and honours only the four
// invocations the helper makes, in the helper's order; an imported document is stored as
// handed over, so tests see exactly what the helper staged. Tests steer it through
// QSH_STANDIN_SCHTASKS_* variables:
//
//   _RECORD           file that gets one record per run: raw command line, then each argv
//                     element, separated by U+001F, ended by U+001E LF (UTF-8)
//   _EXIT_CODE        do the work, then exit with this code instead (decimal or 0x hex)
//   _DELAY_MS         sleep this long before doing the work (an imported file is opened
//                     afterwards, with read sharing only)
//   _STDERR_TEXT      written to standard error first thing
//   _STDERR_ENCODING  encoding of everything written to standard error (default utf8)
//   _FLOOD_STDOUT     write this many bytes of numbered lines to standard output first
//   _FLOOD_STDERR     the same on standard error
//   _ENDLESS_OUTPUT   never stop writing to either stream (two threads each) until ended
//   _ENDLESS_STDERR   the same on standard error alone
//   _LINGERING_WRITER start a copy of this program that inherits both streams and says
//                     "grandchild pid=<id>" CR LF on standard output, go on only once it has,
//                     and leave it behind: it sleeps this many ms, then writes "grandchild late"
//                     CR LF and exits with 0, or with the error of that write when it failed
//   _QUERY_ENCODING   re-encode /QUERY output: utf16le-bom utf16le utf16be-bom utf16be
//                     utf8-bom utf8 oem (unset: the stored bytes as they are)
//   _QUERY_SHAPE      reshape /QUERY output: no-declaration no-encoding no-closing-tag
//                     not-task-xml leading-blank-lines empty
//   _LOCK_IMPORTED    after /CREATE /XML, mark the imported file read-only (it then cannot
//                     be deleted)
//   _REGISTER_AS      /CREATE /XML stores the imported document with its Principals replaced
//                     by (or, without them, given) one principal other than it asked for:
//                     system (UserId S-1-5-18, RunLevel HighestAvailable), highest (RunLevel
//                     HighestAvailable), group (GroupId S-1-5-32-545), password (LogonType
//                     Password); any other value stores it as handed over
//   _REPORT           do nothing else; write "cwd=<current folder>|stdin=<what a standard
//                     input pipe holds to its end, none, or type N (GetFileType)>|
//                     handle=<inherited or absent>|SystemRoot=<value>|windir=<value>|
//                     __COMPAT_LAYER=<value>" on standard output, the handle being this value
//                     (decimal) if the parent's was inherited
//
// QSH_STANDIN_TASKS_DIR names the store folder; default C:\windows\system32\Tasks.

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cwchar>
#include <cwctype>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/unique_resource.h"
#include "encoding.h"

namespace {

using namespace qsh::testing;

std::optional<std::wstring> variable(const std::wstring& name) {
    DWORD needed = GetEnvironmentVariableW(name.c_str(), nullptr, 0);
    if (needed == 0) {
        return std::nullopt;
    }
    std::wstring value(needed, L'\0');
    value.resize(GetEnvironmentVariableW(name.c_str(), value.data(), needed));
    return value;
}

std::optional<std::wstring> env(const wchar_t* suffix) {
    return variable(std::wstring(L"QSH_STANDIN_SCHTASKS_") + suffix);
}

std::optional<std::uint64_t> envNumber(const wchar_t* suffix) {
    auto text = env(suffix);
    wchar_t* end = nullptr;
    std::uint64_t value = text ? wcstoull(text->c_str(), &end, 0) : 0;
    if (!text || text->empty() || *end != L'\0') {
        return std::nullopt;
    }
    return value;
}

std::wstring upper(std::wstring text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](wchar_t c) { return static_cast<wchar_t>(std::towupper(c)); });
    return text;
}

// Unknown names fall back to UTF-8 so that a typo in a test shows up as a wrong encoding.
std::string encodeText(const std::wstring& text, const std::wstring& encoding) {
    const bool bom = encoding.ends_with(L"-bom");
    const std::wstring name = encoding.substr(0, encoding.size() - (bom ? 4 : 0));
    if (name == L"utf16le" || name == L"utf16be") {
        return utf16(text, name == L"utf16be", bom);
    }
    if (name == L"oem") {
        return codePage(text, CP_OEMCP);
    }
    return (bom ? "\xEF\xBB\xBF" : "") + codePage(text, CP_UTF8);
}

bool writeTo(HANDLE handle, std::string_view bytes) {
    while (!bytes.empty()) {
        DWORD piece = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 65536));
        DWORD written = 0;
        if (!WriteFile(handle, bytes.data(), piece, &written, nullptr) || written == 0) {
            return false;
        }
        bytes.remove_prefix(written);
    }
    return true;
}

void writeOut(const std::string& bytes) {
    writeTo(GetStdHandle(STD_OUTPUT_HANDLE), bytes);
}

void writeErr(const std::wstring& text) {
    writeTo(GetStdHandle(STD_ERROR_HANDLE),
            encodeText(text, env(L"STDERR_ENCODING").value_or(L"utf8")));
}

DWORD WINAPI writeForever(void* stream) {
    const std::string chunk = floodText(65536);
    HANDLE handle = GetStdHandle(static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(stream)));
    while (writeTo(handle, chunk)) {
    }
    return 0;
}

[[noreturn]] void writeEndlessly(bool stderrOnly) {
    const std::vector<DWORD> streams =
        stderrOnly ? std::vector<DWORD>{STD_ERROR_HANDLE, STD_ERROR_HANDLE}
                   : std::vector<DWORD>{STD_OUTPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE,
                                        STD_ERROR_HANDLE};
    for (DWORD stream : streams) {
        CloseHandle(CreateThread(nullptr, 0, writeForever,
                                 reinterpret_cast<void*>(static_cast<std::uintptr_t>(stream)), 0,
                                 nullptr));
    }
    Sleep(INFINITE);
    ExitProcess(0);
}

const wchar_t kLingerArgument[] = L"--linger";

// The copy that holds the streams on after this process has ended.
int linger(const std::vector<std::wstring>& argv) {
    const DWORD sleepMs = std::wcstoul(argv[2].c_str(), nullptr, 10);
    const auto spoken = reinterpret_cast<HANDLE>(
        static_cast<std::uintptr_t>(std::wcstoull(argv[3].c_str(), nullptr, 10)));
    writeOut("grandchild pid=" + std::to_string(GetCurrentProcessId()) + "\r\n");
    SetEvent(spoken);
    Sleep(sleepMs);
    return writeTo(GetStdHandle(STD_OUTPUT_HANDLE), "grandchild late\r\n")
               ? 0
               : static_cast<int>(GetLastError());
}

// False when the copy could not be started or did not speak within 10 s.
bool startLingeringWriter(std::uint64_t sleepMs) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    const qsh::UniqueHandle spoken(CreateEventW(&inherit, TRUE, FALSE, nullptr));
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring line = L"\"" + std::wstring(self) + L"\" " + kLingerArgument + L" " +
                        std::to_wstring(sleepMs) + L" " +
                        std::to_wstring(reinterpret_cast<std::uintptr_t>(spoken.get()));
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process{};
    if (!spoken || !CreateProcessW(self, line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                                   nullptr, nullptr, &startup, &process)) {
        return false;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return WaitForSingleObject(spoken.get(), 10000) == WAIT_OBJECT_0;
}

std::optional<std::string> readWholeFile(const std::wstring& path) {
    qsh::UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size{};
    if (!file || !GetFileSizeEx(file.get(), &size)) {
        return std::nullopt;
    }
    std::string bytes(static_cast<std::size_t>(size.QuadPart), '\0');
    DWORD got = 0;
    if (!ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr)) {
        return std::nullopt;
    }
    bytes.resize(got);
    return bytes;
}

bool writeWholeFile(const std::wstring& path, std::string_view bytes, bool append) {
    qsh::UniqueHandle file(CreateFileW(
        path.c_str(), append ? FILE_APPEND_DATA : GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
        nullptr, append ? OPEN_ALWAYS : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    return file && writeTo(file.get(), bytes);
}

int fail(const std::wstring& message) {
    writeErr(L"ERROR: " + message + L"\r\n");
    return 1;
}

// Option name -> value ("" for a flag), from an argv in one of the helper's shapes.
using Options = std::map<std::wstring, std::wstring>;

std::optional<Options> match(const std::vector<std::wstring>& argv) {
    // "*" is the value of the option before it.
    static const std::vector<std::vector<std::wstring>> shapes = {
        {L"/CREATE", L"/TN", L"*", L"/TR", L"*", L"/SC", L"*", L"/ST", L"*", L"/F"},
        {L"/CREATE", L"/TN", L"*", L"/XML", L"*", L"/F"},
        {L"/QUERY", L"/TN", L"*", L"/XML"},
        {L"/DELETE", L"/TN", L"*", L"/F"},
    };
    for (const auto& shape : shapes) {
        Options options;
        std::size_t i = 0;
        for (; i < shape.size() && i + 1 < argv.size(); ++i) {
            if (shape[i] == L"*") {
                options[shape[i - 1]] = argv[i + 1];
            } else if (upper(argv[i + 1]) == shape[i]) {
                options.emplace(shape[i], L"");
            } else {
                break;
            }
        }
        if (i == shape.size() && argv.size() == shape.size() + 1) {
            return options;
        }
    }
    return std::nullopt;
}

std::wstring dailyTaskXml(const std::wstring& name, const std::wstring& command,
                          const std::wstring& start) {
    // /TR is one string: the program, then its arguments.
    const std::size_t space = std::min(command.find(L' '), command.size());
    SYSTEMTIME now{};
    GetLocalTime(&now);
    wchar_t day[16];
    std::swprintf(day, 16, L"%04u-%02u-%02u", unsigned{now.wYear}, unsigned{now.wMonth},
                  unsigned{now.wDay});
    return L"<?xml version=\"1.0\" encoding=\"UTF-16\"?>\r\n"
           L"<Task version=\"1.2\" "
           L"xmlns=\"http://schemas.microsoft.com/windows/2004/02/mit/task\">\r\n"
           L"  <RegistrationInfo><URI>\\" +
           xmlEscaped(name, false) +
           L"</URI></RegistrationInfo>\r\n"
           L"  <Triggers><CalendarTrigger><StartBoundary>" +
           day + L"T" + start +
           L":00</StartBoundary><Enabled>true</Enabled>"
           L"<ScheduleByDay><DaysInterval>1</DaysInterval></ScheduleByDay></CalendarTrigger>"
           L"</Triggers>\r\n"
           L"  <Settings><Enabled>true</Enabled></Settings>\r\n"
           L"  <Actions Context=\"Author\"><Exec><Command>" +
           xmlEscaped(command.substr(0, space), false) + L"</Command><Arguments>" +
           xmlEscaped(command.substr(std::min(space + 1, command.size())), false) +
           L"</Arguments></Exec></Actions>\r\n"
           L"</Task>\r\n";
}

// The document as the REGISTER_AS switch has it registered.
std::string registeredAs(const std::string& document, const std::wstring& as) {
    static const std::map<std::wstring, std::wstring> kPrincipals = {
        {L"system", L"<UserId>S-1-5-18</UserId><RunLevel>HighestAvailable</RunLevel>"},
        {L"highest", L"<RunLevel>HighestAvailable</RunLevel>"},
        {L"group", L"<GroupId>S-1-5-32-545</GroupId>"},
        {L"password", L"<LogonType>Password</LogonType>"},
    };
    const auto principal = kPrincipals.find(as);
    std::optional<std::wstring> text = fromUtf16(document);
    if (principal == kPrincipals.end() || !text) {
        return document;
    }
    const std::size_t start = text->find(L"<Principals");
    const std::size_t end = text->find(L"</Principals>");
    const std::size_t at = start != std::wstring::npos && end != std::wstring::npos
                               ? start
                               : std::min(text->rfind(L"</Task>"), text->size());
    const std::size_t length = at == start ? end + 13 - start : 0;
    text->replace(at, length,
                  L"<Principals><Principal id=\"Author\">" + principal->second +
                      L"</Principal></Principals>");
    return utf16le(*text);
}

int create(const Options& options, const std::wstring& path) {
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ignored);
    if (options.contains(L"/XML")) {
        // Read sharing read only, the strictest a reader may ask for: it fails while anyone
        // holds the file with write or delete access.
        const std::wstring& xml = options.at(L"/XML");
        const std::optional<std::string> document = readWholeFile(xml);
        const bool copied =
            document &&
            writeWholeFile(path, registeredAs(*document, env(L"REGISTER_AS").value_or(L"")), false);
        if (env(L"LOCK_IMPORTED")) {
            SetFileAttributesW(xml.c_str(), FILE_ATTRIBUTE_READONLY);
        }
        if (!copied) {
            return fail(L"The system cannot find the file specified.");
        }
    } else {
        const std::wstring& start = options.at(L"/ST");
        unsigned hour = 24;
        unsigned minute = 60;
        if (upper(options.at(L"/SC")) != L"DAILY" || start.size() != 5 ||
            std::swscanf(start.c_str(), L"%2u:%2u", &hour, &minute) != 2 || hour > 23 ||
            minute > 59) {
            return fail(L"Invalid /SC or /ST value.");
        }
        if (!writeWholeFile(path,
                            utf16le(dailyTaskXml(options.at(L"/TN"), options.at(L"/TR"), start)),
                            false)) {
            return fail(L"Access is denied.");
        }
    }
    writeOut(codePage(L"SUCCESS: The scheduled task \"" + options.at(L"/TN") +
                          L"\" has successfully been created.\r\n",
                      CP_UTF8));
    return 0;
}

std::wstring reshape(std::wstring text, const std::wstring& shape) {
    // 0 when the text has no declaration.
    const std::size_t declEnd = text.starts_with(L"<?xml") ? text.find(L"?>") : 0;
    const std::size_t encoding = text.find(L" encoding=");
    if (shape == L"no-declaration" && declEnd != 0) {
        text.erase(0, text.find(L'<', declEnd));
    } else if (shape == L"no-encoding" && encoding < declEnd) {
        text.erase(encoding, text.find(text[encoding + 10], encoding + 11) + 1 - encoding);
    } else if (shape == L"no-closing-tag") {
        text.erase(std::min(text.rfind(L"</Task>"), text.size()), 7);
    } else if (shape == L"not-task-xml") {
        text = L"INFO: There are no scheduled tasks presently available at your access level.\r\n";
    } else if (shape == L"leading-blank-lines") {
        text = L"\r\n\r\n  \t" + text;
    } else if (shape == L"empty") {
        text.clear();
    }
    return text;
}

int query(const std::wstring& path) {
    auto bytes = readWholeFile(path);
    if (!bytes) {
        return fail(L"The system cannot find the file specified.");
    }
    auto encoding = env(L"QUERY_ENCODING");
    auto shape = env(L"QUERY_SHAPE");
    if (encoding || shape) {
        bytes = encodeText(reshape(fromUtf16(*bytes).value_or(L""), shape.value_or(L"")),
                           encoding.value_or(L"utf16le-bom"));
    }
    writeOut(*bytes);
    return 0;
}

int report(std::uint64_t probe) {
    wchar_t folder[MAX_PATH + 1] = {};
    GetCurrentDirectoryW(MAX_PATH, folder);
    std::string input = "none";
    const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    const DWORD type = in == nullptr || in == INVALID_HANDLE_VALUE ? 0 : GetFileType(in);
    if (type != 0 && type != FILE_TYPE_PIPE) {
        input = "type " + std::to_string(type); // a console would keep us waiting
    } else if (type == FILE_TYPE_PIPE) {
        input.clear();
        char buffer[256];
        DWORD got = 0;
        while (ReadFile(in, buffer, sizeof buffer, &got, nullptr) && got > 0) {
            input.append(buffer, got);
        }
    }
    DWORD flags = 0;
    const bool inherited =
        GetHandleInformation(reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(probe)),
                             &flags) &&
        (flags & HANDLE_FLAG_INHERIT) != 0;
    writeOut(codePage(L"cwd=" + std::wstring(folder), CP_UTF8) + "|stdin=" + input +
             "|handle=" + (inherited ? "inherited" : "absent") +
             codePage(L"|SystemRoot=" + variable(L"SystemRoot").value_or(L"") + L"|windir=" +
                          variable(L"windir").value_or(L"") + L"|__COMPAT_LAYER=" +
                          variable(L"__COMPAT_LAYER").value_or(L""),
                      CP_UTF8));
    return 0;
}

int run() {
    if (auto probe = envNumber(L"REPORT")) {
        return report(*probe);
    }
    std::vector<std::wstring> argv;
    int argc = 0;
    if (wchar_t** list = CommandLineToArgvW(GetCommandLineW(), &argc)) {
        argv.assign(list, list + argc);
        LocalFree(list);
    }
    if (argv.size() == 4 && argv[1] == kLingerArgument) {
        return linger(argv);
    }
    if (auto record = env(L"RECORD")) {
        std::wstring line = GetCommandLineW();
        for (const auto& arg : argv) {
            line += L'\x1f' + arg;
        }
        writeWholeFile(*record, codePage(line + L"\x1e\n", CP_UTF8), true);
    }

    if (auto text = env(L"STDERR_TEXT")) {
        writeErr(*text);
    }
    if (auto size = envNumber(L"FLOOD_STDOUT")) {
        writeOut(floodText(static_cast<std::size_t>(*size)));
    }
    if (auto size = envNumber(L"FLOOD_STDERR")) {
        writeTo(GetStdHandle(STD_ERROR_HANDLE), floodText(static_cast<std::size_t>(*size)));
    }
    if (env(L"ENDLESS_OUTPUT") || env(L"ENDLESS_STDERR")) {
        writeEndlessly(!env(L"ENDLESS_OUTPUT"));
    }
    if (auto sleepMs = envNumber(L"LINGERING_WRITER"); sleepMs && !startLingeringWriter(*sleepMs)) {
        return fail(L"The lingering writer could not be started.");
    }
    if (auto delay = envNumber(L"DELAY_MS")) {
        Sleep(static_cast<DWORD>(*delay));
    }

    auto options = match(argv);
    if (!options) {
        return fail(L"Invalid syntax.\r\nType \"SCHTASKS /?\" for usage.");
    }
    const std::wstring name = options->at(L"/TN");
    const std::wstring store = variable(L"QSH_STANDIN_TASKS_DIR").value_or(L"");
    const std::wstring path =
        (store.empty() ? L"C:\\windows\\system32\\Tasks" : store) + L"\\" + name;
    const std::wstring verb = upper(argv[1]);
    if (verb == L"/CREATE") {
        return create(*options, path);
    }
    if (verb == L"/QUERY") {
        return query(path);
    }
    if (!DeleteFileW(path.c_str())) {
        return fail(L"The system cannot find the file specified.");
    }
    writeOut(codePage(
        L"SUCCESS: The scheduled task \"" + name + L"\" was successfully deleted.\r\n", CP_UTF8));
    return 0;
}

} // namespace

int wmain() {
    int code = run();
    if (auto forced = envNumber(L"EXIT_CODE")) {
        ExitProcess(static_cast<UINT>(*forced));
    }
    return code;
}
