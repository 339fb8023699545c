// Stand-in for schtasks.exe in the test prefix: Wine's own cannot query, nor create from /TR.
// It keeps a real store (one UTF-16 LE file per task name) and honours only the four
// invocations the helper makes. Tests steer it through QSH_STANDIN_SCHTASKS_* variables:
//
//   _RECORD           file that gets one record per run: raw command line, then each argv
//                     element, separated by U+001F, ended by U+001E LF (UTF-8)
//   _EXIT_CODE        do the work, then exit with this code instead (decimal or 0x hex)
//   _DELAY_MS         sleep this long before doing the work
//   _STDERR_TEXT      written to standard error first thing
//   _STDERR_ENCODING  encoding of everything written to standard error (default utf8)
//   _FLOOD_STDOUT     write this many bytes of numbered lines to standard output first
//   _FLOOD_STDERR     the same on standard error
//   _ENDLESS_OUTPUT   never stop writing to either stream (two threads each) until ended
//   _QUERY_ENCODING   re-encode /QUERY output: utf16le-bom utf16le utf16be-bom utf16be
//                     utf8-bom utf8 oem (unset: the stored bytes as they are)
//   _QUERY_SHAPE      reshape /QUERY output: no-declaration no-encoding no-closing-tag
//                     not-task-xml leading-blank-lines empty
//   _LOCK_IMPORTED    after /CREATE /XML, mark the imported file read-only (it then cannot
//                     be deleted)
//
// QSH_STANDIN_TASKS_DIR names the store folder; default C:\windows\system32\Tasks.

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <cwctype>
#include <filesystem>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "diag/unique_handle.h"
#include "encoding.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

std::optional<std::wstring> variable(const std::wstring& name) {
    DWORD needed = GetEnvironmentVariableW(name.c_str(), nullptr, 0);
    if (needed == 0) {
        return std::nullopt;
    }
    std::wstring value(needed, L'\0');
    DWORD got = GetEnvironmentVariableW(name.c_str(), value.data(), needed);
    value.resize(got);
    return value;
}

std::optional<std::wstring> env(const wchar_t* suffix) {
    return variable(std::wstring(L"QSH_STANDIN_SCHTASKS_") + suffix);
}

std::optional<std::uint64_t> envNumber(const wchar_t* suffix) {
    auto text = env(suffix);
    if (!text || text->empty()) {
        return std::nullopt;
    }
    wchar_t* end = nullptr;
    std::uint64_t value = wcstoull(text->c_str(), &end, 0);
    if (end == nullptr || *end != L'\0') {
        return std::nullopt;
    }
    return value;
}

std::wstring upper(std::wstring text) {
    for (auto& c : text) {
        c = static_cast<wchar_t>(std::towupper(c));
    }
    return text;
}

std::wstring lower(std::wstring text) {
    for (auto& c : text) {
        c = static_cast<wchar_t>(std::towlower(c));
    }
    return text;
}

Bytes bytesOf(const std::string& bytes) {
    return Bytes(bytes.begin(), bytes.end());
}

std::string_view viewOf(std::span<const std::uint8_t> bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// Unknown names fall back to UTF-8 so that a typo in a test shows up as a wrong encoding.
Bytes encodeText(const std::wstring& text, const std::wstring& encoding) {
    using namespace qsh::testing;
    if (encoding == L"utf16le-bom" || encoding == L"utf16le") {
        return bytesOf(utf16le(text, encoding == L"utf16le-bom"));
    }
    if (encoding == L"utf16be-bom" || encoding == L"utf16be") {
        return bytesOf(utf16be(text, encoding == L"utf16be-bom"));
    }
    if (encoding == L"oem") {
        return bytesOf(codePage(text, CP_OEMCP));
    }
    return bytesOf((encoding == L"utf8-bom" ? "\xEF\xBB\xBF" : "") + codePage(text, CP_UTF8));
}

void writeAll(DWORD which, const Bytes& bytes) {
    HANDLE handle = GetStdHandle(which);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
        return;
    }
    std::size_t done = 0;
    while (done < bytes.size()) {
        std::size_t left = bytes.size() - done;
        DWORD piece = left > 65536 ? 65536 : static_cast<DWORD>(left);
        DWORD written = 0;
        if (!WriteFile(handle, bytes.data() + done, piece, &written, nullptr) || written == 0) {
            return;
        }
        done += written;
    }
}

