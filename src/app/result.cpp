#include "app/result.h"

#include <string>

#include "base/constants.h"
#include "base/utf8.h"
#include "diag/format.h"
#include "diag/log.h"
#include "diag/streams.h"

namespace qsh {
namespace {

// The command word is echoed into the result line: a line break in it would let the caller's
// own argument forge a second result line, a bidirectional control would make the line show
// something else. The log's rule, and a tab too, which would split the line's fields for a
// reader.
std::wstring commandInLine(const std::wstring& word) {
    std::wstring text = singleLine(word);
    for (wchar_t& unit : text) {
        if (unit == L'\t') {
            unit = L'?';
        }
    }
    return text;
}

} // namespace

std::wstring operationPhrase(const ArgList& list) {
    if (list.empty()) {
        return L"run the requested operation";
    }
    const std::wstring word = lowerCopy(list[0]);
    if (word == L"create-default") {
        return L"create the default Windows scheduled task";
    }
    if (word == L"create-xml") {
        return L"create the Windows scheduled task from XML";
    }
    if (word == L"query-to-file") {
        return L"query the Windows scheduled task";
    }
    if (word == L"apply-times") {
        return L"apply the Windows scheduled task times";
    }
    if (word == L"delete") {
        return L"delete the Windows scheduled task";
    }
    if (word == L"--version" || word == L"version") {
        return L"read the scheduler helper version";
    }
    return L"run command " + commandInLine(word);
}

std::wstring resultMessage(int code, const std::wstring& phrase) {
    switch (code) {
    case 0:
        return L"Completed request to " + phrase + L".";
    case 2:
        return L"Missing or invalid scheduler helper arguments.";
    case 3:
        return L"The scheduler XML input file was not found.";
    case 4:
        return L"The scheduler XML could not be decoded, validated, normalized, or written.";
    case 5:
        return L"The scheduler helper was relaunched but did not receive an elevated token.";
    case 6:
        return L"The scheduler helper could not stage itself for elevation.";
    case 7:
        return L"The scheduler helper could not launch or monitor its elevated process.";
    case 1223:
        return L"The Windows administrator prompt was cancelled.";
    case 1460:
        return L"The scheduler helper timed out while attempting to " + phrase + L".";
    default:
        return L"Could not " + phrase + L". Exit code " + std::to_wstring(code) + L".";
    }
}

namespace {

std::wstring resultFields(int code, const ArgList& list) {
    return std::wstring(L"status=") + (code == 0 ? L"success" : L"failure") + L" exitCode=" +
           std::to_wstring(code) + L" message=" + resultMessage(code, operationPhrase(list));
}

} // namespace

std::wstring buildResultLine(int code, const ArgList& list) {
    return L"QUILLFEN_HELPER_RESULT " + resultFields(code, list);
}

std::wstring usageText() {
    return std::wstring(L"QuillfenSchedulerHelper ") + kHelperVersion +
           L"\r\nCommands:\r\n"
           L"  create-default\r\n"
           L"  create-xml <task-xml-path>\r\n"
           L"  query-to-file <output-xml-path>\r\n"
           L"  apply-times <HH:mm:ss[,HH:mm:ss...]> <output-xml-path>\r\n"
           L"  delete\r\n";
}

void writeResult(int code, const ArgList& list) {
    const std::wstring fields = resultFields(code, list);
    writeInheritedStream(STD_OUTPUT_HANDLE, L"QUILLFEN_HELPER_RESULT " + fields);
    logMessage(L"Result " + fields);
}

void writeUsage() {
    logMessage(L"Usage requested or invalid arguments supplied.");
    writeInheritedStream(STD_ERROR_HANDLE, usageText());
}

} // namespace qsh
