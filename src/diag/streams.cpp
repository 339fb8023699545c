#include "diag/streams.h"

#include <string>

#include "base/file_io.h"
#include "base/utf8.h"
#include "diag/log.h"

namespace qsh {

void reportError(const std::wstring& text) {
    logMessage(text);
    writeInheritedStream(STD_ERROR_HANDLE, text);
}

void writeInheritedStream(DWORD handleId, const std::wstring& text) {
    // Started without inherited handles (the normal GUI case): nothing to write to.
    HANDLE stream = GetStdHandle(handleId);
    if (stream == nullptr || stream == INVALID_HANDLE_VALUE) {
        return;
    }
    std::string bytes = wideToUtf8(text);
    if (bytes.empty() || bytes.back() != '\n') {
        bytes += "\r\n";
    }
    // One call, so that a reader never sees half a line from us; a stream that takes only part
    // of it gets the rest next.
    DWORD error = ERROR_SUCCESS;
    writeFully(stream, bytesOf(bytes), error, MAXDWORD);
}

} // namespace qsh
