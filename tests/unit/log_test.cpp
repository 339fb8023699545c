#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <regex>
#include <string>
#include <thread>

#include "base/unique_resource.h"
#include "diag/log.h"
#include "sandbox.h"

namespace {

using namespace qsh::testing;

// Each test gets its own LOCALAPPDATA; TMP and TEMP are put back afterwards.
class LogFile : public SandboxTest {
  protected:
    void SetUp() override { useHere(); }

    std::string logContent() const { return readFile(logPath()).value_or("<none>"); }
    void useTempFolder(const std::wstring& folder) {
        SetEnvironmentVariableW(L"TMP", folder.c_str());
        SetEnvironmentVariableW(L"TEMP", folder.c_str());
    }
    ScopedEnv tmp{L"TMP"};
    ScopedEnv temp{L"TEMP"};
};

TEST_F(LogFile, LinesHaveStampPidMessageAndCrLf) {
    qsh::logMessage(L"Elevated token: yes");
    qsh::logMessage(L"second");
    const std::string stamp = "\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}\\.\\d{3} \\[pid=" +
                              std::to_string(GetCurrentProcessId()) + "\\] ";
    const std::string content = logContent();
    EXPECT_TRUE(std::regex_match(
        content, std::regex(stamp + "Elevated token: yes\r\n" + stamp + "second\r\n")))
        << content;
}

TEST_F(LogFile, MessagesAreWrittenInUtf8OnOneLine) {
    qsh::logMessage(L"Path C:\\Users\\Jos\u00e9\\\u00fcber\\\u4e2d");
    // Every unit that could end or break a line becomes "?"; a tab stays.
    qsh::logMessage(L"first\r\nsecond\ta\1b\177c\205d\u2028e\u2029f");
    // So does every unit that makes a line show something else: C1 and bidirectional controls.
    qsh::logMessage(
        L"c1\u0080\u0086\u009F bidi\u202A\u202E\u2066\u2069 kept\u00A0\u2029\u202F\u206A");
    qsh::logMessage(L"");
    const std::string content = logContent();
    const std::string prefix = " [pid=" + std::to_string(GetCurrentProcessId()) + "] ";
    EXPECT_NE(content.find(prefix + "Path C:\\Users\\Jos\xC3\xA9\\\xC3\xBC"
                                    "ber\\\xE4\xB8\xAD\r\n"),
              std::string::npos);
    EXPECT_NE(content.find(prefix + "first??second\ta?b?c?d?e?f\r\n"), std::string::npos);
    EXPECT_NE(content.find(prefix + "c1??? bidi???? kept\xC2\xA0?\xE2\x80\xAF\xE2\x81\xAA\r\n"),
              std::string::npos);
    ASSERT_GE(content.size(), prefix.size() + 2);
    EXPECT_EQ(content.substr(content.size() - prefix.size() - 2), prefix + "\r\n");
    EXPECT_NE(content.substr(0, 3), "\xEF\xBB\xBF");
}

TEST_F(LogFile, FallsBackToTheTemporaryFolder) {
    useTempFolder(files.path() + L"\\");
    const std::wstring tempLog = files / L"Quillfen\\logs\\scheduler-helper.log";
    for (const wchar_t* value : {static_cast<const wchar_t*>(nullptr), L""}) {
        SetEnvironmentVariableW(L"LOCALAPPDATA", value);
        EXPECT_EQ(qsh::getLocalAppDataPath().wstring(), files.path() + L"\\");
        qsh::logMessage(L"to temp");
    }
    const std::string content = readFile(tempLog).value_or("");
    EXPECT_EQ(std::count(content.begin(), content.end(), '\n'), 2) << content;
    EXPECT_FALSE(fileExists(logPath()));
}

TEST_F(LogFile, FallsBackToTheCurrentFolderWithoutTemporaryFolder) {
    SetEnvironmentVariableW(L"LOCALAPPDATA", nullptr);
    useTempFolder(L"C:\\" + std::wstring(300, L't'));

    wchar_t previous[MAX_PATH + 1] = {};
    GetCurrentDirectoryW(MAX_PATH, previous);
    ASSERT_TRUE(SetCurrentDirectoryW(localAppData().c_str()));
    // Made absolute, as every path handed to schtasks.exe (which runs elsewhere) must be.
    EXPECT_EQ(qsh::getLocalAppDataPath().wstring(), localAppData());
    SetEnvironmentVariableW(L"LOCALAPPDATA", L"rel\\dir");
    EXPECT_EQ(qsh::getLocalAppDataPath().wstring(), localAppData() + L"\\rel\\dir");
    SetEnvironmentVariableW(L"LOCALAPPDATA", nullptr);
    qsh::logMessage(L"to current folder");
    SetCurrentDirectoryW(previous);
    EXPECT_NE(logContent().find("] to current folder\r\n"), std::string::npos);
}

TEST_F(LogFile, DeletedFileIsCreatedAgain) {
    qsh::logMessage(L"before");
    ASSERT_TRUE(DeleteFileW(logPath().c_str()));
    qsh::logMessage(L"after");
    const auto entries = readLog(localAppData());
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].message, "after");
}

