// The runner's pieces that need no child: its pipes, its exit code and its log lines.

#include <gtest/gtest.h>

#include <utility>

#include "base/unique_resource.h"
#include "process/result_log.h"
#include "process/runner.h"
#include "sandbox.h"

using namespace qsh::testing;
using qsh::Bytes;
using qsh::ProcessResult;

namespace {

TEST(RunnerPipes, OnlyTheWriteEndIsInheritable) {
    qsh::UniqueHandle readEnd;
    qsh::UniqueHandle writeEnd;
    ASSERT_TRUE(qsh::createPipePair(*readEnd.put(), *writeEnd.put()));
    DWORD readFlags = 0;
    DWORD writeFlags = 0;
    EXPECT_TRUE(GetHandleInformation(readEnd.get(), &readFlags));
    EXPECT_TRUE(GetHandleInformation(writeEnd.get(), &writeFlags));
    EXPECT_EQ(readFlags & HANDLE_FLAG_INHERIT, 0u);
    EXPECT_NE(writeFlags & HANDLE_FLAG_INHERIT, 0u);
}

TEST(RunnerPipes, DrainTakesWhatIsThereAndNeverBlocks) {
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    ASSERT_TRUE(qsh::createPipePair(readEnd, writeEnd));
    Bytes bytes = {0x42};
    std::uint64_t dropped = 0;
    const qsh::PipeCapture all{readEnd, bytes, dropped};

    EXPECT_FALSE(qsh::drainPipe(all)); // empty pipe, writer still open
    EXPECT_EQ(bytes, Bytes{0x42});

    std::string first = floodText(3000);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(writeEnd, first.data(), 3000, &written, nullptr));
    EXPECT_FALSE(qsh::drainPipe(all));
    std::string second(2500, 'z');
    ASSERT_TRUE(WriteFile(writeEnd, second.data(), 2500, &written, nullptr));
    CloseHandle(writeEnd);
    EXPECT_TRUE(qsh::drainPipe(all)); // read to the end: the writer is gone
    EXPECT_TRUE(qsh::drainPipe(all)); // broken and empty: returns at once
    EXPECT_EQ(bytesText(bytes), "\x42" + first + second);
    EXPECT_EQ(dropped, 0u);
    CloseHandle(readEnd);

    // Past what is kept the pipe is still emptied, and the rest counted; a past deadline
    // reads nothing.
    ASSERT_TRUE(qsh::createPipePair(readEnd, writeEnd));
    ASSERT_TRUE(WriteFile(writeEnd, "abcdefghij", 10, &written, nullptr));
    Bytes kept = {0x41};
    const qsh::PipeCapture four{readEnd, kept, dropped, 4};
    EXPECT_FALSE(qsh::drainPipe(four, GetTickCount64() - 1));
    EXPECT_EQ(bytesText(kept), "A");
    EXPECT_FALSE(qsh::drainPipe(four));
    EXPECT_EQ(bytesText(kept), "Aabc");
    EXPECT_EQ(dropped, 7u);
    DWORD left = 1;
    ASSERT_TRUE(PeekNamedPipe(readEnd, nullptr, 0, nullptr, &left, nullptr));
    EXPECT_EQ(left, 0u);
    CloseHandle(writeEnd);

    Bytes untouched = {1, 2};
    EXPECT_TRUE(qsh::drainPipe({nullptr, untouched, dropped}));
    EXPECT_TRUE(qsh::drainPipe({INVALID_HANDLE_VALUE, untouched, dropped}));
    EXPECT_EQ(untouched, (Bytes{1, 2}));
    CloseHandle(readEnd);
}

using RunnerWatch = SandboxTest;

