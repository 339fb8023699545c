#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "base/bytes.h"
#include "base/constants.h"

namespace qsh {

struct ProcessResult {
    bool launched = false;
    bool timedOut = false;
    std::uint32_t exitCode = kExitGenericFailure;
    std::uint32_t launchError = 0;
    Bytes stdoutBytes;
    Bytes stderrBytes;
    // Bytes read past what is kept of each stream and thrown away.
    std::uint64_t stdoutDropped = 0;
    std::uint64_t stderrDropped = 0;
};

// One of the child's output streams as the runner reads it: bytes past `keep` are read and
// dropped, so that the writer is never held up.
struct PipeCapture {
    HANDLE pipe = nullptr;
    Bytes& bytes;
    std::uint64_t& dropped;
    std::size_t keep = SIZE_MAX;
};

// The clock and the wait the runner watches its child with; a test puts in its own.
struct ChildWatch {
    std::function<ULONGLONG()> now = [] { return GetTickCount64(); };
    std::function<DWORD(HANDLE, DWORD)> wait = [](HANDLE process, DWORD ms) {
        return WaitForSingleObject(process, ms);
    };
};

std::wstring getSchtasksPath();
bool createPipePair(HANDLE& readEnd, HANDLE& writeEnd);
// Reads what the pipe holds without blocking; stops at `deadline` on `now` even while data
// keeps coming. True once the pipe reports that every writer is gone and nothing is left
// (a null or invalid handle counts as gone).
bool drainPipe(const PipeCapture& capture, ULONGLONG deadline = MAXULONGLONG,
               const std::function<ULONGLONG()>& now = GetTickCount64);
// Reads both streams while the child runs, up to the time limit, and ends it there. False
// when the child may still be running (it could not be ended).
bool watchChild(HANDLE process, const PipeCapture& out, const PipeCapture& err,
                ProcessResult& result, const ChildWatch& watch = {});
ProcessResult runSchtasks(const std::vector<std::wstring>& args);
// The exit code a command relays for a schtasks run: the launch error (or the generic failure
// code), the time-out code, else the child's own code.
int exitCodeFromProcessResult(const ProcessResult& result);

} // namespace qsh
