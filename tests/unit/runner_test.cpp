// The runner's pieces that need no child: its pipes, its exit code and its log lines.

#include <gtest/gtest.h>

#include "diag/unique_handle.h"
#include "process/result_log.h"
#include "process/runner.h"
#include "sandbox.h"
#include "tasks/schtasks_commands.h"

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

    qsh::drainPipe(readEnd, bytes); // empty pipe, writer still open
    EXPECT_EQ(bytes, Bytes{0x42});

    std::string first = floodText(3000);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(writeEnd, first.data(), 3000, &written, nullptr));
    qsh::drainPipe(readEnd, bytes);
    std::string second(2500, 'z');
    ASSERT_TRUE(WriteFile(writeEnd, second.data(), 2500, &written, nullptr));
    CloseHandle(writeEnd);
    qsh::drainPipe(readEnd, bytes);
    qsh::drainPipe(readEnd, bytes); // broken and empty: returns at once
    EXPECT_EQ(bytesText(bytes), "\x42" + first + second);
    CloseHandle(readEnd);

    // Past what is kept the pipe is still emptied; a past deadline reads nothing.
    ASSERT_TRUE(qsh::createPipePair(readEnd, writeEnd));
    ASSERT_TRUE(WriteFile(writeEnd, "abcdefghij", 10, &written, nullptr));
    Bytes kept = {0x41};
    qsh::drainPipe(readEnd, kept, GetTickCount64() - 1, 4);
    EXPECT_EQ(bytesText(kept), "A");
    qsh::drainPipe(readEnd, kept, MAXULONGLONG, 4);
    EXPECT_EQ(bytesText(kept), "Aabc");
    DWORD left = 1;
    ASSERT_TRUE(PeekNamedPipe(readEnd, nullptr, 0, nullptr, &left, nullptr));
    EXPECT_EQ(left, 0u);
    CloseHandle(writeEnd);

    Bytes untouched = {1, 2};
    qsh::drainPipe(nullptr, untouched);
    qsh::drainPipe(INVALID_HANDLE_VALUE, untouched);
    EXPECT_EQ(untouched, (Bytes{1, 2}));
    CloseHandle(readEnd);
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
                         }));
}

} // namespace
