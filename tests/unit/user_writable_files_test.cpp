// Which final paths an elevated helper accepts for its own files: where the local folder
// really leads, or a packaged process's private copy of it; nothing else. An open that meets an
// oplock is tried again, within its bound only.

#include <gtest/gtest.h>

#include <vector>

#include "base/caller_access.h"
#include "base/user_writable_files.h"
#include "sandbox.h"

namespace {

TEST(OwnFilePaths, OnlyTheNamedFileBelowARealRoot) {
    const std::wstring base = L"D:\\Profiles\\ana\\AppData\\Local";
    const auto plain = qsh::ownFileRoots(base, L"");
    const auto packaged = qsh::ownFileRoots(base, L"Quillfen_8wekyb3d8bbwe");
    ASSERT_EQ(packaged.size(), 2u);
    EXPECT_EQ(packaged[1], L"D:\\Profiles\\ana\\AppData\\Local\\Packages\\Quillfen_8wekyb3d8bbwe"
                           L"\\LocalCache\\Local");
    const std::wstring relative = L"Quillfen\\logs\\scheduler-helper.log";
    const struct {
        std::wstring actual;
        bool plain;
        bool packaged;
    } rows[] = {
        {L"D:\\Profiles\\ana\\AppData\\Local\\Quillfen\\logs\\scheduler-helper.log", true, true},
        // Names compare as the file system does.
        {L"d:\\PROFILES\\Ana\\appdata\\local\\quillfen\\LOGS\\Scheduler-Helper.log", true, true},
        {L"D:\\Profiles\\ana\\AppData\\Local\\Packages\\Quillfen_8wekyb3d8bbwe\\LocalCache\\Local"
         L"\\Quillfen\\logs\\scheduler-helper.log",
         false, true},
        // Another package's copy, or a link that leads anywhere else.
        {L"D:\\Profiles\\ana\\AppData\\Local\\Packages\\Other_1\\LocalCache\\Local\\Quillfen\\logs"
         L"\\scheduler-helper.log",
         false, false},
        {L"C:\\Windows\\System32\\scheduler-helper.log", false, false},
        {L"D:\\Profiles\\ana\\AppData\\Local\\Quillfen\\logs\\scheduler-helper.log.txt", false,
         false},
        {L"D:\\Profiles\\ana\\AppData\\Local\\Quillfen\\scheduler-helper.log", false, false},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(qsh::isOwnFinalPath(row.actual, plain, relative), row.plain) << row.actual;
        EXPECT_EQ(qsh::isOwnFinalPath(row.actual, packaged, relative), row.packaged) << row.actual;
    }
}

// What each mode of an open inside a held folder does with a name that is there, one that is
// not, and a name that is not one path component (Windows error codes, 0: opened).
TEST(OwnFilePaths, OpensInAHeldFolderByMode) {
    using qsh::OpenMode;
    const qsh::testing::TempDir dir;
    ASSERT_TRUE(qsh::testing::writeFile(dir / L"present.txt", "x"));
    ASSERT_TRUE(CreateDirectoryW((dir / L"sub").c_str(), nullptr));
    std::wstring error;
    const qsh::UniqueHandle folder = qsh::openOwnFolder(dir.path(), L"", error);
    ASSERT_TRUE(folder) << error;
    const struct {
        const wchar_t* name;
        OpenMode mode;
        DWORD error;
    } rows[] = {
        {L"present.txt", OpenMode::Existing, 0},
        {L"present.txt", OpenMode::OpenOrCreate, 0},
        {L"present.txt", OpenMode::CreateNew, ERROR_FILE_EXISTS},
        {L"missing.txt", OpenMode::Existing, ERROR_FILE_NOT_FOUND},
        {L"made.txt", OpenMode::CreateNew, 0},
        {L"made too.txt", OpenMode::OpenOrCreate, 0},
        {L"sub", OpenMode::Existing, ERROR_ACCESS_DENIED},
        {L"", OpenMode::OpenOrCreate, ERROR_INVALID_NAME},
        {L"..", OpenMode::OpenOrCreate, ERROR_INVALID_NAME},
        {L"sub\\inner.txt", OpenMode::OpenOrCreate, ERROR_INVALID_NAME},
        {L"../outer.txt", OpenMode::OpenOrCreate, ERROR_INVALID_NAME},
    };
    for (const auto& row : rows) {
        DWORD failed = 0;
        const qsh::UniqueHandle file =
            qsh::openInFolder(folder.get(), row.name, GENERIC_READ | DELETE,
                              FILE_SHARE_READ | FILE_SHARE_DELETE, row.mode, failed);
        EXPECT_EQ(file ? 0 : failed, row.error) << qsh::testing::toUtf8(row.name);
    }
    EXPECT_TRUE(qsh::testing::fileExists(dir / L"made too.txt"));
    EXPECT_FALSE(qsh::testing::fileExists(dir / L"sub\\inner.txt"));

    // A file removed through its own handle is gone once the handle is closed.
    DWORD failed = 0;
    qsh::UniqueHandle made = qsh::openInFolder(folder.get(), L"made.txt", DELETE, FILE_SHARE_READ,
                                               OpenMode::Existing, failed);
    ASSERT_TRUE(made) << failed;
    EXPECT_TRUE(qsh::deleteThroughHandle(made.get(), failed)) << failed;
    made.reset();
    EXPECT_FALSE(qsh::testing::fileExists(dir / L"made.txt"));
}

// Elevated files are opened as the asking user whatever the elevation type (User Account Control
// off gives type Default with full rights), and so are they when the elevation cannot be read.
TEST(CallerAccess, ElevatedOrUnknownOpensAsTheAskingUser) {
    EXPECT_TRUE(qsh::opensAsCaller(true));
    EXPECT_TRUE(qsh::opensAsCaller(std::nullopt));
    EXPECT_FALSE(qsh::opensAsCaller(false));
}

// A fake open answers from `errors` in turn (0: opened) and counts its calls. The deadline is
// one long past or one far ahead, so nothing here depends on the clock.
TEST(OplockRetry, NotNowIsTriedAgainWithinItsBoundOnly) {
    const ULONGLONG past = GetTickCount64() - 1;
    const ULONGLONG ahead = GetTickCount64() + 3600000;
    const DWORD oplock = qsh::kErrorOplockBreak;
    const struct {
        const char* name;
        ULONGLONG deadline;
        std::vector<DWORD> errors;
        std::size_t calls;
        bool opened;
        DWORD error;
    } rows[] = {
        {"not now twice, then opened", ahead, {oplock, oplock, 0}, 3, true, 0},
        {"not now at the deadline: given up", past, {oplock, 0}, 1, false, oplock},
        {"another error is not tried again",
         ahead,
         {ERROR_SHARING_VIOLATION, 0},
         1,
         false,
         ERROR_SHARING_VIOLATION},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        std::size_t calls = 0;
        DWORD error = 0;
        const qsh::UniqueHandle handle =
            qsh::retryWhileOplocked(row.deadline, 1, error, [&](DWORD& failed) {
                failed = row.errors[calls++];
                return qsh::UniqueHandle(failed == 0 ? CreateEventW(nullptr, TRUE, FALSE, nullptr)
                                                     : nullptr);
            });
        EXPECT_EQ(calls, row.calls);
        EXPECT_EQ(static_cast<bool>(handle), row.opened);
        EXPECT_EQ(error, row.error);
    }
}

} // namespace
