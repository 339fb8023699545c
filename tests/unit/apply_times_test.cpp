#include <gtest/gtest.h>

#include <cwctype>
#include <string>
#include <vector>

#include "tasks/apply_times.h"

namespace {

struct Parsed {
    bool ok = false;
    std::vector<std::wstring> list;
    std::wstring error;
};

Parsed parse(const std::wstring& times) {
    Parsed parsed;
    parsed.ok = qsh::parseDailyTimes(times, parsed.list, parsed.error);
    return parsed;
}

std::wstring invalid(const std::wstring& token) {
    return L"Invalid daily time '" + token + L"'; expected HH:mm:ss.";
}

TEST(ApplyTimesParse, KeepsTokensVerbatimInInputOrderWithDuplicates) {
    Parsed one = parse(L"07:30:00");
    ASSERT_TRUE(one.ok) << one.error;
    EXPECT_EQ(one.list, std::vector<std::wstring>{L"07:30:00"});

    Parsed three = parse(L"19:00:00,07:30:00,19:00:00");
    ASSERT_TRUE(three.ok) << three.error;
    EXPECT_EQ(three.list, (std::vector<std::wstring>{L"19:00:00", L"07:30:00", L"19:00:00"}));
}

TEST(ApplyTimesParse, RangeLimitsAreInclusive) {
    for (const wchar_t* good : {L"00:00:00", L"23:59:59", L"23:00:00", L"00:59:00", L"00:00:59"}) {
        Parsed parsed = parse(good);
        EXPECT_TRUE(parsed.ok) << parsed.error;
    }
    for (const wchar_t* bad : {L"24:00:00", L"12:60:00", L"12:00:60", L"99:99:99"}) {
        Parsed parsed = parse(bad);
        EXPECT_FALSE(parsed.ok) << bad;
        EXPECT_EQ(parsed.error, std::wstring(L"Daily time is outside the valid range: ") + bad);
    }
}

TEST(ApplyTimesParse, MalformedTokensNameTheToken) {
    for (const wchar_t* bad : {L"7:30:00", L"07:30", L"07-30-00", L"07:30:00 ", L" 07:30:00",
                               L"07:30:000", L"0a:30:00", L"07::30:00", L"07:3:000"}) {
        Parsed parsed = parse(bad);
        EXPECT_FALSE(parsed.ok) << bad;
        EXPECT_EQ(parsed.error, invalid(bad));
    }
    // An embedded NUL is part of the token, not its end.
    const std::wstring withNul(L"07:30:0\0", 8);
    EXPECT_EQ(parse(withNul).error, invalid(withNul));
}

TEST(ApplyTimesParse, ListShapesFailOnTheRightToken) {
    EXPECT_EQ(parse(L"07:30:00, 19:00:00").error, invalid(L" 19:00:00"));
    EXPECT_EQ(parse(L"07:30:00,").error, L"Invalid daily time ''; expected HH:mm:ss.");
    EXPECT_EQ(parse(L",07:30:00").error, invalid(L""));
    EXPECT_EQ(parse(L"07:30:00,,19:00:00").error, invalid(L""));
    EXPECT_EQ(parse(L"").error, invalid(L""));
    // The first bad token ends the check, even when a later one is bad in another way.
    EXPECT_EQ(parse(L"25:00:00,7:00").error, L"Daily time is outside the valid range: 25:00:00");
    EXPECT_EQ(parse(L"07:30:00,7:00,25:00:00").error, invalid(L"7:00"));
}

// Digits of other scripts may pass the C runtime's digit test but cannot be read as an
// hour; they are refused as malformed, never read as a number.
TEST(ApplyTimesParse, NonAsciiDigitsAreRefusedAsMalformed) {
    const std::vector<std::wstring> tokens = {
        L"\u0660\u0667:\u0663\u0660:\u0660\u0660", // Arabic-Indic 07:30:00
        L"\uFF10\uFF17:\uFF13\uFF10:\uFF10\uFF10", // full-width 07:30:00
        L"0\u00B2:30:00",                          // superscript two
        L"\u0969\u0966:00:00",                     // Devanagari 30, out of range if read
        L"07:30:0\U0001D7CE",                      // surrogate pair makes it 9 units
    };
    for (const std::wstring& token : tokens) {
        Parsed parsed = parse(token);
        EXPECT_FALSE(parsed.ok);
        EXPECT_EQ(parsed.error, invalid(token));
    }
    // Mixed into a list, the ASCII tokens before it are still accepted first.
    Parsed mixed = parse(L"07:30:00,\uFF10\uFF17:30:00");
    EXPECT_FALSE(mixed.ok);
    EXPECT_EQ(mixed.error, invalid(L"\uFF10\uFF17:30:00"));
}

} // namespace
