#include "tasks/schtasks_commands.h"

#include "base/caller_access.h"
#include "base/constants.h"
#include "base/file_io.h"
#include "base/user_writable_files.h"
#include "base/utf8.h"
#include "diag/format.h"
#include "diag/log.h"
#include "diag/streams.h"
#include "process/result_log.h"
#include "process/runner.h"
#include "text/decode.h"
#include "text/task_xml.h"

namespace qsh {
namespace {

const wchar_t kDefaultTaskCommand[] = L"C:\\Windows\\System32\\cmd.exe /C quillfen -noGui";
const wchar_t kNotTaskXmlMessage[] =
    L"schtasks returned data that is not a complete Task XML document.";

int runLoggedSchtasks(const wchar_t* label, const std::vector<std::wstring>& args) {
    ProcessResult result = runSchtasks(args);
    logProcessResult(label, result, true);
    return exitCodeFromProcessResult(result);
}

} // namespace

int runCreateDefault() {
    return runLoggedSchtasks(L"create-default",
                             {L"/CREATE", L"/TN", kTaskName, L"/TR", kDefaultTaskCommand, L"/SC",
                              L"DAILY", L"/ST", L"08:00", L"/F"});
}

int runDelete() {
    return runLoggedSchtasks(L"delete", {L"/DELETE", L"/TN", kTaskName, L"/F"});
}

int runQueryToFile(const std::wstring& outputPath, bool handed) {
    ProcessResult result = runSchtasks({L"/QUERY", L"/TN", kTaskName, L"/XML"});
    logProcessResult(L"query-to-file", result, false);
    int code = exitCodeFromProcessResult(result);
    if (code != kExitSuccess) {
        return code;
    }

    DecodedText decoded = decodeBytes(result.stdoutBytes);
    std::wstring text = std::move(decoded.text);
    stripLeadingBomAndNoise(text);
    logMessage(L"query-to-file decoded stdout as " + decoded.encoding + L"; preview=" +
               previewText(text, kPreviewUnits));
    if (!looksLikeTaskXml(text)) {
        reportError(kNotTaskXmlMessage);
        return kExitXmlFailure;
    }

    text = setXmlEncodingDeclaration(std::move(text), L"UTF-8");
    Bytes bytes = encodeUtf8(text);
    std::wstring error;
    bool created = false;
    const UniqueHandle file = handed ? openHandedFile(outputPath, kStagedOutputStem, GENERIC_WRITE,
                                                      FILE_SHARE_READ | FILE_SHARE_WRITE, error)
                                     : openCallerOutput(outputPath, created, error);
    if (!file || !writeOpenFile(file.get(), {std::span<const std::uint8_t>(bytes)}, error)) {
        logMessage(L"Unable to write query output: " + error);
        writeInheritedStream(STD_ERROR_HANDLE, error);
        return kExitXmlFailure;
    }
    logMessage(L"Wrote Task Scheduler XML as UTF-8: " + outputPath + L"; bytes=" +
               std::to_wstring(static_cast<unsigned long long>(bytes.size())));
    return kExitSuccess;
}

} // namespace qsh
