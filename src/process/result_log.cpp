#include "process/result_log.h"

#include "base/constants.h"
#include "base/windows_error.h"
#include "diag/format.h"
#include "diag/log.h"
#include "diag/streams.h"
#include "text/decode.h"

namespace qsh {
namespace {

constexpr std::uint64_t kStderrPreviewUnits = 1000;

// Said only when the runner threw bytes away past what it keeps, so that a size read from the
// log is never mistaken for the whole.
std::wstring droppedNote(const wchar_t* lead, std::uint64_t dropped) {
    return dropped == 0 ? std::wstring() : lead + (L"dropped=" + std::to_wstring(dropped));
}

} // namespace

void logProcessResult(const std::wstring& label, const ProcessResult& result, bool decodeStdout) {
    if (!result.launched) {
        logMessage(label + L": process launch failed: " + formatWindowsError(result.launchError));
        return;
    }
    logMessage(label + L": exitCode=" + std::to_wstring(result.exitCode) + L"; timedOut=" +
               (result.timedOut ? L"true" : L"false"));

    if (!result.stdoutBytes.empty()) {
        if (decodeStdout) {
            DecodedText decoded = decodeBytes(result.stdoutBytes);
            logMessage(label + L" stdout (" + decoded.encoding + L")" +
                       droppedNote(L" ", result.stdoutDropped) + L": " +
                       previewText(decoded.text, kPreviewUnits));
        } else {
            logMessage(label + L" stdout bytes=" + std::to_wstring(result.stdoutBytes.size()) +
                       L"; prefix=" + hexPrefix(result.stdoutBytes) +
                       droppedNote(L"; ", result.stdoutDropped));
        }
    }

    if (!result.stderrBytes.empty()) {
        DecodedText decoded = decodeBytes(result.stderrBytes);
        logMessage(label + L" stderr (" + decoded.encoding + L")" +
                   droppedNote(L" ", result.stderrDropped) + L": " +
                   previewText(decoded.text, kStderrPreviewUnits));
        writeInheritedStream(STD_ERROR_HANDLE, decoded.text);
    }
}

} // namespace qsh
