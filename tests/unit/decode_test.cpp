#include <gtest/gtest.h>

#include <windows.h>

#include <optional>
#include <random>
#include <set>
#include <string>

#include "encoding.h"
#include "text/decode.h"

namespace {

using qsh::Bytes;

// The OEM code page of a default Wine prefix (and of US Windows).
const std::wstring kOemLabel = L"Windows code page 437";

// `length` bytes of 'x' with `count` zeros at first, first + 2, ...; then the given tail.
Bytes zerosAt(std::size_t length, std::size_t first, std::size_t count, const Bytes& tail = {}) {
    Bytes bytes(length, 'x');
    for (std::size_t i = 0; i < count; ++i) {
        bytes[first + 2 * i] = 0;
    }
    bytes.insert(bytes.end(), tail.begin(), tail.end());
    return bytes;
}

TEST(DecodeBytes, LabelsAndTexts) {
    struct Case {
        const char* name;
        Bytes bytes;
        std::wstring encoding;
        std::optional<std::wstring> text;
    };
    const std::wstring le = L"UTF-16 LE heuristic";
    const std::wstring be = L"UTF-16 BE heuristic";
    const std::wstring utf8 = L"UTF-8/ASCII";
    const Case cases[] = {
        {"empty", {}, L"empty", L""},
        {"single zero", {0x00}, be, L""},
        {"single letter", {0x41}, utf8, L"A"},
        {"LE mark alone", {0xFF, 0xFE}, L"UTF-16 LE BOM", L""},
        {"LE mark, odd byte dropped", {0xFF, 0xFE, 0x41, 0x00, 0x42}, L"UTF-16 LE BOM", L"A"},
        {"LE mark, trailing NULs", {0xFF, 0xFE, 0x41, 0, 0, 0, 0, 0}, L"UTF-16 LE BOM", L"A"},
        {"BE mark", {0xFE, 0xFF, 0x00, 0x41, 0xD8, 0x00}, L"UTF-16 BE BOM", L"A\xD800"},
        {"UTF-8 mark alone", {0xEF, 0xBB, 0xBF}, L"UTF-8 BOM", L""},
        {"UTF-8 mark", {0xEF, 0xBB, 0xBF, 0x43, 0xC3, 0xA9}, L"UTF-8 BOM", L"C\u00e9"},
        {"two mark bytes only", {0xEF, 0xBB}, kOemLabel, std::nullopt},
        {"EF without the mark", {0xEF, 0x41, 0x42}, kOemLabel, std::nullopt},
        // Latin-1 "café" read in code page 437, where E9 is the capital theta.
        {"Latin-1", {0x63, 0x61, 0x66, 0xE9}, kOemLabel, L"caf\u0398"},
        {"LE heuristic", {0x41, 0x00, 0x42, 0x00}, le, L"AB"},
        {"BE heuristic", {0x00, 0x41, 0x00, 0x42}, be, L"AB"},
        {"one odd zero", {0x61, 0x62, 0x63, 0x00}, le, L"\x6261\x0063"},
        {"UTF-8 without mark", {0x63, 0x61, 0x66, 0xC3, 0xA9}, utf8, L"caf\u00e9"},
        {"inner NUL kept", zerosAt(17, 8, 1, {0, 0}), utf8,
         std::wstring(L"xxxxxxxx\0xxxxxxxx", 17)},
        // Threshold n / 8: 0 below 8 bytes, 2 for 16, 32 from 256 on.
        {"7 bytes, 1 odd zero", zerosAt(7, 3, 1), le, std::nullopt},
        {"7 bytes, 1 even zero", zerosAt(7, 6, 1), be, std::nullopt},
        {"8 bytes, 1 odd zero", zerosAt(8, 3, 1), utf8, std::nullopt},
        {"16 bytes, 2 odd zeros", zerosAt(16, 1, 2), utf8, std::nullopt},
        {"16 bytes, 3 odd zeros", zerosAt(16, 1, 3), le, std::nullopt},
        {"16 bytes, 2 even zeros", zerosAt(16, 0, 2), utf8, std::nullopt},
        {"16 bytes, 3 even zeros", zerosAt(16, 0, 3), be, std::nullopt},
        {"256 bytes, 32 odd zeros", zerosAt(256, 1, 32), utf8, std::nullopt},
        {"256 bytes, 33 odd zeros", zerosAt(256, 1, 33), le, std::nullopt},
        {"4000 bytes, 32 odd zeros", zerosAt(4000, 1, 32), utf8, std::nullopt},
        {"4000 bytes, 33 odd zeros", zerosAt(4000, 1, 33), le, std::nullopt},
        {"UTF-16 after an ASCII window", zerosAt(256, 0, 0, {'<', 0, 'T', 0, '/', 0, '>', 0}), utf8,
         std::wstring(256, L'x') + std::wstring(L"<\0T\0/\0>", 7)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const qsh::DecodedText decoded = qsh::decodeBytes(c.bytes);
        EXPECT_EQ(decoded.encoding, c.encoding);
        if (c.text) {
            EXPECT_EQ(decoded.text, *c.text);
        }
    }
}

TEST(DecodeBytes, ParityRuleAndWindow) {
    Bytes bytes = zerosAt(64, 1, 10); // threshold 8
    for (std::size_t i = 0; i < 5; ++i) {
        bytes[40 + 2 * i] = 0;
    }
    EXPECT_EQ(qsh::decodeBytes(bytes).encoding, L"UTF-8/ASCII"); // 10 is not more than 2 x 5
    bytes[48] = 'x';
    EXPECT_EQ(qsh::decodeBytes(bytes).encoding, L"UTF-16 LE heuristic");

    // The window is 256 bytes: 32 zeros at even bytes are the threshold, not above it, and a
    // zero at byte 256 does not count.
    Bytes edge = zerosAt(300, 2, 32);
    edge[256] = 0;
    EXPECT_EQ(qsh::decodeBytes(edge).encoding, L"UTF-8/ASCII");
    edge[200] = 0; // one more inside tips it
    EXPECT_EQ(qsh::decodeBytes(edge).encoding, L"UTF-16 BE heuristic");

    // Zeros from byte 256 on do not count; inner ones stay, trailing ones go.
    const qsh::DecodedText late = qsh::decodeBytes(zerosAt(1000, 257, 300, {0}));
    EXPECT_EQ(late.text.size(), 1000u);
    EXPECT_EQ(late.text[257], L'\0');
}

TEST(DecodeBytes, MarkWithIllFormedUtf8IsDecodedLeniently) {
    const qsh::DecodedText decoded = qsh::decodeBytes({0xEF, 0xBB, 0xBF, 0x41, 0xFF, 0x42});
    EXPECT_EQ(decoded.encoding, L"UTF-8 BOM");
    ASSERT_GE(decoded.text.size(), 3u);
    EXPECT_EQ(decoded.text.front(), L'A');
    EXPECT_EQ(decoded.text.back(), L'B');
}

Bytes encodeIn(UINT page, const std::wstring& text) {
    const std::string bytes = qsh::testing::codePage(text, page);
    return Bytes(bytes.begin(), bytes.end());
}

// Buffers of 2 GiB or more go through the converter in pieces; small pieces show the cuts.
TEST(DecodeMultiByte, PiecesNeverSplitACharacter) {
    const std::wstring sample = L"a\u00e9\u4e2d\U0001F600b\u00fc\u6587\U0001F680z";
    const Bytes utf8 = encodeIn(CP_UTF8, sample);
    Bytes broken = utf8;
    broken.insert(broken.begin() + 5, 0x80);
    const Bytes truncated(utf8.begin(), utf8.end() - 2);
    const std::wstring japanese = L"a\u3042\u30ab\u6f22b\u5b57c";
    const Bytes shiftJis = encodeIn(932, japanese);
    for (std::size_t piece = 4; piece <= 9; ++piece) {
        SCOPED_TRACE(piece);
        EXPECT_EQ(qsh::decodeMultiByteInPieces(utf8, 0, CP_UTF8, MB_ERR_INVALID_CHARS, piece),
                  sample);
        EXPECT_EQ(qsh::decodeMultiByteInPieces(utf8, 1, CP_UTF8, 0, piece), sample.substr(1));
        // Ill-formed stays ill-formed however it is cut.
        EXPECT_EQ(qsh::decodeMultiByteInPieces(broken, 0, CP_UTF8, MB_ERR_INVALID_CHARS, piece),
                  L"");
        EXPECT_EQ(qsh::decodeMultiByteInPieces(truncated, 0, CP_UTF8, MB_ERR_INVALID_CHARS, piece),
                  L"");
        EXPECT_EQ(qsh::decodeMultiByteInPieces(shiftJis, 0, 932, 0, piece - 2), japanese);
    }
}

// Random and damaged buffers of every shape the helper may be handed.
Bytes randomBuffer(std::mt19937& random) {
    static const char* const kUtf8[] = {"<Task>", "\xC3\xA9", "\xE4\xB8\xAD", "\xF0\x9F\x98\x80",
                                        "\xC3",   "\x80",     "\xED\xA0\x80", "\xFF"};
    static const std::uint16_t kUnits[] = {0x41, 0x3C, 0x00, 0xE9, 0xD800, 0xDC00, 0xFFFF, 0xFEFF};
    const std::size_t length = random() % 600;
    const unsigned kind = random() % 6;
    const bool little = random() % 2 == 0;
    Bytes bytes;
    if (kind == 2 && random() % 2 == 0) {
        bytes = little ? Bytes{0xFF, 0xFE} : Bytes{0xFE, 0xFF};
    } else if (kind == 3 && random() % 2 == 0) {
        bytes = {0xEF, 0xBB, 0xBF};
    }
    while (bytes.size() < length) {
        switch (kind) {
        case 0: // noise
            bytes.push_back(static_cast<std::uint8_t>(random()));
            break;
        case 1: // all zeros
            bytes.push_back(0);
            break;
        case 2: { // UTF-16 of either order with lone surrogates
            const std::uint16_t unit = kUnits[random() % 8];
            bytes.push_back(static_cast<std::uint8_t>(little ? unit : unit >> 8));
            bytes.push_back(static_cast<std::uint8_t>(little ? unit >> 8 : unit));
            break;
        }
        case 3: // UTF-8, broken sometimes
            for (const char* p = kUtf8[random() % 8]; *p != 0; ++p) {
                bytes.push_back(static_cast<std::uint8_t>(*p));
            }
            break;
        default: // ASCII with zeros sprinkled in
            bytes.push_back(random() % 16 == 0 ? 0 : 'a');
            break;
        }
    }
    bytes.resize(length); // truncated anywhere, odd lengths included
    return bytes;
}

TEST(DecodeRobustness, RandomAndTruncatedBuffersAlwaysDecode) {
    const std::set<std::wstring> labels = {
        L"empty",       L"UTF-8 BOM",           L"UTF-16 LE BOM",       L"UTF-16 BE BOM",
        L"UTF-8/ASCII", L"UTF-16 LE heuristic", L"UTF-16 BE heuristic", kOemLabel,
    };
    std::mt19937 random(7);
    std::set<std::wstring> seen;
    int failures = 0;
    for (int i = 0; i < 50000 && failures < 5; ++i) {
        const Bytes bytes = randomBuffer(random);
        const qsh::DecodedText decoded = qsh::decodeBytes(bytes);
        seen.insert(decoded.encoding);
        // No decoder makes more than one unit per byte.
        if (labels.count(decoded.encoding) == 0 ||
            (!decoded.text.empty() && decoded.text.back() == L'\0') ||
            decoded.text.size() > bytes.size()) {
            ++failures;
            ADD_FAILURE() << "buffer " << i << " of " << bytes.size()
                          << " bytes: " << ::testing::PrintToString(decoded.encoding) << ", "
                          << decoded.text.size() << " units";
        }
    }
    EXPECT_EQ(seen, labels); // the generator reaches every path
}

} // namespace