void writeOut(const std::wstring& text) {
    writeAll(STD_OUTPUT_HANDLE, encodeText(text, L"utf8"));
}

void writeErr(const std::wstring& text) {
    writeAll(STD_ERROR_HANDLE, encodeText(text, env(L"STDERR_ENCODING").value_or(L"utf8")));
}

Bytes floodBytes(std::uint64_t size) {
    return bytesOf(qsh::testing::floodText(static_cast<std::size_t>(size)));
}

DWORD WINAPI writeForever(void* stream) {
    const Bytes chunk = floodBytes(65536);
    HANDLE handle = GetStdHandle(static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(stream)));
    DWORD written = 0;
    while (WriteFile(handle, chunk.data(), static_cast<DWORD>(chunk.size()), &written, nullptr)) {
    }
    return 0;
}

[[noreturn]] void writeEndlessly() {
    for (DWORD stream :
         {STD_OUTPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE, STD_ERROR_HANDLE}) {
        CloseHandle(CreateThread(nullptr, 0, writeForever,
                                 reinterpret_cast<void*>(static_cast<std::uintptr_t>(stream)), 0,
                                 nullptr));
    }
    Sleep(INFINITE);
    ExitProcess(0);
}

std::optional<Bytes> readWholeFile(const std::wstring& path) {
    qsh::UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size{};
    if (!file || !GetFileSizeEx(file.get(), &size)) {
        return std::nullopt;
    }
    // Sized up front: the benchmarks hand over documents of 128 MiB.
    Bytes bytes(static_cast<std::size_t>(size.QuadPart));
    std::size_t done = 0;
    while (done < bytes.size()) {
        DWORD piece = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1 << 20));
        DWORD got = 0;
        if (!ReadFile(file.get(), bytes.data() + done, piece, &got, nullptr) || got == 0) {
            break;
        }
        done += got;
    }
    bytes.resize(done);
    return bytes;
}

// A file's bytes through a read-only mapping, or read whole where it cannot be mapped. The
// benchmarks hand over documents of 128 MiB: copying one into fresh memory costs more than the
// rest of the import, and the check looks only at its ends.
class FileBytes {
  public:
    FileBytes() = default;
    FileBytes(const FileBytes&) = delete;
    FileBytes& operator=(const FileBytes&) = delete;
    ~FileBytes() {
        if (view_ != nullptr) {
            UnmapViewOfFile(view_);
        }
    }

    // False when the file cannot be opened, as readWholeFile.
    bool open(const std::wstring& path) {
        qsh::UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        LARGE_INTEGER size{};
        if (file && GetFileSizeEx(file.get(), &size) && size.QuadPart > 0) {
            qsh::UniqueHandle mapping(
                CreateFileMappingW(file.get(), nullptr, PAGE_READONLY, 0, 0, nullptr));
            if (mapping) {
                view_ = MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, 0);
            }
            if (view_ != nullptr) {
                bytes_ = {static_cast<const std::uint8_t*>(view_),
                          static_cast<std::size_t>(size.QuadPart)};
                return true;
            }
        }
        file.reset();
        copy_ = readWholeFile(path);
        if (copy_) {
            bytes_ = *copy_;
        }
        return copy_.has_value();
    }

    std::span<const std::uint8_t> bytes() const { return bytes_; }

  private:
    void* view_ = nullptr;
    std::optional<Bytes> copy_;
    std::span<const std::uint8_t> bytes_;
};

bool writeWholeFile(const std::wstring& path, std::span<const std::uint8_t> bytes,
                    DWORD disposition) {
    qsh::UniqueHandle file(CreateFileW(
        path.c_str(), disposition == OPEN_ALWAYS ? FILE_APPEND_DATA : GENERIC_WRITE,
        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return false;
    }
    std::size_t done = 0;
    while (done < bytes.size()) {
        DWORD piece = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1 << 20));
        DWORD written = 0;
        if (!WriteFile(file.get(), bytes.data() + done, piece, &written, nullptr) || written == 0) {
            return false;
        }
        done += written;
    }
    return true;
}

