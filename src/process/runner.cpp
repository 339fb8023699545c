#include "process/runner.h"

#include <algorithm>
#include <filesystem>
#include <memory>

#include "base/constants.h"
#include "base/unique_resource.h"
#include "base/windows_error.h"
#include "diag/log.h"
#include "process/command_line.h"

namespace qsh {
namespace {

constexpr UINT kSystemDirectoryBufferChars = 261;
constexpr ULONGLONG kTimeLimitMs = 60000;
constexpr DWORD kWaitSliceMs = 20;
// A child that has ended can only have left what its pipes buffer; the bound is for a
// write end that something else still holds (a process the child started).
constexpr ULONGLONG kFinalDrainBoundMs = 1000;
constexpr DWORD kFinalDrainSleepMs = 2;
constexpr DWORD kTerminateWaitMs = 2000;
constexpr DWORD kReadChunkBytes = 4096;
// What is kept of a child's output. A task document cannot be larger than what create-xml
// accepts; error texts are a few lines. A child that writes without end would otherwise fill
// memory for the whole minute and then be relayed in full.
constexpr std::size_t kKeptStdoutBytes = kMaxTaskXmlBytes;
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

// The system folder, or the error that kept us from it: schtasks.exe is never looked for
// anywhere else.
DWORD systemFolder(std::wstring& folder) {
    std::wstring buffer(kSystemDirectoryBufferChars, L'\0');
    const UINT length = GetSystemDirectoryW(buffer.data(), kSystemDirectoryBufferChars);
    if (length == 0) {
        const DWORD error = GetLastError();
        return error != 0 ? error : ERROR_PATH_NOT_FOUND;
    }
    if (length > kSystemDirectoryBufferChars - 1) {
        return ERROR_INSUFFICIENT_BUFFER;
    }
    buffer.resize(length);
    folder = std::move(buffer);
    return 0;
}

// Drains both pipes once the child has ended, until each reports its writer gone or the
// bound of its own passes: whatever the clock said about the run, nothing the child wrote
// is left behind.
void drainAfterExit(const PipeCapture& out, const PipeCapture& err, const ChildWatch& watch) {
    const ULONGLONG bound = watch.now() + kFinalDrainBoundMs;
    bool outGone = false;
    bool errGone = false;
    for (;;) {
        outGone = outGone || drainPipe(out, bound, watch.now);
        errGone = errGone || drainPipe(err, bound, watch.now);
        if ((outGone && errGone) || watch.now() >= bound) {
            return;
        }
        Sleep(kFinalDrainSleepMs);
    }
}

// Ends a child we stop watching. False when it may still run.
bool endChild(HANDLE process, UINT exitCode, const ChildWatch& watch) {
    if (!TerminateProcess(process, exitCode)) {
        const DWORD error = GetLastError();
        logMessage(L"Could not end schtasks.exe: " + formatWindowsError(error));
    }
    if (watch.wait(process, kTerminateWaitMs) == WAIT_OBJECT_0) {
        return true;
    }
    logMessage(L"schtasks.exe has not ended; its handles stay open until the helper exits.");
    return false;
}

// The standard input the child gets: ours, made inheritable through a duplicate when it is
// not; none when we have none. Before Windows 8 a console handle is a pseudo-handle (low
// bits 11) that the inherit list refuses; schtasks.exe reads nothing from it, so it is left
// out rather than letting the child inherit everything.
HANDLE standardInputForChild(UniqueHandle& duplicate) {
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD flags = 0;
    if (input == nullptr || input == INVALID_HANDLE_VALUE ||
        (reinterpret_cast<ULONG_PTR>(input) & 3) == 3 || !GetHandleInformation(input, &flags)) {
        return nullptr;
    }
    if ((flags & HANDLE_FLAG_INHERIT) != 0) {
        return input;
    }
    if (!DuplicateHandle(GetCurrentProcess(), input, GetCurrentProcess(), duplicate.put(), 0, TRUE,
                         DUPLICATE_SAME_ACCESS)) {
        return nullptr;
    }
    return duplicate.get();
}

// The only handles a child inherits (PROC_THREAD_ATTRIBUTE_HANDLE_LIST); the list points
// into `handles_`, so both live as long as this owner.
class InheritList {
  public:
    explicit InheritList(std::vector<HANDLE> handles) : handles_(std::move(handles)) {}
    InheritList(const InheritList&) = delete;
    InheritList& operator=(const InheritList&) = delete;
    ~InheritList() {
        if (ready_) {
            DeleteProcThreadAttributeList(list());
        }
    }

    // 0 or the error of the failing call.
    DWORD build() {
        SIZE_T size = 0;
        InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        storage_ = std::make_unique<unsigned char[]>(size);
        if (!InitializeProcThreadAttributeList(list(), 1, 0, &size)) {
            return GetLastError();
        }
        ready_ = true;
        if (!UpdateProcThreadAttribute(list(), 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                       handles_.data(), handles_.size() * sizeof(HANDLE), nullptr,
                                       nullptr)) {
            return GetLastError();
        }
        return 0;
    }
    LPPROC_THREAD_ATTRIBUTE_LIST list() {
        return reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.get());
    }

