#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cwchar>
#include <filesystem>
#include <string>
#include <vector>

#include "diag/format.h"
#include "elevation/physical_path.h"
#include "helper_process.h"

namespace {

using qsh::queryFinalPath;
using qsh::resolvePhysicalPath;
using qsh::stripFinalPathPrefix;
using qsh::testing::TempDir;
namespace fs = std::filesystem;

TEST(PhysicalPathPrefix, StripsOnlyTheLongPathForms) {
    struct Case {
        const wchar_t* finalPath;
        const wchar_t* expected;
    };
    const Case cases[] = {
        {L"\\\\?\\C:\\data\\x.xml", L"C:\\data\\x.xml"},
        {L"\\\\?\\UNC\\server\\share\\x.xml", L"\\\\server\\share\\x.xml"},
        {L"\\\\?\\UNC\\", L"\\\\"},
        {L"\\\\?\\", L""},
        // Case-sensitive: a lower-case "unc" is only the short prefix plus a name.
        {L"\\\\?\\unc\\server\\x", L"unc\\server\\x"},
        {L"C:\\plain\\x.xml", L"C:\\plain\\x.xml"},
        {L"\\\\server\\share\\x", L"\\\\server\\share\\x"},
        {L"\\\\.\\C:\\x", L"\\\\.\\C:\\x"},
        {L"\\\\?", L"\\\\?"},
        {L"", L""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(stripFinalPathPrefix(c.finalPath), c.expected) << "input: " << c.finalPath;
    }
}

// Plays GetFinalPathNameByHandleW for a file whose name may change between calls.
struct FakeFinalPath {
    std::vector<std::wstring> names; // the name at each call; the last one repeats
    DWORD nameError = 0;             // set on a name query that does not fit
    bool shortWithoutCount = false;  // report a failure with 0 and no error instead of the size
    std::vector<DWORD> sizesGiven;
    std::size_t calls = 0;

    DWORD operator()(wchar_t* buffer, DWORD size) {
        const std::wstring& name = names[std::min(calls, names.size() - 1)];
        ++calls;
        sizesGiven.push_back(size);
        const DWORD needed = static_cast<DWORD>(name.size() + 1);
        if (buffer == nullptr || size < needed) {
            if (buffer != nullptr) {
                // Scribble over the whole buffer, as a careless system might.
                std::wmemset(buffer, L'#', size);
                if (nameError != 0) {
                    SetLastError(nameError);
                }
                if (shortWithoutCount) {
                    return 0;
                }
            }
            return needed;
        }
        std::wmemcpy(buffer, name.c_str(), needed);
        return needed - 1;
    }
};

TEST(PhysicalPathQuery, StableNameIsReadInTwoCalls) {
    FakeFinalPath fake{.names = {L"\\\\?\\C:\\a\\b.xml"}};
    std::wstring path;
    DWORD error = 0;
    ASSERT_TRUE(queryFinalPath(std::ref(fake), path, error));
    EXPECT_EQ(path, L"\\\\?\\C:\\a\\b.xml");
    EXPECT_EQ(fake.calls, 2u);
}

TEST(PhysicalPathQuery, NameThatGrewIsAskedAgainWithItsNewSize) {
    FakeFinalPath fake{.names = {L"\\\\?\\C:\\a.xml", L"\\\\?\\C:\\renamed\\longer\\a.xml"}};
    std::wstring path;
    DWORD error = 0;
    ASSERT_TRUE(queryFinalPath(std::ref(fake), path, error));
    EXPECT_EQ(path, L"\\\\?\\C:\\renamed\\longer\\a.xml");
    EXPECT_EQ(path.find(L'#'), std::wstring::npos);
}

TEST(PhysicalPathQuery, ZeroWithoutErrorQueriesTheSizeAgain) {
    FakeFinalPath fake{.names = {L"C:\\a", L"C:\\much\\longer\\name"}, .shortWithoutCount = true};
    std::wstring path;
    DWORD error = 0;
    ASSERT_TRUE(queryFinalPath(std::ref(fake), path, error));
    EXPECT_EQ(path, L"C:\\much\\longer\\name");
}

TEST(PhysicalPathQuery, NameThatKeepsGrowingFailsAfterAFewTries) {
    std::vector<std::wstring> names;
    for (int i = 1; i < 20; ++i) {
        names.push_back(L"C:\\" + std::wstring(static_cast<std::size_t>(i) * 10, L'n'));
    }
    FakeFinalPath fake{.names = names};
    std::wstring path = L"untouched";
    DWORD error = 0;
    EXPECT_FALSE(queryFinalPath(std::ref(fake), path, error));
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(path, L"untouched");
    EXPECT_LE(fake.calls, 5u);
}

TEST(PhysicalPathQuery, ErrorOfTheNameQueryIsReported) {
    FakeFinalPath fake{.names = {L"C:\\a", L"C:\\longer\\a"}, .nameError = ERROR_ACCESS_DENIED};
    std::wstring path;
    DWORD error = 0;
    EXPECT_FALSE(queryFinalPath(std::ref(fake), path, error));
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST(PhysicalPathQuery, StaleLastErrorDoesNotFailASuccessfulQuery) {
    FakeFinalPath fake{.names = {L"C:\\a"}};
    SetLastError(ERROR_FILE_NOT_FOUND);
    std::wstring path;
    DWORD error = 0;
    EXPECT_TRUE(queryFinalPath(std::ref(fake), path, error));
}

TEST(PhysicalPathQuery, FailedSizeQueryReportsItsError) {
    auto failing = [](wchar_t*, DWORD) -> DWORD {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    };
    std::wstring path;
    DWORD error = 0;
    EXPECT_FALSE(queryFinalPath(failing, path, error));
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

bool createFile(const std::wstring& path) {
    return qsh::testing::writeFile(path, "x");
}

TEST(PhysicalPathResolve, FileUnderDriveLetterHasNoLongPathPrefix) {
    TempDir dir;
    ASSERT_TRUE(CreateDirectoryW((dir / L"sub").c_str(), nullptr));
    const std::wstring file = dir / L"target.xml";
    ASSERT_TRUE(createFile(file));

    fs::path physical;
    std::wstring error = L"untouched";
    // The detour through "sub\.." must be gone from the final path.
    ASSERT_TRUE(resolvePhysicalPath(dir / L"sub\\..\\target.xml", physical, error));
    EXPECT_EQ(error, L"untouched");
    EXPECT_EQ(_wcsicmp(physical.c_str(), file.c_str()), 0) << physical.wstring();
    EXPECT_NE(physical.wstring().rfind(L"\\\\?\\", 0), 0u);
    EXPECT_EQ(physical.wstring()[1], L':');
}

TEST(PhysicalPathResolve, FileUnderUnixRootDriveResolves) {
    // The test executable lives under Z:, the drive Wine gives the Linux root.
    const std::wstring exe = qsh::testing::moduleDirectory() + L"unit_tests.exe";
    fs::path physical;
    std::wstring error;
    ASSERT_TRUE(resolvePhysicalPath(exe, physical, error)) << error;
    EXPECT_EQ(_wcsicmp(physical.c_str(), exe.c_str()), 0) << physical.wstring();
}

TEST(PhysicalPathResolve, MissingFileAndFolderFailAndLeaveThePathAlone) {
    TempDir dir;
    const fs::path sentinel = L"C:\\sentinel";

    fs::path physical = sentinel;
    std::wstring error;
    EXPECT_FALSE(resolvePhysicalPath(dir / L"missing.xml", physical, error));
    EXPECT_EQ(physical, sentinel);
    EXPECT_EQ(error, qsh::formatWindowsError(ERROR_FILE_NOT_FOUND));

    error.clear();
    EXPECT_FALSE(resolvePhysicalPath(dir / L"no-folder\\missing.xml", physical, error));
    EXPECT_EQ(physical, sentinel);
    EXPECT_EQ(error, qsh::formatWindowsError(ERROR_PATH_NOT_FOUND));

    error = L"before";
    EXPECT_FALSE(resolvePhysicalPath(dir.path(), physical, error));
    EXPECT_EQ(physical, sentinel);
    EXPECT_NE(error, L"before");
}

TEST(PhysicalPathResolve, FileOpenWithoutSharingStillResolves) {
    TempDir dir;
    const std::wstring file = dir / L"busy.xml";
    ASSERT_TRUE(createFile(file));
    HANDLE held = CreateFileW(file.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    fs::path physical;
    std::wstring error;
    const bool resolved = resolvePhysicalPath(file, physical, error);
    CloseHandle(held);
    EXPECT_TRUE(resolved) << error;
}

} // namespace