void recordInvocation(const std::vector<std::wstring>& argv) {
    auto path = env(L"RECORD");
    if (!path) {
        return;
    }
    std::wstring record = GetCommandLineW();
    for (const auto& arg : argv) {
        record += L'\x1f';
        record += arg;
    }
    record += L"\x1e\n";
    writeWholeFile(*path, encodeText(record, L"utf8"), OPEN_ALWAYS);
}

std::wstring storeFolder() {
    const std::wstring folder = variable(L"QSH_STANDIN_TASKS_DIR").value_or(L"");
    return folder.empty() ? L"C:\\windows\\system32\\Tasks" : folder;
}

std::wstring xmlEscape(const std::wstring& text) {
    return qsh::testing::xmlEscaped(text, false);
}

struct Invocation {
    std::wstring verb;                            // CREATE, QUERY or DELETE
    std::map<std::wstring, std::wstring> options; // upper-case name -> value ("" for flags)
};

constexpr int kFailure = 1;

int fail(const std::wstring& message) {
    writeErr(L"ERROR: " + message + L"\r\n");
    return kFailure;
}

int invalidSyntax(const std::wstring& detail) {
    return fail(detail + L"\r\nType \"SCHTASKS /?\" for usage.");
}

// Same shape as the real tool: verb first, then options; values follow their switch.
std::optional<Invocation> parse(const std::vector<std::wstring>& argv, std::wstring& error) {
    if (argv.size() < 2) {
        error = L"Invalid syntax.";
        return std::nullopt;
    }
    Invocation inv;
    inv.verb = upper(argv[1]);
    if (inv.verb != L"/CREATE" && inv.verb != L"/QUERY" && inv.verb != L"/DELETE") {
        error = L"Invalid argument/option - '" + argv[1] + L"'.";
        return std::nullopt;
    }
    inv.verb = inv.verb.substr(1);
    for (std::size_t i = 2; i < argv.size(); ++i) {
        std::wstring name = upper(argv[i]);
        bool takesValue = name == L"/TN" || name == L"/TR" || name == L"/SC" || name == L"/ST" ||
                          (name == L"/XML" && inv.verb == L"CREATE");
        bool isFlag = name == L"/F" || (name == L"/XML" && inv.verb == L"QUERY");
        if (!takesValue && !isFlag) {
            error = L"Invalid argument/option - '" + argv[i] + L"'.";
            return std::nullopt;
        }
        if (inv.options.count(name.substr(1)) != 0) {
            error = L"Duplicate option '" + argv[i] + L"'.";
            return std::nullopt;
        }
        std::wstring value;
        if (takesValue) {
            if (i + 1 >= argv.size()) {
                error = L"Missing value for option '" + argv[i] + L"'.";
                return std::nullopt;
            }
            value = argv[++i];
        }
        inv.options[name.substr(1)] = value;
    }
    return inv;
}

bool has(const Invocation& inv, const wchar_t* name) {
    return inv.options.count(name) != 0;
}

// "\Quillfen" and "Quillfen" are one task; folders are not kept by this store.
std::optional<std::wstring> taskFilePath(const Invocation& inv) {
    std::wstring name = inv.options.at(L"TN");
    if (!name.empty() && name[0] == L'\\') {
        name.erase(0, 1);
    }
    if (name.empty() || name.find_first_of(L"\\/:*?\"<>|") != std::wstring::npos) {
        return std::nullopt;
    }
    return storeFolder() + L"\\" + name;
}

bool parseTime(const std::wstring& text, int& hour, int& minute) {
    if (text.size() != 5 || text[2] != L':' || !iswdigit(text[0]) || !iswdigit(text[1]) ||
        !iswdigit(text[3]) || !iswdigit(text[4])) {
        return false;
    }
    hour = (text[0] - L'0') * 10 + (text[1] - L'0');
    minute = (text[3] - L'0') * 10 + (text[4] - L'0');
    return hour <= 23 && minute <= 59;
}