  private:
    std::vector<HANDLE> handles_;
    std::unique_ptr<unsigned char[]> storage_;
    bool ready_ = false;
};

struct ChildHandles {
    UniqueHandle process;
    UniqueHandle thread;
};

// Starts schtasks.exe from the system folder, in that folder, with the pipes' write ends as
// its output and inheriting nothing else. 0 or the error that stopped it.
DWORD startChild(const std::vector<std::wstring>& args, HANDLE outWrite, HANDLE errWrite,
                 ChildHandles& child) {
    std::wstring folder;
    if (const DWORD error = systemFolder(folder)) {
        return error;
    }
    const std::wstring programPath = (std::filesystem::path(folder) / L"schtasks.exe").wstring();
    UniqueHandle inputCopy;
    const HANDLE input = standardInputForChild(inputCopy);
    std::vector<HANDLE> inherited = {outWrite, errWrite};
    if (input != nullptr &&
        std::find(inherited.begin(), inherited.end(), input) == inherited.end()) {
        inherited.push_back(input);
    }
    InheritList list(std::move(inherited));
    if (const DWORD error = list.build()) {
        return error;
    }

    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = input;
    startup.StartupInfo.hStdOutput = outWrite;
    startup.StartupInfo.hStdError = errWrite;
    startup.lpAttributeList = list.list();

    std::vector<std::wstring> commandArgs;
    commandArgs.reserve(args.size() + 1);
    commandArgs.push_back(programPath);
    commandArgs.insert(commandArgs.end(), args.begin(), args.end());
    std::wstring commandLine = joinCommandLine(commandArgs);

    PROCESS_INFORMATION info{};
    if (!CreateProcessW(programPath.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                        CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT, nullptr, folder.c_str(),
                        &startup.StartupInfo, &info)) {
        return GetLastError();
    }
    child.process.reset(info.hProcess);
    child.thread.reset(info.hThread);
    return 0;
}

} // namespace

std::wstring getSchtasksPath() {
    std::wstring folder;
    if (systemFolder(folder) != 0) {
        return L"schtasks.exe";
    }
    return (std::filesystem::path(folder) / L"schtasks.exe").wstring();
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

bool drainPipe(const PipeCapture& capture, ULONGLONG deadline,
               const std::function<ULONGLONG()>& now) {
    if (capture.pipe == nullptr || capture.pipe == INVALID_HANDLE_VALUE) {
        return true;
    }
    std::uint8_t buffer[kReadChunkBytes];
    while (now() < deadline) {
        DWORD available = 0;
        // Fails (broken pipe) only once every writer is gone and the pipe is empty.
        if (!PeekNamedPipe(capture.pipe, nullptr, 0, nullptr, &available, nullptr)) {
            return true;
        }
        if (available == 0) {
            return false;
        }
        DWORD wanted = available < kReadChunkBytes ? available : kReadChunkBytes;
        DWORD got = 0;
        if (!ReadFile(capture.pipe, buffer, wanted, &got, nullptr) || got == 0) {
            return true;
        }
        Bytes& bytes = capture.bytes;
        const std::size_t room = bytes.size() < capture.keep ? capture.keep - bytes.size() : 0;
        const std::size_t kept = got < room ? got : room;
        bytes.insert(bytes.end(), buffer, buffer + kept);
        capture.dropped += got - kept;
    }
    return false;
}

bool watchChild(HANDLE process, const PipeCapture& out, const PipeCapture& err,
                ProcessResult& result, const ChildWatch& watch) {
    const ULONGLONG start = watch.now();
    // A child that never stops writing must not keep the drains, and so the run, past the limit.
    const ULONGLONG deadline = start + kTimeLimitMs;
    for (;;) {
        drainPipe(out, deadline, watch.now);
        drainPipe(err, deadline, watch.now);
        const DWORD wait = watch.wait(process, kWaitSliceMs);
        if (wait == WAIT_OBJECT_0) {
            drainAfterExit(out, err, watch);
            return true;
        }
        if (wait == WAIT_FAILED) {
            const DWORD waitError = GetLastError();
            // A wait failure must never read as "nothing failed", nor end the child with 0.
            result.launchError = waitError != 0 ? waitError : ERROR_GEN_FAILURE;
            return endChild(process, result.launchError, watch);
        }
        // Only a child still running at the limit has timed out.
        if (watch.now() - start > kTimeLimitMs - 1) {
            result.timedOut = true;
            return endChild(process, kExitTimeout, watch);
        }
    }
}

ProcessResult runSchtasks(const std::vector<std::wstring>& args) {
    logMessage(launchLogLine(args));

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

    ChildHandles child;
    const DWORD startError = startChild(args, outWrite.get(), errWrite.get(), child);
    // Only the child may hold the write ends now, so the pipes break when it ends.
    outWrite.reset();
    errWrite.reset();
    if (startError != 0) {
        result.launchError = startError;
        return result;
    }
    result.launched = true;

    const PipeCapture out{outRead.get(), result.stdoutBytes, result.stdoutDropped,
                          kKeptStdoutBytes};
    const PipeCapture err{errRead.get(), result.stderrBytes, result.stderrDropped,
                          kKeptStderrBytes};
    const bool ended = watchChild(child.process.get(), out, err, result);

    DWORD exitCode = 0;
    if (GetExitCodeProcess(child.process.get(), &exitCode)) {
        result.exitCode = exitCode;
    } else {
        result.exitCode = GetLastError();
    }
    if (!ended) {
        // Held until this process ends: closing the read ends would let a child blocked on a
        // full pipe go on with its work after we reported the run as over.
        child.process.release();
        child.thread.release();
        outRead.release();
        errRead.release();
    }
    return result;
}

int exitCodeFromProcessResult(const ProcessResult& result) {
    if (!result.launched) {
        return result.launchError != 0 ? static_cast<int>(result.launchError) : kExitGenericFailure;
    }
    if (result.timedOut) {
        return kExitTimeout;
    }
    return static_cast<int>(result.exitCode);
}

} // namespace qsh
