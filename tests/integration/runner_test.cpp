// The schtasks runner, called in this process, against the stand-in schtasks.exe of the
// test prefix, which records exactly what it was started with.

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <regex>
#include <string>

#include "base/unique_resource.h"
#include "process/result_log.h"
#include "process/runner.h"
#include "sandbox.h"

using namespace qsh::testing;
using qsh::Bytes;
using qsh::ProcessResult;

namespace {

// Handles this process holds, from the system's handle table (GetProcessHandleCount is a
// stub under Wine). 0 when the table cannot be read.
std::size_t ownHandleCount() {
    struct Entry {
        PVOID object;
        ULONG_PTR processId;
        ULONG_PTR handle;
        ULONG access;
        USHORT backTrace;
        USHORT typeIndex;
        ULONG attributes;
        ULONG reserved;
    };
    struct Table {
        ULONG_PTR count;
        ULONG_PTR reserved;
        Entry entries[1];
    };
    using Query = LONG(WINAPI*)(int, PVOID, ULONG, PULONG);
    auto query = reinterpret_cast<Query>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    const int kExtendedHandleInformation = 64;
    const LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004);
    std::vector<unsigned char> buffer(1 << 20);
    LONG status = 0;
    ULONG needed = 0;
    while ((status = query(kExtendedHandleInformation, buffer.data(),
                           static_cast<ULONG>(buffer.size()), &needed)) == kInfoLengthMismatch) {
        buffer.resize(buffer.size() * 2);
    }
    if (status != 0) {
        return 0;
    }
    const auto* table = reinterpret_cast<const Table*>(buffer.data());
    std::size_t own = 0;
    for (ULONG_PTR i = 0; i < table->count; ++i) {
        own += table->entries[i].processId == GetCurrentProcessId() ? 1 : 0;
    }
    return own;
}

std::wstring systemSchtasks() {
    wchar_t dir[MAX_PATH];
    UINT n = GetSystemDirectoryW(dir, MAX_PATH);
    return std::wstring(dir, n) + L"\\schtasks.exe";
}

const std::wstring kDefaultAction = L"C:\\Windows\\System32\\cmd.exe /C quillfen -noGui";
const std::vector<std::wstring> kCreateDefaultArgs = {L"/CREATE",     L"/TN", L"Quillfen", L"/TR",
                                                      kDefaultAction, L"/SC", L"DAILY",    L"/ST",
                                                      L"08:00",       L"/F"};

// The runner in this process, with the sandbox's folders and switches.
class RunnerChild : public SandboxTest {
  protected:
    void SetUp() override { useHere(); }
};
using RunnerSlow = RunnerChild;

TEST_F(RunnerChild, StartsSystemSchtasksWithQuotedArgumentsAndCapturesOutput) {
    EXPECT_EQ(qsh::getSchtasksPath(), systemSchtasks());

    ProcessResult result = qsh::runSchtasks(kCreateDefaultArgs);

    EXPECT_TRUE(result.launched);
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(result.launchError, 0u);
    EXPECT_EQ(bytesText(result.stdoutBytes),
              "SUCCESS: The scheduled task \"Quillfen\" has successfully been created.\r\n");
    EXPECT_TRUE(result.stderrBytes.empty());

    auto recorded = calls();
    ASSERT_EQ(recorded.size(), 1u);
    EXPECT_EQ(recorded[0].commandLine,
              toUtf8(systemSchtasks()) +
                  " /CREATE /TN Quillfen /TR \"C:\\Windows\\System32\\cmd.exe /C quillfen "
                  "-noGui\" /SC DAILY /ST 08:00 /F");
    ASSERT_EQ(recorded[0].argv.size(), kCreateDefaultArgs.size() + 1);
    for (std::size_t i = 0; i < kCreateDefaultArgs.size(); ++i) {
        EXPECT_EQ(recorded[0].argv[i + 1], toUtf8(kCreateDefaultArgs[i]));
    }

    // The launch line shows the arguments unquoted; nothing else is logged by the runner.
    EXPECT_EQ(logHere(), std::vector<std::string>{
                             "Launching schtasks.exe with args: /CREATE | /TN | Quillfen | /TR | "
                             "C:\\Windows\\System32\\cmd.exe /C quillfen -noGui | /SC | DAILY | "
                             "/ST | 08:00 | /F"});
}

