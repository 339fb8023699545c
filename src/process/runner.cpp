#include "process/runner.h"

#include <filesystem>

#include "diag/constants.h"
#include "diag/log.h"
#include "process/command_line.h"
#include "diag/unique_handle.h"

namespace qsh {
namespace {

constexpr UINT kSystemDirectoryBufferChars = 261;
constexpr ULONGLONG kTimeLimitMs = 60000;
constexpr DWORD kWaitSliceMs = 20;
constexpr int kFinalDrainRounds = 5;
constexpr DWORD kFinalDrainSleepMs = 2;
constexpr DWORD kTerminateWaitMs = 2000;
constexpr DWORD kReadChunkBytes = 4096;
// What is kept of a child's output. A task document cannot be larger than what create-xml
// accepts; error texts are a few lines. A child that writes without end would otherwise fill
// memory for the whole minute and then be relayed in full.
constexpr std::size_t kKeptStdoutBytes = 67108864;
constexpr std::size_t kKeptStderrBytes = 1048576;

std::wstring launchLogLine(const std::vector<std::wstring>& args) {
    std::wstring joined;
    for (const auto& arg : args) {
        if (!joined.empty()) {
            joined += L" | ";
        }
        joined += arg;
    }
    return L"Launching schtasks.exe with args: " + joined;
}

// Kills a child we can no longer watch and gives it a moment to go.
void terminateChild(HANDLE process, UINT exitCode) {
    TerminateProcess(process, exitCode);
    WaitForSingleObject(process, kTerminateWaitMs);
}

} // namespace

std::wstring getSchtasksPath() {
    std::wstring buffer(kSystemDirectoryBufferChars, L'\0');
    UINT length = GetSystemDirectoryW(buffer.data(), kSystemDirectoryBufferChars);
    if (length == 0 || length > kSystemDirectoryBufferChars - 1) {
        return L"schtasks.exe";
    }
    buffer.resize(length);
    return (std::filesystem::path(buffer) / L"schtasks.exe").wstring();
}

bool createPipePair(HANDLE& readEnd, HANDLE& writeEnd) {
    SECURITY_ATTRIBUTES attributes{};
    attributes.nLength = sizeof attributes;
    attributes.lpSecurityDescriptor = nullptr;
    attributes.bInheritHandle = TRUE;
    if (!CreatePipe(&readEnd, &writeEnd, &attributes, 0)) {
        return false;
    }
    if (!SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0)) {
        DWORD error = GetLastError();
        CloseHandle(readEnd);
        CloseHandle(writeEnd);
        readEnd = nullptr;
        writeEnd = nullptr;
        SetLastError(error);
        return false;
    }
    return true;
}

void drainPipe(HANDLE handle, Bytes& bytes, ULONGLONG deadline, std::size_t keep) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
        return;
    }
    std::uint8_t buffer[kReadChunkBytes];
    while (GetTickCount64() < deadline) {
        DWORD available = 0;
        if (!PeekNamedPipe(handle, nullptr, 0, nullptr, &available, nullptr) || available == 0) {
            return;
        }
        DWORD wanted = available < kReadChunkBytes ? available : kReadChunkBytes;
        DWORD got = 0;
        if (!ReadFile(handle, buffer, wanted, &got, nullptr) || got == 0) {
            return;
        }
        const std::size_t room = bytes.size() < keep ? keep - bytes.size() : 0;
        bytes.insert(bytes.end(), buffer, buffer + (got < room ? got : room));
    }
}

ProcessResult runSchtasks(const std::vector<std::wstring>& args) {
    logMessage(launchLogLine(args));
    const std::wstring programPath = getSchtasksPath();

    ProcessResult result;
    UniqueHandle outRead;
    UniqueHandle outWrite;
    UniqueHandle errRead;
    UniqueHandle errWrite;
    if (!createPipePair(*outRead.put(), *outWrite.put()) ||
        !createPipePair(*errRead.put(), *errWrite.put())) {
        result.launchError = GetLastError();
        return result;
    }

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = outWrite.get();
    startup.hStdError = errWrite.get();

    std::vector<std::wstring> commandArgs;
    commandArgs.reserve(args.size() + 1);
    commandArgs.push_back(programPath);
    commandArgs.insert(commandArgs.end(), args.begin(), args.end());
    std::wstring commandLine = joinCommandLine(commandArgs);

    PROCESS_INFORMATION info{};
    BOOL created = CreateProcessW(programPath.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                                  CREATE_NO_WINDOW, nullptr, nullptr, &startup, &info);
    DWORD createError = created ? 0 : GetLastError();
    // Only the child may hold the write ends now, so the pipes break when it ends.
    outWrite.reset();
    errWrite.reset();
    if (!created) {
        result.launchError = createError;
        return result;
    }
    UniqueHandle thread(info.hThread);
    UniqueHandle process(info.hProcess);
    result.launched = true;
    const ULONGLONG start = GetTickCount64();
    // A child that never stops writing must not keep the drains, and so the run, past the limit.
    const ULONGLONG deadline = start + kTimeLimitMs;

    for (;;) {
        drainPipe(outRead.get(), result.stdoutBytes, deadline, kKeptStdoutBytes);
        drainPipe(errRead.get(), result.stderrBytes, deadline, kKeptStderrBytes);
        DWORD wait = WaitForSingleObject(process.get(), kWaitSliceMs);
        if (wait == WAIT_OBJECT_0) {
            for (int round = 0; round < kFinalDrainRounds; ++round) {
                drainPipe(outRead.get(), result.stdoutBytes, deadline, kKeptStdoutBytes);
                drainPipe(errRead.get(), result.stderrBytes, deadline, kKeptStderrBytes);
                Sleep(kFinalDrainSleepMs);
            }
            break;
        }
        if (wait == WAIT_FAILED) {
            DWORD waitError = GetLastError();
            // A wait failure must never read as "nothing failed", nor end the child with 0.
            result.launchError = waitError != 0 ? waitError : ERROR_GEN_FAILURE;
            terminateChild(process.get(), result.launchError);
            break;
        }
        if (GetTickCount64() - start > kTimeLimitMs - 1) {
            result.timedOut = true;
            terminateChild(process.get(), kExitTimeout);
            break;
        }
    }

    DWORD exitCode = 0;
    if (GetExitCodeProcess(process.get(), &exitCode)) {
        result.exitCode = exitCode;
    } else {
        result.exitCode = GetLastError();
    }
    thread.reset();
    process.reset();
    outRead.reset();
    errRead.reset();
    return result;
}

} // namespace qsh
