// Which final paths an elevated helper accepts for its own files: where the local folder
// really leads, or a packaged process's private copy of it; nothing else.

#include <gtest/gtest.h>

#include "diag/own_files.h"

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

} // namespace