TEST_F(LogFile, FolderThatCannotBeCreatedLosesTheLineQuietly) {
    const std::wstring blocker = files / L"plain-file";
    ASSERT_TRUE(writeFile(blocker, "x"));
    SetEnvironmentVariableW(L"LOCALAPPDATA", blocker.c_str());
    qsh::logMessage(L"lost");
    EXPECT_EQ(readFile(blocker), "x");
    EXPECT_FALSE(fileExists(logPath()));
}

// Milliseconds from `before` to a line's stamp, both local times.
long long msUntilStamp(const SYSTEMTIME& before, const std::string& stamp) {
    unsigned parts[7] = {};
    if (std::sscanf(stamp.c_str(), "%u-%u-%u %u:%u:%u.%u", &parts[0], &parts[1], &parts[2],
                    &parts[3], &parts[4], &parts[5], &parts[6]) != 7) {
        return -1;
    }
    const SYSTEMTIME at = {
        static_cast<WORD>(parts[0]), static_cast<WORD>(parts[1]), 0,
        static_cast<WORD>(parts[2]), static_cast<WORD>(parts[3]), static_cast<WORD>(parts[4]),
        static_cast<WORD>(parts[5]), static_cast<WORD>(parts[6])};
    ULARGE_INTEGER from{}, to{};
    FILETIME file{};
    SystemTimeToFileTime(&before, &file);
    from = {{file.dwLowDateTime, file.dwHighDateTime}};
    SystemTimeToFileTime(&at, &file);
    to = {{file.dwLowDateTime, file.dwHighDateTime}};
    return (static_cast<long long>(to.QuadPart) - static_cast<long long>(from.QuadPart)) / 10000;
}

TEST_F(LogFile, GuardHeldTooLongDelaysTheLineByItsBoundOnly) {
    qsh::logMessage(L"one");
    // Another holder of the guard byte that does not let go: locks belong to an open, so a
    // second open here stands for another process.
    const qsh::UniqueHandle other(
        CreateFileW(logPath().c_str(), GENERIC_READ | GENERIC_WRITE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    0, nullptr));
    OVERLAPPED guard{};
    guard.OffsetHigh = 0x40000000;
    ASSERT_TRUE(LockFileEx(other.get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1,
                           0, &guard));
    SYSTEMTIME before{};
    GetLocalTime(&before);
    const qsh::UniqueHandle written(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::thread writer([&written] {
        qsh::logMessage(L"two");
        SetEvent(written.get());
    });
    const bool ended = WaitForSingleObject(written.get(), 10000) == WAIT_OBJECT_0;
    // Lets a logger that ignores its bound finish, so that this test fails rather than hangs.
    UnlockFileEx(other.get(), 0, 1, 0, &guard);
    writer.join();
    ASSERT_TRUE(ended) << "the line waited for the guard far past its 2 s bound";
    const auto entries = readLog(localAppData());
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[1].message, "two");
    // Stamped once the wait for the guard is over, not before it.
    EXPECT_GE(msUntilStamp(before, entries[1].stamp), 1900) << entries[1].stamp;
}

TEST_F(LogFile, FileIsSharedAndNotKeptOpen) {
    qsh::logMessage(L"one");
    // A reader that shares everything does not stop the next line.
    HANDLE reader = CreateFileW(logPath().c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    qsh::logMessage(L"two");
    CloseHandle(reader);
    // Nothing of the logger's stays open between lines (this handle closes at once).
    EXPECT_TRUE(
        qsh::UniqueHandle(CreateFileW(logPath().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)));
    const auto entries = readLog(localAppData());
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[1].message, "two");
}

} // namespace