TEST_F(RunnerChild, EveryArgumentArrivesExactlyAsGiven) {
    const std::vector<std::wstring> args = {
        L"",          L"a\"b",       L"x\\\"y", L"C:\\my dir\\",    L"C:\\dir\\",
        L"tab\there", L"line\nfeed", L"v\vtab", L"caf\u00E9 \u20AC"};
    ProcessResult result = qsh::runSchtasks(args);
    ASSERT_TRUE(result.launched);
    EXPECT_NE(result.exitCode, 0u); // the stand-in refuses the verb ""

    auto recorded = calls();
    ASSERT_EQ(recorded.size(), 1u);
    EXPECT_EQ(recorded[0].commandLine,
              toUtf8(systemSchtasks() +
                     L" \"\" \"a\\\"b\" \"x\\\\\\\"y\" \"C:\\my dir\\\\\" C:\\dir\\ \"tab\there\" "
                     L"\"line\nfeed\" \"v\vtab\" \"caf\u00E9 \u20AC\""));
    ASSERT_EQ(recorded[0].argv.size(), args.size() + 1);
    for (std::size_t i = 0; i < args.size(); ++i) {
        EXPECT_EQ(recorded[0].argv[i + 1], toUtf8(args[i])) << "argument " << i;
    }
}

TEST_F(RunnerChild, EmptyListRunsTheProgramAlone) {
    ProcessResult result = qsh::runSchtasks({});
    ASSERT_TRUE(result.launched);
    auto recorded = calls();
    ASSERT_EQ(recorded.size(), 1u);
    EXPECT_EQ(recorded[0].commandLine, toUtf8(systemSchtasks()));
    EXPECT_EQ(logHere(), std::vector<std::string>{"Launching schtasks.exe with args: "});
}

TEST_F(RunnerChild, ChildExitCodeIsKeptInAllItsBits) {
    useHere({schtasksSwitch(L"EXIT_CODE", L"0xC0000005")});
    ProcessResult crashed = qsh::runSchtasks({L"/DELETE", L"/TN", L"Quillfen", L"/F"});
    EXPECT_TRUE(crashed.launched);
    EXPECT_FALSE(crashed.timedOut);
    EXPECT_EQ(crashed.exitCode, 0xC0000005u);
    EXPECT_EQ(crashed.launchError, 0u);
    EXPECT_EQ(qsh::exitCodeFromProcessResult(crashed), static_cast<int>(0xC0000005u));
}

TEST_F(RunnerChild, FloodsOnBothStreamsAreCapturedWholeAndInOrder) {
    useHere(
        {schtasksSwitch(L"FLOOD_STDOUT", L"1000000"), schtasksSwitch(L"FLOOD_STDERR", L"300001")});
    ProcessResult result = qsh::runSchtasks({L"/DELETE", L"/TN", L"Missing", L"/F"});
    ASSERT_TRUE(result.launched);
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitCode, 1u);
    EXPECT_EQ(bytesText(result.stdoutBytes), floodText(1000000));
    EXPECT_EQ(bytesText(result.stderrBytes),
              floodText(300001) + "ERROR: The system cannot find the file specified.\r\n");
}

TEST_F(RunnerChild, SilentChildLeavesBothBuffersEmpty) {
    ASSERT_EQ(qsh::runSchtasks(kCreateDefaultArgs).exitCode, 0u);
    useHere({schtasksSwitch(L"QUERY_SHAPE", L"empty"), schtasksSwitch(L"QUERY_ENCODING", L"utf8")});
    ProcessResult result = qsh::runSchtasks({L"/QUERY", L"/TN", L"Quillfen", L"/XML"});
    EXPECT_TRUE(result.launched);
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_TRUE(result.stdoutBytes.empty());
    EXPECT_TRUE(result.stderrBytes.empty());
}

TEST_F(RunnerChild, EveryHandleIsClosedOnEveryPath) {
    ASSERT_EQ(qsh::runSchtasks(kCreateDefaultArgs).exitCode, 0u); // warm-up
    std::size_t before = ownHandleCount();
    ASSERT_GT(before, 0u);
    qsh::runSchtasks(kCreateDefaultArgs);
    qsh::runSchtasks({L"/DELETE", L"/TN", L"Missing", L"/F"});
    useHere({schtasksSwitch(L"FLOOD_STDOUT", L"200000"), schtasksSwitch(L"EXIT_CODE", L"7")});
    qsh::runSchtasks({L"/QUERY", L"/TN", L"Quillfen", L"/XML"});
    std::size_t after = ownHandleCount();
    EXPECT_EQ(after, before);
}