// The decision at the limit, and after a failed wait, on a scripted clock and wait: the child's
// last bytes wait in the pipes, its writer gone, and each wait answers from `waits` (then
// "timed out").
TEST_F(RunnerWatch, ChildEndedAfterTheLimitIsReadToTheEnd) {
    useHere();
    struct Row {
        const char* name;
        ULONGLONG jump; // where the clock stands after its first reading
        std::vector<DWORD> waits;
        bool ended;
        bool timedOut;
        std::string out;
        std::vector<DWORD> waitedMs;
        std::vector<std::string> log;
        DWORD waitError = 0; // the last error a failed wait leaves
        DWORD launchError = 0;
    };
    const std::string notEnded =
        "schtasks.exe has not ended; its handles stay open until the helper exits.";
    const Row rows[] = {
        // Ended just after the deadline, within the slice: all it wrote is read, not 1460.
        {"ended past the deadline", 60001, {WAIT_OBJECT_0}, true, false, "last words", {20}, {}},
        {"ended in time",
         0,
         {WAIT_TIMEOUT, WAIT_OBJECT_0},
         true,
         false,
         "last words",
         {20, 20},
         {}},
        // Still running at the limit: ended with 1460. This one cannot be (no process), so the
        // failure is logged and the run says the child may still run.
        {"running at the limit",
         60001,
         {WAIT_TIMEOUT},
         false,
         true,
         "",
         {20, 2000},
         {"Could not end schtasks.exe: Invalid handle.", notEnded}},
        // A wait that fails ends the child with the wait's error, which the run reports; one
        // without an error code still reads as a failure.
        {"wait failed",
         0,
         {WAIT_FAILED, WAIT_OBJECT_0},
         true,
         false,
         "last words",
         {20, 2000},
         {"Could not end schtasks.exe: Invalid handle."},
         ERROR_ACCESS_DENIED,
         ERROR_ACCESS_DENIED},
        {"wait failed without an error code",
         0,
         {WAIT_FAILED, WAIT_OBJECT_0},
         true,
         false,
         "last words",
         {20, 2000},
         {"Could not end schtasks.exe: Invalid handle."},
         0,
         ERROR_GEN_FAILURE},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        qsh::UniqueHandle outRead, outWrite, errRead, errWrite;
        ASSERT_TRUE(qsh::createPipePair(*outRead.put(), *outWrite.put()));
        ASSERT_TRUE(qsh::createPipePair(*errRead.put(), *errWrite.put()));
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(outWrite.get(), "last words", 10, &written, nullptr));
        ASSERT_TRUE(WriteFile(errWrite.get(), "late", 4, &written, nullptr));
        outWrite.reset();
        errWrite.reset();

        bool started = false;
        std::vector<DWORD> waitedMs;
        qsh::ChildWatch watch;
        watch.now = [&] { return 1000000 + (std::exchange(started, true) ? row.jump : 0); };
        watch.wait = [&](HANDLE, DWORD ms) {
            waitedMs.push_back(ms);
            const DWORD answer = waitedMs.size() <= row.waits.size()
                                     ? row.waits[waitedMs.size() - 1]
                                     : DWORD{WAIT_TIMEOUT};
            SetLastError(answer == WAIT_FAILED ? row.waitError : ERROR_SUCCESS);
            return answer;
        };
        ProcessResult result;
        const bool ended = qsh::watchChild(
            nullptr, {outRead.get(), result.stdoutBytes, result.stdoutDropped},
            {errRead.get(), result.stderrBytes, result.stderrDropped}, result, watch);

        EXPECT_EQ(ended, row.ended);
        EXPECT_EQ(result.timedOut, row.timedOut);
        EXPECT_EQ(result.launchError, row.launchError);
        EXPECT_EQ(bytesText(result.stdoutBytes), row.out);
        EXPECT_EQ(bytesText(result.stderrBytes), row.out.empty() ? "" : "late");
        EXPECT_EQ(waitedMs, row.waitedMs);
        EXPECT_EQ(logHere(), row.log);
        DeleteFileW(logPath().c_str());
    }
}

TEST(RunnerExitCode, LaunchFailureTimeoutAndChildCode) {
    const std::pair<ProcessResult, int> rows[] = {
        {{}, 31},
        {{.launchError = 2}, 2},
        {{.launched = true, .timedOut = true, .exitCode = 0}, 1460},
        {{.launched = true, .exitCode = 2}, 2},
        {{.launched = true, .exitCode = 0}, 0},
    };
    for (const auto& [result, code] : rows) {
        EXPECT_EQ(qsh::exitCodeFromProcessResult(result), code);
    }
}

using ProcessResultLog = SandboxTest;

TEST_F(ProcessResultLog, ExitLineThenOutputPreviewedOrShownAsHex) {
    useHere();
    qsh::logProcessResult(L"delete", {.launchError = 2}, true);

    // A quiet run logs only its exit line.
    ProcessResult quiet{.launched = true, .exitCode = 0};
    qsh::logProcessResult(L"create-default", quiet, true);
    qsh::logProcessResult(L"query-to-file", quiet, false);
    qsh::logProcessResult(L"delete", {.launched = true, .timedOut = true, .exitCode = 0xC0000005u},
                          true);

    qsh::logProcessResult(
        L"query-to-file",
        {.launched = true, .exitCode = 0, .stdoutBytes = {0xFF, 0xFE, '<', 0, '?', 0}}, false);
    ProcessResult chatty{.launched = true, .exitCode = 1, .stderrBytes = Bytes(1500, 'e')};
    const std::string out = "SUCCESS: done.\r\n";
    chatty.stdoutBytes.assign(out.begin(), out.end());
    qsh::logProcessResult(L"delete", chatty, true);
    // Standard output is previewed in 240 units.
    qsh::logProcessResult(L"create-default",
                          {.launched = true, .exitCode = 0, .stdoutBytes = Bytes(300, 'o')}, true);
    // What the runner dropped past its caps is counted on the stream's line.
    qsh::logProcessResult(L"query-to-file",
                          {.launched = true,
                           .exitCode = 0,
                           .stdoutBytes = {0x3C, 0x54},
                           .stderrBytes = {'e'},
                           .stdoutDropped = 4294967296,
                           .stderrDropped = 12},
                          false);
    qsh::logProcessResult(
        L"delete", {.launched = true, .exitCode = 0, .stdoutBytes = {'o'}, .stdoutDropped = 5},
        true);

    EXPECT_EQ(logHere(), (std::vector<std::string>{
                             "delete: process launch failed: " + systemText(2),
                             "create-default: exitCode=0; timedOut=false",
                             "query-to-file: exitCode=0; timedOut=false",
                             "delete: exitCode=3221225477; timedOut=true",
                             "query-to-file: exitCode=0; timedOut=false",
                             "query-to-file stdout bytes=6; prefix=FF FE 3C 00 3F 00",
                             "delete: exitCode=1; timedOut=false",
                             "delete stdout (UTF-8/ASCII): SUCCESS: done.  ",
                             "delete stderr (UTF-8/ASCII): " + std::string(1000, 'e'),
                             "create-default: exitCode=0; timedOut=false",
                             "create-default stdout (UTF-8/ASCII): " + std::string(240, 'o'),
                             "query-to-file: exitCode=0; timedOut=false",
                             "query-to-file stdout bytes=2; prefix=3C 54; dropped=4294967296",
                             "query-to-file stderr (UTF-8/ASCII) dropped=12: e",
                             "delete: exitCode=0; timedOut=false",
                             "delete stdout (UTF-8/ASCII) dropped=5: o",
                         }));
}

} // namespace
