#include "process/result_log.h"

#include "diag/streams.h"
#include "diag/constants.h"
#include "diag/log.h"
#include "text/decode.h"

namespace qsh {
namespace {

constexpr std::uint64_t kStderrPreviewUnits = 1000;

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
            logMessage(label + L" stdout (" + decoded.encoding + L"): " +
                       previewText(decoded.text, kPreviewUnits));
        } else {
            logMessage(label + L" stdout bytes=" + std::to_wstring(result.stdoutBytes.size()) +
                       L"; prefix=" + hexPrefix(result.stdoutBytes));
        }
    }

    if (!result.stderrBytes.empty()) {
        DecodedText decoded = decodeBytes(result.stderrBytes);
        logMessage(label + L" stderr (" + decoded.encoding + L"): " +
                   previewText(decoded.text, kStderrPreviewUnits));
        writeInheritedStream(STD_ERROR_HANDLE, decoded.text);
    }
}

} // namespace qsh