std::wstring dailyTaskXml(const std::wstring& taskName, const std::wstring& command, int hour,
                          int minute) {
    // /TR is one string: a quoted or unquoted program, then its arguments.
    std::wstring program;
    std::wstring arguments;
    std::size_t rest = 0;
    if (!command.empty() && command[0] == L'"') {
        std::size_t close = command.find(L'"', 1);
        program = command.substr(1, close == std::wstring::npos ? std::wstring::npos : close - 1);
        rest = close == std::wstring::npos ? command.size() : close + 1;
    } else {
        rest = command.find(L' ');
        program = command.substr(0, rest);
        rest = rest == std::wstring::npos ? command.size() : rest;
    }
    while (rest < command.size() && command[rest] == L' ') {
        ++rest;
    }
    arguments = command.substr(rest);

    SYSTEMTIME now{};
    GetLocalTime(&now);
    wchar_t start[32];
    std::swprintf(start, 32, L"%04u-%02u-%02uT%02d:%02d:00", unsigned{now.wYear},
                  unsigned{now.wMonth}, unsigned{now.wDay}, hour, minute);

    std::wstring xml = L"<?xml version=\"1.0\" encoding=\"UTF-16\"?>\r\n"
                       L"<Task version=\"1.2\" "
                       L"xmlns=\"http://schemas.microsoft.com/windows/2004/02/mit/task\">\r\n"
                       L"  <RegistrationInfo>\r\n"
                       L"    <URI>\\" +
                       xmlEscape(taskName) +
                       L"</URI>\r\n"
                       L"  </RegistrationInfo>\r\n"
                       L"  <Triggers>\r\n"
                       L"    <CalendarTrigger>\r\n"
                       L"      <StartBoundary>" +
                       start +
                       L"</StartBoundary>\r\n"
                       L"      <Enabled>true</Enabled>\r\n"
                       L"      <ScheduleByDay>\r\n"
                       L"        <DaysInterval>1</DaysInterval>\r\n"
                       L"      </ScheduleByDay>\r\n"
                       L"    </CalendarTrigger>\r\n"
                       L"  </Triggers>\r\n"
                       L"  <Settings>\r\n"
                       L"    <Enabled>true</Enabled>\r\n"
                       L"  </Settings>\r\n"
                       L"  <Actions Context=\"Author\">\r\n"
                       L"    <Exec>\r\n"
                       L"      <Command>" +
                       xmlEscape(program) + L"</Command>\r\n";
    if (!arguments.empty()) {
        xml += L"      <Arguments>" + xmlEscape(arguments) + L"</Arguments>\r\n";
    }
    xml += L"    </Exec>\r\n"
           L"  </Actions>\r\n"
           L"</Task>\r\n";
    return xml;
}

std::size_t skipSpace(std::wstring_view text, std::size_t at) {
    while (at < text.size() && std::iswspace(text[at])) {
        ++at;
    }
    return at;
}

// A document whose root element is Task: optional declaration (naming UTF-16 if it names
// anything), comments, <Task ...> ... </Task>, nothing but white space after it.
bool isTaskDocument(std::wstring_view text, std::wstring& why) {
    std::size_t at = skipSpace(text, 0);
    if (text.compare(at, 5, L"<?xml") == 0) {
        std::size_t close = text.find(L"?>", at);
        if (close == std::wstring::npos) {
            why = L"the XML declaration is not closed";
            return false;
        }
        std::wstring declaration = lower(std::wstring(text.substr(at, close - at)));
        std::size_t encoding = declaration.find(L"encoding");
        if (encoding != std::wstring::npos) {
            std::size_t quote = declaration.find_first_of(L"\"'", encoding);
            std::size_t end = quote == std::wstring::npos
                                  ? std::wstring::npos
                                  : declaration.find(declaration[quote], quote + 1);
            if (end == std::wstring::npos ||
                declaration.substr(quote + 1, end - quote - 1) != L"utf-16") {
                why = L"the XML declaration does not name UTF-16";
                return false;
            }
        }
        at = skipSpace(text, close + 2);
    }
    while (text.compare(at, 4, L"<!--") == 0) {
        std::size_t close = text.find(L"-->", at);
        if (close == std::wstring::npos) {
            why = L"a comment is not closed";
            return false;
        }
        at = skipSpace(text, close + 3);
    }
    if (text.compare(at, 5, L"<Task") != 0 || at + 5 >= text.size() ||
        !(std::iswspace(text[at + 5]) || text[at + 5] == L'>')) {
        why = L"the root element is not Task";
        return false;
    }
    std::size_t end = text.size();
    while (end > 0 && (std::iswspace(text[end - 1]) || text[end - 1] == L'\0')) {
        --end;
    }
    if (end < 7 || text.compare(end - 7, 7, L"</Task>") != 0) {
        why = L"the Task element is not closed at the end of the document";
        return false;
    }
    return true;
}