// The child runs in the system folder and inherits its pipes and our standard input, made
// inheritable for it when ours is not, and nothing else (here: an inheritable event).
TEST_F(RunnerChild, ChildRunsInTheSystemFolderWithOnlyTheHandlesItIsGiven) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    const qsh::UniqueHandle probe(CreateEventW(&inherit, TRUE, TRUE, nullptr));
    ASSERT_TRUE(probe);
    useHere({schtasksSwitch(L"REPORT",
                            std::to_wstring(reinterpret_cast<std::uintptr_t>(probe.get())))});
    const std::string rest = "|handle=absent|SystemRoot=C:\\windows|windir=C:\\windows";
    const std::string cwd = "cwd=C:\\windows\\system32|stdin=";
    struct Row {
        const char* name;
        bool pipe;
        bool inheritable;
        HANDLE none;
        std::string out;
    };
    const Row rows[] = {
        {"inheritable pipe", true, true, nullptr, cwd + "typed" + rest},
        {"pipe we do not let inherit", true, false, nullptr, cwd + "typed" + rest},
        // Left out, not passed on; Wine then gives the child its own console (a character
        // device) to read from.
        {"no standard input", false, false, nullptr, cwd + "type 2" + rest},
        {"invalid standard input", false, false, INVALID_HANDLE_VALUE, cwd + "type 2" + rest},
    };
    const HANDLE saved = GetStdHandle(STD_INPUT_HANDLE);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        qsh::UniqueHandle read, write;
        ASSERT_TRUE(CreatePipe(read.put(), write.put(), nullptr, 0));
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(write.get(), "typed", 5, &written, nullptr));
        write.reset();
        SetHandleInformation(read.get(), HANDLE_FLAG_INHERIT, row.inheritable ? 1 : 0);
        SetStdHandle(STD_INPUT_HANDLE, row.pipe ? read.get() : row.none);
        const ProcessResult result = qsh::runSchtasks({});
        SetStdHandle(STD_INPUT_HANDLE, saved);

        EXPECT_TRUE(result.launched);
        EXPECT_EQ(result.exitCode, 0u);
        EXPECT_EQ(bytesText(result.stdoutBytes), row.out);
        DWORD flags = 0;
        ASSERT_TRUE(GetHandleInformation(read.get(), &flags));
        EXPECT_EQ((flags & HANDLE_FLAG_INHERIT) != 0, row.inheritable); // ours is left as it was
    }
}

// A child that has ended is read to the end of its pipes, but not for as long as a process it
// started holds them open: that one writes again only after the run is over, into a pipe that
// nobody reads any more.
TEST_F(RunnerChild, WriterThatOutlivesTheChildDoesNotHoldTheRun) {
    useHere({schtasksSwitch(L"LINGERING_WRITER", L"5000")});
    const ProcessResult result = qsh::runSchtasks({L"/DELETE", L"/TN", L"Missing", L"/F"});
    EXPECT_TRUE(result.launched);
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.exitCode, 1u);
    EXPECT_EQ(bytesText(result.stderrBytes),
              "ERROR: The system cannot find the file specified.\r\n");
    const std::string out = bytesText(result.stdoutBytes);
    std::smatch pid;
    ASSERT_TRUE(std::regex_match(out, pid, std::regex("grandchild pid=([0-9]+)\r\n"))) << out;
    const qsh::UniqueHandle grandchild(
        OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, std::stoul(pid[1])));
    ASSERT_TRUE(grandchild);
    ASSERT_EQ(WaitForSingleObject(grandchild.get(), 60000), WAIT_OBJECT_0);
    DWORD lateWrite = 0;
    ASSERT_TRUE(GetExitCodeProcess(grandchild.get(), &lateWrite));
    EXPECT_EQ(lateWrite, static_cast<DWORD>(ERROR_NO_DATA));
}

TEST_F(RunnerSlow, ChildPastTheLimitIsTerminatedWithTimeoutCode) {
    useHere(
        {schtasksSwitch(L"STDERR_TEXT", L"still working"), schtasksSwitch(L"DELAY_MS", L"180000")});
    ULONGLONG start = GetTickCount64();
    ProcessResult result = qsh::runSchtasks({L"/DELETE", L"/TN", L"Quillfen", L"/F"});
    ULONGLONG elapsed = GetTickCount64() - start;

    EXPECT_TRUE(result.launched);
    EXPECT_TRUE(result.timedOut);
    EXPECT_EQ(result.exitCode, 1460u);
    EXPECT_EQ(result.launchError, 0u);
    EXPECT_EQ(bytesText(result.stderrBytes), "still working");
    // The limit, with room for a loaded machine; not a speed figure.
    EXPECT_GE(elapsed, 60000u);
    EXPECT_LT(elapsed, 100000u);
    EXPECT_EQ(qsh::exitCodeFromProcessResult(result), 1460);
}

} // namespace
