#include "tasks/create_xml.h"

#include <windows.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <filesystem>
#include <iterator>
#include <optional>
#include <span>

#include "base/caller_access.h"
#include "base/constants.h"
#include "base/file_io.h"
#include "base/unique_resource.h"
#include "base/user_writable_files.h"
#include "base/windows_error.h"
#include "diag/format.h"
#include "diag/log.h"
#include "diag/streams.h"
#include "process/result_log.h"
#include "process/runner.h"
#include "tasks/registered_principal.h"
#include "tasks/staged_import.h"
#include "tasks/task_account.h"
#include "text/decode.h"
#include "text/task_principal.h"
#include "text/task_xml.h"

namespace qsh {
namespace {

constexpr std::size_t kLoggedPrefixBytes = 24;

// The input shares reading, writing and deleting with other programs, as it always has.
constexpr DWORD kInputShare = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The input as the user who asked for the command may read it; handed over by the
// non-elevated helper that relaunched this one, only the copy that helper staged.
UniqueHandle openInputFile(const std::wstring& path, bool handed, bool& missing,
                           std::wstring& error) {
    missing = false;
    return handed ? openHandedFile(path, kStagedInputStem, GENERIC_READ, kInputShare, error)
                  : openCallerInput(path, missing, error);
}

// Whole input file, or nothing with `error` set.
std::optional<Bytes> readInputFile(HANDLE file, std::wstring& error) {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file, &size) || size.QuadPart > static_cast<LONGLONG>(kMaxTaskXmlBytes)) {
        error = L"Invalid or excessively large file size";
        return std::nullopt;
    }
    Bytes bytes(static_cast<std::size_t>(size.QuadPart), 0);
    std::size_t filled = 0;
    DWORD readError = ERROR_SUCCESS;
    if (!readFully(file, bytes, filled, readError)) {
        error = formatWindowsError(readError);
        return std::nullopt;
    }
    bytes.resize(filled);
    return bytes;
}

// The staging folder below the local application data folder, and the file's name in it.
const std::filesystem::path kStagingFolder = std::filesystem::path(L"Quillfen") / L"temp";

std::wstring stagingFileName() {
    return L"scheduler-import-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
           std::to_wstring(static_cast<unsigned long long>(GetTickCount64())) + L".xml";
}

// UTF-16 LE is the text's own layout in memory, so the staged copy is written straight from it
// behind its byte order mark rather than from an encoded copy of the whole document.
static_assert(sizeof(wchar_t) == 2 && std::endian::native == std::endian::little);
constexpr std::uint8_t kUtf16LeMark[] = {0xFF, 0xFE};

std::span<const std::uint8_t> utf16LeBodyWithoutLeadingMarks(const std::wstring& text) {
    std::size_t skip = 0;
    while (skip < text.size() && text[skip] == 0xFEFF) {
        ++skip;
    }
    return {reinterpret_cast<const std::uint8_t*>(text.data() + skip),
            sizeof(wchar_t) * (text.size() - skip)};
}

// The first bytes of the staged copy, for the log's prefix.
Bytes stagedHead(std::span<const std::uint8_t> body) {
    const std::span<const std::uint8_t> shown =
        body.first(std::min(body.size(), kLoggedPrefixBytes - sizeof kUtf16LeMark));
    Bytes head(sizeof kUtf16LeMark + shown.size());
    std::copy(std::begin(kUtf16LeMark), std::end(kUtf16LeMark), head.begin());
    std::copy(shown.begin(), shown.end(), head.begin() + sizeof kUtf16LeMark);
    return head;
}

// Empty when the staged document may be registered with administrator rights: its task runs
// as the user who asked for it, without elevation. Reads exactly the text that is staged.
std::wstring principalRefusal(std::span<const std::uint8_t> body) {
    const TaskPrincipalCheck check = checkTaskPrincipal(
        {reinterpret_cast<const wchar_t*>(body.data()), body.size() / sizeof(wchar_t)});
    return check.refusal.empty() ? accountRefusal(check.userId) : check.refusal;
}

int failNormalization(const std::wstring& error) {
    logMessage(L"Unable to normalize create-xml input: " + error);
    writeInheritedStream(STD_ERROR_HANDLE, error);
    return kExitXmlFailure;
}

// Has schtasks.exe import the held copy; deletes it after a successful import that Windows
// registered as allowed, and keeps it otherwise.
int importStaged(StagedImport& staged, const std::wstring& name) {
    ProcessResult result =
        runSchtasks({L"/CREATE", L"/TN", kTaskName, L"/XML", staged.handedPath, L"/F"});
    logProcessResult(L"create-xml", result, true);
    int code = exitCodeFromProcessResult(result);
    if (code == kExitSuccess) {
        code = keepOnlyTheAskingUsersTask();
    }
    if (code == kExitSuccess) {
        std::wstring error;
        if (!deleteStagedImport(staged, name, error)) {
            logMessage(L"Could not delete normalized XML after successful import: " + error);
        }
        return kExitSuccess;
    }
    // Still held until this process ends, in case schtasks.exe could not be ended.
    logMessage(L"Preserving normalized XML for diagnostics: " + staged.handedPath);
    return code;
}

} // namespace

int handleCreateXml(const std::wstring& inputPath, bool handed) {
    std::wstring error;
    bool missing = false;
    UniqueHandle input = openInputFile(inputPath, handed, missing, error);
    if (missing) {
        logMessage(L"create-xml input file not found: " + inputPath);
        writeInheritedStream(STD_ERROR_HANDLE, L"XML file not found: " + inputPath);
        return kExitInputMissing;
    }
    std::optional<Bytes> source = input ? readInputFile(input.get(), error) : std::nullopt;
    input.reset();
    if (!source) {
        return failNormalization(error);
    }

    DecodedText decoded = decodeBytes(*source);
    logMessage(L"Source XML encoding detected as " + decoded.encoding + L"; bytes=" +
               std::to_wstring(static_cast<unsigned long long>(source->size())) + L"; prefix=" +
               hexPrefix(*source));
    source.reset(); // the raw bytes are no longer needed; keep the peak low

    // Stripping in place rather than on a copy: the declaration rewrite strips first anyway,
    // and stripping twice changes nothing, so this only saves a copy of a large document.
    std::wstring text = std::move(decoded.text);
    stripLeadingBomAndNoise(text);
    if (!looksLikeTaskXml(text)) {
        return failNormalization(L"Input file does not appear to contain a complete Task "
                                 L"Scheduler <Task> document. Decoded preview: " +
                                 previewText(text, kPreviewUnits));
    }

    text = setXmlEncodingDeclaration(std::move(text), L"UTF-16");
    const std::filesystem::path base = getLocalAppDataPath();
    const std::span<const std::uint8_t> body = utf16LeBodyWithoutLeadingMarks(text);
    if (std::wstring refusal = principalRefusal(body); !refusal.empty()) {
        return failNormalization(refusal);
    }
    const std::wstring name = stagingFileName();
    std::optional<StagedImport> staged =
        stageImport(base, kStagingFolder, name, {kUtf16LeMark, body}, error);
    if (!staged) {
        return failNormalization(error);
    }
    const auto stagedBytes = static_cast<unsigned long long>(sizeof kUtf16LeMark + body.size());
    logMessage(L"Normalized scheduler XML to UTF-16 LE with BOM: " + staged->handedPath +
               L"; bytes=" + std::to_wstring(stagedBytes) + L"; prefix=" +
               hexPrefix(stagedHead(body), kLoggedPrefixBytes));
    text = std::wstring(); // not needed while schtasks.exe runs

    return importStaged(*staged, name);
}

} // namespace qsh