int storeTask(const std::wstring& path, std::span<const std::uint8_t> utf16le, bool replace,
              const std::wstring& name) {
    std::error_code ignored;
    std::filesystem::create_directories(storeFolder(), ignored);
    if (!replace && GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) {
        return fail(L"Cannot create a file when that file already exists.");
    }
    if (!writeWholeFile(path, utf16le, CREATE_ALWAYS)) {
        return fail(L"Access is denied.");
    }
    writeOut(L"SUCCESS: The scheduled task \"" + name + L"\" has successfully been created.\r\n");
    return 0;
}

int importXml(const std::wstring& xmlPath, const std::wstring& path, bool replace,
              const std::wstring& name) {
    FileBytes file;
    if (!file.open(xmlPath)) {
        return fail(L"The system cannot find the file specified.");
    }
    const std::span<const std::uint8_t> bytes = file.bytes();
    bool little = bytes.size() >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE;
    // Already in the store's encoding: checked in place and kept as handed over.
    std::optional<std::wstring> swapped;
    if (!little) {
        swapped = qsh::testing::fromUtf16(viewOf(bytes));
        if (!swapped) {
            return fail(L"The task XML is not a UTF-16 document with a byte order mark.");
        }
    }
    std::wstring_view text =
        little ? std::wstring_view(reinterpret_cast<const wchar_t*>(bytes.data() + 2),
                                   (bytes.size() - 2) / 2)
               : std::wstring_view(*swapped);
    std::wstring why;
    if (!isTaskDocument(text, why)) {
        return fail(L"The task XML is malformed: " + why + L".");
    }
    if (little) {
        return storeTask(path, bytes, replace, name);
    }
    return storeTask(path, bytesOf(qsh::testing::utf16le(*swapped)), replace, name);
}

int create(const Invocation& inv) {
    if (!has(inv, L"TN")) {
        return invalidSyntax(L"Invalid syntax. Mandatory option 'tn' is missing.");
    }
    auto path = taskFilePath(inv);
    if (!path) {
        return fail(L"The filename, directory name, or volume label syntax is incorrect.");
    }
    const std::wstring& name = inv.options.at(L"TN");
    bool replace = has(inv, L"F");
    if (has(inv, L"XML")) {
        if (has(inv, L"TR") || has(inv, L"SC") || has(inv, L"ST")) {
            return invalidSyntax(L"Invalid syntax. /XML cannot be combined with /TR, /SC or /ST.");
        }
        int code = importXml(inv.options.at(L"XML"), *path, replace, name);
        if (env(L"LOCK_IMPORTED")) {
            SetFileAttributesW(inv.options.at(L"XML").c_str(), FILE_ATTRIBUTE_READONLY);
        }
        return code;
    }
    if (!has(inv, L"TR") || !has(inv, L"SC")) {
        return invalidSyntax(L"Invalid syntax. Mandatory options 'tr' and 'sc' are missing.");
    }
    if (upper(inv.options.at(L"SC")) != L"DAILY") {
        return fail(L"Invalid value for /SC option.");
    }
    int hour = 0;
    int minute = 0;
    if (!has(inv, L"ST") || !parseTime(inv.options.at(L"ST"), hour, minute)) {
        return fail(L"Invalid Start Time value.");
    }
    std::wstring shortName = name[0] == L'\\' ? name.substr(1) : name;
    return storeTask(*path,
                     bytesOf(qsh::testing::utf16le(
                         dailyTaskXml(shortName, inv.options.at(L"TR"), hour, minute))),
                     replace, name);
}

