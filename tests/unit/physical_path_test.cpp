#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cwchar>
#include <filesystem>
#include <string>
#include <vector>

#include "base/unique_resource.h"
#include "elevation/physical_path.h"
#include "sandbox.h"

namespace {

using qsh::queryFinalPath;
using qsh::resolvePhysicalPath;
using qsh::stripFinalPathPrefix;
using namespace qsh::testing;
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
    bool shortWithoutCount = false;  // a name query that does not fit gives 0 instead of the size
    DWORD sizeError = 0;             // every query fails with this
    std::size_t calls = 0;

    DWORD operator()(wchar_t* buffer, DWORD size) {
        if (sizeError != 0) {
            SetLastError(sizeError);
            return 0;
        }
        const std::wstring& name = names[std::min(calls, names.size() - 1)];
        ++calls;
        const DWORD needed = static_cast<DWORD>(name.size() + 1);
        if (buffer != nullptr && size >= needed) {
            std::wmemcpy(buffer, name.c_str(), needed);
            return needed - 1;
        }
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
};

std::vector<std::wstring> growingNames() {
    std::vector<std::wstring> names;
    for (std::size_t i = 1; i < 20; ++i) {
        names.push_back(L"C:\\" + std::wstring(i * 10, L'n'));
    }
    return names;
}

TEST(PhysicalPathQuery, NameChangingBetweenTheQueriesIsNeverReadPastTheBuffer) {
    struct Case {
        const char* what;
        FakeFinalPath fake;
        DWORD error;          // 0: the query succeeds
        std::wstring path;    // expected on success
        std::size_t maxCalls; // bound on the calls made
    };
    Case cases[] = {
        {"stable", {.names = {L"\\\\?\\C:\\a\\b.xml"}}, 0, L"\\\\?\\C:\\a\\b.xml", 2},
        {"grew once: asked again with the size reported",
         {.names = {L"C:\\a.xml", L"C:\\renamed\\longer\\a.xml"}},
         0,
         L"C:\\renamed\\longer\\a.xml",
         3},
        {"0 without an error: the size is asked again",
         {.names = {L"C:\\a", L"C:\\much\\longer\\name"}, .shortWithoutCount = true},
         0,
         L"C:\\much\\longer\\name",
         4},
        {"keeps growing: gives up", {.names = growingNames()}, ERROR_INSUFFICIENT_BUFFER, L"", 5},
        {"name query with an error code",
         {.names = {L"C:\\a", L"C:\\longer\\a"}, .nameError = ERROR_ACCESS_DENIED},
         ERROR_ACCESS_DENIED,
         L"",
         2},
        {"size query fails",
         {.names = {L"C:\\a"}, .sizeError = ERROR_INVALID_HANDLE},
         ERROR_INVALID_HANDLE,
         L"",
         1},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.what);
        // A stale code from an earlier call must not be taken for this query's failure.
        SetLastError(ERROR_FILE_NOT_FOUND);
        std::wstring path = L"untouched";
        DWORD error = 0;
        const bool found = queryFinalPath(std::ref(c.fake), path, error);
        EXPECT_EQ(found, c.error == 0);
        if (found) {
            EXPECT_EQ(path, c.path);
        } else {
            EXPECT_EQ(error, c.error);
            EXPECT_EQ(path, L"untouched");
        }
        EXPECT_LE(c.fake.calls, c.maxCalls);
    }
}

TEST(PhysicalPathResolve, FileUnderDriveLetterHasNoLongPathPrefix) {
    TempDir dir;
    ASSERT_TRUE(CreateDirectoryW((dir / L"sub").c_str(), nullptr));
    const std::wstring file = dir / L"target.xml";
    ASSERT_TRUE(writeFile(file, "x"));

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
    const std::wstring exe = moduleDirectory() + L"unit_tests.exe";
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
    EXPECT_EQ(error, fromUtf8(systemText(ERROR_FILE_NOT_FOUND)));

    error.clear();
    EXPECT_FALSE(resolvePhysicalPath(dir / L"no-folder\\missing.xml", physical, error));
    EXPECT_EQ(physical, sentinel);
    EXPECT_EQ(error, fromUtf8(systemText(ERROR_PATH_NOT_FOUND)));

    error = L"before";
    EXPECT_FALSE(resolvePhysicalPath(dir.path(), physical, error));
    EXPECT_EQ(physical, sentinel);
    EXPECT_NE(error, L"before");
}

TEST(PhysicalPathResolve, FileOpenWithoutSharingStillResolves) {
    TempDir dir;
    const std::wstring file = dir / L"busy.xml";
    ASSERT_TRUE(writeFile(file, "x"));
    const qsh::UniqueHandle held(CreateFileW(file.c_str(), GENERIC_READ | GENERIC_WRITE,
                                             FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                             FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(held);
    fs::path physical;
    std::wstring error;
    EXPECT_TRUE(resolvePhysicalPath(file, physical, error)) << error;
}

} // namespace
