#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "base/windows_error.h"
#include "diag/format.h"
#include "sandbox.h"

namespace {

TEST(FormatError, SystemMessagesLoseTheirLineEnd) {
    EXPECT_EQ(qsh::formatWindowsError(0), L"No error");

    const std::wstring notFound = qsh::formatWindowsError(ERROR_FILE_NOT_FOUND);
    ASSERT_FALSE(notFound.empty());
    EXPECT_EQ(notFound.rfind(L"Windows error", 0), std::wstring::npos);
    const wchar_t last = notFound.back();
    EXPECT_TRUE(last != L'\r' && last != L'\n' && last != L' ') << notFound;
    EXPECT_EQ(notFound.find(L'\n'), std::wstring::npos);
}

TEST(FormatError, UnknownCodesAreShownInDecimal) {
    EXPECT_EQ(qsh::formatWindowsError(54321), L"Windows error 54321");
    EXPECT_EQ(qsh::formatWindowsError(0xFFFFFFFF), L"Windows error 4294967295");
}

TEST(FormatError, HresultsAsUnsignedHex) {
    EXPECT_EQ(qsh::formatHresult(0), L"HRESULT 0x00000000 (No error)");
    // The system's text for E_ACCESSDENIED, in the form the Task Scheduler failures are logged.
    EXPECT_EQ(qsh::formatHresult(static_cast<std::int32_t>(0x80070005)),
              L"HRESULT 0x80070005 (Access denied.)");
    EXPECT_EQ(qsh::formatHresult(0x2ABC), L"HRESULT 0x00002ABC (Windows error 10940)");
    EXPECT_EQ(qsh::formatHresult(static_cast<std::int32_t>(0x8004FFFF)),
              L"HRESULT 0x8004FFFF (Windows error 2147811327)");
}

TEST(FormatData, HexPrefix) {
    EXPECT_EQ(qsh::hexPrefix({}, 24), L"");
    EXPECT_EQ(qsh::hexPrefix({0xFF, 0xFE, 0x3C}, 24), L"FF FE 3C");
    EXPECT_EQ(qsh::hexPrefix({0x05, 0x00, 0xAB}, 2), L"05 00");
    EXPECT_EQ(qsh::hexPrefix({0x05}, 0), L"");
    const std::wstring longest = qsh::hexPrefix(qsh::Bytes(100, 0x3C), 24);
    EXPECT_EQ(longest.size(), 71u);
    EXPECT_EQ(longest.substr(66), L"3C 3C");
}

TEST(FormatData, PreviewTextIsOneLine) {
    EXPECT_EQ(qsh::previewText(L"a\tb\r\nc", 240), L"a b  c");
    EXPECT_EQ(qsh::previewText(std::wstring(L"v\vf\f\0n", 6), 240), std::wstring(L"v\vf\f\0n", 6));
    EXPECT_EQ(qsh::previewText(L"", 240), L"");
    EXPECT_EQ(qsh::previewText(L"abc", 0), L"");
    EXPECT_EQ(qsh::previewText(L"abc", UINT64_MAX), L"abc");

    std::wstring lines;
    for (int i = 0; i < 100; ++i) {
        lines += L"line " + std::to_wstring(i) + L"\r\n";
    }
    const std::wstring preview = qsh::previewText(lines, 240);
    EXPECT_EQ(preview.size(), 240u);
    EXPECT_EQ(preview.find_first_of(L"\r\n\t"), std::wstring::npos);
    // The limit counts units, so a pair may be cut in half.
    EXPECT_EQ(qsh::previewText(L"x\U0001F600", 2), L"x\xD83D");
}

} // namespace
