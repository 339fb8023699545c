#include <gtest/gtest.h>

#include <random>
#include <string>

#include "base/utf8.h"

namespace {

TEST(Utf8Convert, EncodesWithoutMark) {
    EXPECT_EQ(qsh::wideToUtf8(L""), "");
    EXPECT_TRUE(qsh::encodeUtf8(L"").empty());
    EXPECT_EQ(qsh::wideToUtf8(L"\u00e9"), "\xC3\xA9");
    EXPECT_EQ(qsh::wideToUtf8(L"\u4e2d"), "\xE4\xB8\xAD");
    EXPECT_EQ(qsh::wideToUtf8(L"\U0001F600"), "\xF0\x9F\x98\x80");
    EXPECT_EQ(qsh::wideToUtf8(std::wstring(L"a\0b", 3)), std::string("a\0b", 3));

    const qsh::Bytes bytes = qsh::encodeUtf8(L"line\r\n");
    ASSERT_EQ(bytes.size(), 6u);
    EXPECT_EQ(bytes[4], 0x0D);
    EXPECT_EQ(bytes[5], 0x0A);
}

TEST(Utf8Convert, LoneSurrogatesDoNotFailTheConversion) {
    const std::string lone = qsh::wideToUtf8(L"a\xD800z");
    ASSERT_GE(lone.size(), 3u);
    EXPECT_EQ(lone.front(), 'a');
    EXPECT_EQ(lone.back(), 'z');
    EXPECT_FALSE(qsh::wideToUtf8(L"\xDC00").empty());
}

TEST(Utf8Convert, PiecesGiveTheSameBytesAsOneConversion) {
    std::mt19937 random(11);
    const wchar_t units[] = {L'a', L'\u00e9', L'\u4e2d', 0xD83D, 0xDE00, 0xD800, 0xDC00, L'\0'};
    for (int round = 0; round < 2000; ++round) {
        std::wstring text;
        const std::size_t length = random() % 40;
        for (std::size_t i = 0; i < length; ++i) {
            text.push_back(units[random() % 8]);
        }
        const std::string whole = qsh::wideToUtf8(text);
        // Pieces of one unit could only split a pair, so the smallest real piece is two.
        for (std::size_t piece = 2; piece <= 7; ++piece) {
            ASSERT_EQ(qsh::wideToUtf8InPieces(text, piece), whole)
                << "piece " << piece << " round " << round;
        }
    }
}

TEST(LowerCopy, FoldsAsciiUnitByUnit) {
    EXPECT_EQ(qsh::lowerCopy(L"Query-To-File"), L"query-to-file");
    EXPECT_NE(qsh::lowerCopy(L"<TASK xmlns=\"x\">").find(L"<task"), std::wstring::npos);
    const std::wstring mixed = L"A\u00c9\u0130\xD800Z\u212A";
    EXPECT_EQ(qsh::lowerCopy(mixed).size(), mixed.size());
    EXPECT_EQ(qsh::lowerCopy(L""), L"");
    EXPECT_EQ(qsh::lowerCopy(L"@[`{"), L"@[`{");
}

} // namespace