std::wstring reshape(std::wstring text, const std::wstring& shape) {
    std::size_t declEnd = text.find(L"?>");
    bool hasDecl = text.compare(0, 5, L"<?xml") == 0 && declEnd != std::wstring::npos;
    if (shape == L"no-declaration" && hasDecl) {
        text.erase(0, skipSpace(text, declEnd + 2));
    } else if (shape == L"no-encoding" && hasDecl) {
        std::size_t encoding = text.find(L" encoding=");
        if (encoding != std::wstring::npos && encoding < declEnd) {
            std::size_t close = text.find(text[encoding + 10], encoding + 11);
            text.erase(encoding, close + 1 - encoding);
        }
    } else if (shape == L"no-closing-tag") {
        std::size_t close = text.rfind(L"</Task>");
        if (close != std::wstring::npos) {
            text.erase(close, 7);
        }
    } else if (shape == L"not-task-xml") {
        text = L"INFO: There are no scheduled tasks presently available at your access level.\r\n";
    } else if (shape == L"leading-blank-lines") {
        text = L"\r\n\r\n  \t" + text;
    } else if (shape == L"empty") {
        text.clear();
    }
    return text;
}

int query(const Invocation& inv) {
    if (!has(inv, L"TN") || !has(inv, L"XML")) {
        return invalidSyntax(L"Invalid syntax. This stand-in queries only with /TN and /XML.");
    }
    auto path = taskFilePath(inv);
    auto bytes = path ? readWholeFile(*path) : std::nullopt;
    if (!bytes) {
        return fail(L"The system cannot find the file specified.");
    }
    auto encoding = env(L"QUERY_ENCODING");
    auto shape = env(L"QUERY_SHAPE");
    if (!encoding && !shape) {
        writeAll(STD_OUTPUT_HANDLE, *bytes);
        return 0;
    }
    std::wstring text = qsh::testing::fromUtf16(viewOf(*bytes)).value_or(L"");
    writeAll(STD_OUTPUT_HANDLE,
             encodeText(reshape(text, shape.value_or(L"")), encoding.value_or(L"utf16le-bom")));
    return 0;
}

int deleteTask(const Invocation& inv) {
    if (!has(inv, L"TN")) {
        return invalidSyntax(L"Invalid syntax. Mandatory option 'tn' is missing.");
    }
    if (!has(inv, L"F")) {
        return fail(L"This stand-in never asks for confirmation: pass /F.");
    }
    auto path = taskFilePath(inv);
    if (!path || !DeleteFileW(path->c_str())) {
        return fail(L"The system cannot find the file specified.");
    }
    writeOut(L"SUCCESS: The scheduled task \"" + inv.options.at(L"TN") +
             L"\" was successfully deleted.\r\n");
    return 0;
}

int run() {
    std::vector<std::wstring> argv;
    int argc = 0;
    if (wchar_t** list = CommandLineToArgvW(GetCommandLineW(), &argc)) {
        argv.assign(list, list + argc);
        LocalFree(list);
    }
    recordInvocation(argv);

    if (auto text = env(L"STDERR_TEXT")) {
        writeErr(*text);
    }
    if (auto size = envNumber(L"FLOOD_STDOUT")) {
        writeAll(STD_OUTPUT_HANDLE, floodBytes(*size));
    }
    if (auto size = envNumber(L"FLOOD_STDERR")) {
        writeAll(STD_ERROR_HANDLE, floodBytes(*size));
    }
    if (env(L"ENDLESS_OUTPUT")) {
        writeEndlessly();
    }
    if (auto delay = envNumber(L"DELAY_MS")) {
        Sleep(static_cast<DWORD>(*delay));
    }

    std::wstring error;
    auto inv = parse(argv, error);
    if (!inv) {
        return invalidSyntax(error);
    }
    if (inv->verb == L"CREATE") {
        return create(*inv);
    }
    if (inv->verb == L"QUERY") {
        return query(*inv);
    }
    return deleteTask(*inv);
}

} // namespace

int wmain() {
    int code = run();
    if (auto forced = envNumber(L"EXIT_CODE")) {
        ExitProcess(static_cast<UINT>(*forced));
    }
    return code;
}
