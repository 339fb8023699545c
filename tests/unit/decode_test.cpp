#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "text/decode.h"

namespace {

using qsh::Bytes;
using qsh::decodeBytes;

std::wstring oemLabel() {
    return L"Windows code page " + std::to_wstring(GetOEMCP());
}

Bytes ascii(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

struct DecodeCase {
    const char* name;
    Bytes bytes;
    std::wstring encoding;
    std::wstring text;
};

TEST(DecodeBytes, LabelsAndTextsOfTheEdgeCases) {
    const DecodeCase cases[] = {
        {"empty", {}, L"empty", L""},
        {"single zero", {0x00}, L"UTF-16 BE heuristic", L""},
        {"single letter", {0x41}, L"UTF-8/ASCII", L"A"},
        {"LE mark alone", {0xFF, 0xFE}, L"UTF-16 LE BOM", L""},
        {"LE mark, odd byte dropped", {0xFF, 0xFE, 0x41, 0x00, 0x42}, L"UTF-16 LE BOM", L"A"},
        {"BE mark", {0xFE, 0xFF, 0x00, 0x41, 0xD8, 0x00}, L"UTF-16 BE BOM", L"A\xD800"},
        {"UTF-8 mark alone", {0xEF, 0xBB, 0xBF}, L"UTF-8 BOM", L""},
        {"UTF-8 mark", {0xEF, 0xBB, 0xBF, 0x43, 0xC3, 0xA9}, L"UTF-8 BOM", L"C\u00e9"},
        {"two mark bytes only", {0xEF, 0xBB}, oemLabel(), L""},
        {"LE heuristic", {0x41, 0x00, 0x42, 0x00}, L"UTF-16 LE heuristic", L"AB"},
        {"BE heuristic", {0x00, 0x41, 0x00, 0x42}, L"UTF-16 BE heuristic", L"AB"},
        {"one odd zero", {0x61, 0x62, 0x63, 0x00}, L"UTF-16 LE heuristic", L"\x6261\x0063"},
        {"plain ASCII", ascii("<Task></Task>"), L"UTF-8/ASCII", L"<Task></Task>"},
        {"UTF-8 without mark", {0x63, 0x61, 0x66, 0xC3, 0xA9}, L"UTF-8/ASCII", L"caf\u00e9"},
    };
    for (const DecodeCase& c : cases) {
        SCOPED_TRACE(c.name);
        const qsh::DecodedText decoded = decodeBytes(c.bytes);
        EXPECT_EQ(decoded.encoding, c.encoding);
        if (c.encoding.rfind(L"Windows code page ", 0) != 0) {
            EXPECT_EQ(decoded.text, c.text);
        }
    }
}

TEST(DecodeBytes, FallsBackToTheOemCodePage) {
    const Bytes latin1{0x63, 0x61, 0x66, 0xE9};
    const qsh::DecodedText decoded = decodeBytes(latin1);
    EXPECT_EQ(decoded.encoding, oemLabel());
    EXPECT_EQ(decoded.text, qsh::decodeMultiByte(latin1, 0, GetOEMCP(), 0));
    if (GetOEMCP() == 437) {
        EXPECT_EQ(decoded.text, L"caf\u0398");
        EXPECT_EQ(decoded.encoding, L"Windows code page 437");
    }
    // A first byte EF without the rest of the mark is no mark at all.
    EXPECT_EQ(decodeBytes({0xEF, 0x41, 0x42}).encoding, oemLabel());
}

TEST(DecodeBytes, MarkWithIllFormedUtf8IsDecodedLeniently) {
    const qsh::DecodedText decoded = decodeBytes({0xEF, 0xBB, 0xBF, 0x41, 0xFF, 0x42});
    EXPECT_EQ(decoded.encoding, L"UTF-8 BOM");
    ASSERT_GE(decoded.text.size(), 3u);
    EXPECT_EQ(decoded.text.front(), L'A');
    EXPECT_EQ(decoded.text.back(), L'B');
}

TEST(DecodeBytes, TrailingNulsAreTrimmedInnerOnesKept) {
    EXPECT_EQ(decodeBytes({0xFF, 0xFE, 0x41, 0x00, 0x00, 0x00, 0x00, 0x00}).text, L"A");
    EXPECT_EQ(decodeBytes({0xFE, 0xFF, 0x00, 0x41, 0x00, 0x00}).text, L"A");

    std::string withInnerNul("abcdefgh");
    withInnerNul.push_back('\0');
    withInnerNul += "ijklmnop";
    withInnerNul.append(2, '\0');
    const qsh::DecodedText decoded = decodeBytes(ascii(withInnerNul));
    EXPECT_EQ(decoded.encoding, L"UTF-8/ASCII");
    EXPECT_EQ(decoded.text, std::wstring(L"abcdefgh\0ijklmnop", 17));
}

// Bytes of length n with zeros at the given indices and 'x' elsewhere.
Bytes withZerosAt(std::size_t n, const std::vector<std::size_t>& zeros) {
    Bytes bytes(n, 'x');
    for (std::size_t index : zeros) {
        bytes[index] = 0;
    }
    return bytes;
}

std::vector<std::size_t> oddIndices(std::size_t count, std::size_t first = 1) {
    std::vector<std::size_t> indices;
    for (std::size_t i = 0; i < count; ++i) {
        indices.push_back(first + 2 * i);
    }
    return indices;
}

TEST(DecodeBytes, HeuristicNeedsMoreZerosThanTheThreshold) {
    // 16 bytes: threshold 2.
    EXPECT_EQ(decodeBytes(withZerosAt(16, oddIndices(2))).encoding, L"UTF-8/ASCII");
    EXPECT_EQ(decodeBytes(withZerosAt(16, oddIndices(3))).encoding, L"UTF-16 LE heuristic");
    EXPECT_EQ(decodeBytes(withZerosAt(16, oddIndices(2, 0))).encoding, L"UTF-8/ASCII");
    EXPECT_EQ(decodeBytes(withZerosAt(16, oddIndices(3, 0))).encoding, L"UTF-16 BE heuristic");
    // 7 bytes: threshold 0, so one zero is enough.
    EXPECT_EQ(decodeBytes(withZerosAt(7, {3})).encoding, L"UTF-16 LE heuristic");
    EXPECT_EQ(decodeBytes(withZerosAt(7, {6})).encoding, L"UTF-16 BE heuristic");
    // 8 bytes: threshold 1.
    EXPECT_EQ(decodeBytes(withZerosAt(8, {3})).encoding, L"UTF-8/ASCII");
}

TEST(DecodeBytes, HeuristicNeedsTwiceTheZerosOfTheOtherParity) {
    // 64 bytes: threshold 8; 10 odd zeros against 5 even ones is not more than twice as many.
    std::vector<std::size_t> zeros = oddIndices(10);
    for (std::size_t index : oddIndices(5, 40)) {
        zeros.push_back(index);
    }
    EXPECT_EQ(decodeBytes(withZerosAt(64, zeros)).encoding, L"UTF-8/ASCII");
    zeros.pop_back();
    EXPECT_EQ(decodeBytes(withZerosAt(64, zeros)).encoding, L"UTF-16 LE heuristic");
}

TEST(DecodeBytes, HeuristicLooksAtTheFirst256BytesOnly) {
    // Threshold 32 for any buffer of 256 bytes or more.
    EXPECT_EQ(decodeBytes(withZerosAt(256, oddIndices(32))).encoding, L"UTF-8/ASCII");
    EXPECT_EQ(decodeBytes(withZerosAt(256, oddIndices(33))).encoding, L"UTF-16 LE heuristic");
    EXPECT_EQ(decodeBytes(withZerosAt(4000, oddIndices(32))).encoding, L"UTF-8/ASCII");
    EXPECT_EQ(decodeBytes(withZerosAt(4000, oddIndices(33))).encoding, L"UTF-16 LE heuristic");
    // Zeros from byte 256 on are not counted, even when there are many.
    Bytes late = withZerosAt(1000, oddIndices(300, 257));
    late.back() = 0;
    const qsh::DecodedText decoded = decodeBytes(late);
    EXPECT_EQ(decoded.encoding, L"UTF-8/ASCII");
    EXPECT_EQ(decoded.text.size(), 999u); // the last zero is trimmed, the inner ones stay
    EXPECT_EQ(decoded.text[257], L'\0');
}

TEST(DecodeBytes, Utf16WithoutMarkAfterAnAsciiStartIsTakenAsUtf8) {
    Bytes bytes(256, 'a');
    for (wchar_t unit : std::wstring(L"<Task/>")) {
        bytes.push_back(static_cast<std::uint8_t>(unit));
        bytes.push_back(0);
    }
    const qsh::DecodedText decoded = decodeBytes(bytes);
    EXPECT_EQ(decoded.encoding, L"UTF-8/ASCII");
    EXPECT_EQ(decoded.text.substr(256), std::wstring(L"<\0T\0a\0s\0k\0/\0>", 13));
}

TEST(DecodeUtf16, OffsetsAndOddLengths) {
    const Bytes bytes{0x41, 0x00, 0x3D, 0xD8, 0x00, 0xDE, 0x42};
    EXPECT_EQ(qsh::decodeUtf16Le(bytes, 0), L"A\xD83D\xDE00");
    EXPECT_EQ(qsh::decodeUtf16Be(bytes, 0), L"\x4100\x3DD8\x00DE");
    EXPECT_EQ(qsh::decodeUtf16Le(bytes, 5), L"\x42DE");
    EXPECT_EQ(qsh::decodeUtf16Le(bytes, 6), L"");
    EXPECT_EQ(qsh::decodeUtf16Le(bytes, 7), L"");
    EXPECT_EQ(qsh::decodeUtf16Be(bytes, 1000), L"");
    EXPECT_EQ(qsh::decodeUtf16Le({}, 0), L"");
}

TEST(DecodeMultiByte, StrictUtf8FailsOnIllFormedInput) {
    EXPECT_EQ(qsh::decodeMultiByte({0x41, 0xC3, 0xA9}, 0, CP_UTF8, MB_ERR_INVALID_CHARS),
              L"A\u00e9");
    EXPECT_EQ(qsh::decodeMultiByte({0x41, 0xC3}, 0, CP_UTF8, MB_ERR_INVALID_CHARS), L"");
    EXPECT_EQ(qsh::decodeMultiByte({0x41, 0x42}, 1, CP_UTF8, MB_ERR_INVALID_CHARS), L"B");
    EXPECT_EQ(qsh::decodeMultiByte({0x41, 0x42}, 2, CP_UTF8, 0), L"");
}

// Encodes text in a code page with the system converter, for the piecewise checks.
Bytes encodeIn(UINT codePage, const std::wstring& text) {
    const int size = WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), bytes.data(), size,
                        nullptr, nullptr);
    return Bytes(bytes.begin(), bytes.end());
}

TEST(DecodeMultiByte, PiecesNeverSplitACharacter) {
    const std::wstring sample = L"a\u00e9\u4e2d\U0001F600b\u00fc\u6587\U0001F680z";
    const Bytes utf8 = encodeIn(CP_UTF8, sample);
    // Four bytes is the longest sequence, so any piece of at least four can be cut between two.
    for (std::size_t piece = 4; piece <= 9; ++piece) {
        SCOPED_TRACE(piece);
        EXPECT_EQ(qsh::decodeMultiByteInPieces(utf8, 0, CP_UTF8, MB_ERR_INVALID_CHARS, piece),
                  sample);
        EXPECT_EQ(qsh::decodeMultiByteInPieces(utf8, 1, CP_UTF8, 0, piece), sample.substr(1));
    }

    // Ill-formed input stays ill-formed however it is cut.
    Bytes broken = utf8;
    broken.insert(broken.begin() + 5, 0x80);
    Bytes truncated(utf8.begin(), utf8.end() - 2);
    for (std::size_t piece = 4; piece <= 9; ++piece) {
        SCOPED_TRACE(piece);
        EXPECT_EQ(qsh::decodeMultiByteInPieces(broken, 0, CP_UTF8, MB_ERR_INVALID_CHARS, piece),
                  L"");
        EXPECT_EQ(qsh::decodeMultiByteInPieces(truncated, 0, CP_UTF8, MB_ERR_INVALID_CHARS, piece),
                  L"");
    }

    CPINFO info = {};
    if (GetCPInfo(932, &info) && info.MaxCharSize == 2) {
        const std::wstring japanese = L"a\u3042\u30ab\u6f22b\u5b57c";
        const Bytes shiftJis = encodeIn(932, japanese);
        for (std::size_t piece = 2; piece <= 5; ++piece) {
            SCOPED_TRACE(piece);
            EXPECT_EQ(qsh::decodeMultiByteInPieces(shiftJis, 0, 932, 0, piece), japanese);
        }
    }
    const Bytes single{0x63, 0x61, 0x66, 0xE9, 0x80};
    EXPECT_EQ(qsh::decodeMultiByteInPieces(single, 0, 437, 0, 2),
              qsh::decodeMultiByte(single, 0, 437, 0));
}

// Random and damaged buffers of every shape the helper may be handed.
Bytes randomBuffer(std::mt19937& random) {
    std::uniform_int_distribution<int> byte(0, 255);
    const std::size_t length = random() % 600;
    Bytes bytes;
    switch (random() % 8) {
    case 0: // noise
        for (std::size_t i = 0; i < length; ++i) {
            bytes.push_back(static_cast<std::uint8_t>(byte(random)));
        }
        break;
    case 1: // all zeros
        bytes.assign(length, 0);
        break;
    case 2: // UTF-16 of either order, with lone surrogates, truncated anywhere
    case 3: {
        const bool little = random() % 2 == 0;
        if (random() % 2 == 0) {
            bytes = little ? Bytes{0xFF, 0xFE} : Bytes{0xFE, 0xFF};
        }
        static const std::uint16_t kUnits[] = {0x41,   0x3C,   0x00,   0xE9,
                                               0xD800, 0xDC00, 0xFFFF, 0xFEFF};
        while (bytes.size() < length) {
            const std::uint16_t unit = kUnits[random() % 8];
            bytes.push_back(static_cast<std::uint8_t>(little ? unit : unit >> 8));
            bytes.push_back(static_cast<std::uint8_t>(little ? unit >> 8 : unit));
        }
        bytes.resize(length);
        break;
    }
    case 4: // UTF-8, with a mark sometimes, broken sometimes
    case 5: {
        if (random() % 2 == 0) {
            bytes = {0xEF, 0xBB, 0xBF};
        }
        static const char* const kPieces[] = {"<Task>",           "\xC3\xA9", "\xE4\xB8\xAD",
                                              "\xF0\x9F\x98\x80", "\xC3",     "\x80",
                                              "\xED\xA0\x80",     "\xFF"};
        while (bytes.size() < length) {
            for (const char* p = kPieces[random() % 8]; *p != 0; ++p) {
                bytes.push_back(static_cast<std::uint8_t>(*p));
            }
        }
        bytes.resize(length);
        break;
    }
    default: // ASCII with zeros sprinkled in
        for (std::size_t i = 0; i < length; ++i) {
            bytes.push_back(random() % 16 == 0 ? 0 : static_cast<std::uint8_t>('a' + i % 26));
        }
        break;
    }
    return bytes;
}

TEST(DecodeRobustness, RandomAndTruncatedBuffersAlwaysDecode) {
    const std::vector<std::wstring> labels = {L"empty",
                                              L"UTF-8 BOM",
                                              L"UTF-16 LE BOM",
                                              L"UTF-16 BE BOM",
                                              L"UTF-16 LE heuristic",
                                              L"UTF-16 BE heuristic",
                                              L"UTF-8/ASCII",
                                              oemLabel()};
    std::mt19937 random(7);
    std::set<std::wstring> seen;
    int failures = 0;
    for (int i = 0; i < 50000 && failures < 5; ++i) {
        const Bytes bytes = randomBuffer(random);
        const qsh::DecodedText decoded = decodeBytes(bytes);
        seen.insert(decoded.encoding);
        const bool knownLabel =
            std::find(labels.begin(), labels.end(), decoded.encoding) != labels.end();
        const bool trimmed = decoded.text.empty() || decoded.text.back() != L'\0';
        // No decoder makes more than one unit per byte.
        const bool bounded = decoded.text.size() <= bytes.size();
        if (!knownLabel || !trimmed || !bounded) {
            ++failures;
            ADD_FAILURE() << "buffer " << i << " of " << bytes.size() << " bytes: label "
                          << ::testing::PrintToString(decoded.encoding) << ", "
                          << decoded.text.size() << " units";
        }
    }
    // The generator reaches every path.
    EXPECT_EQ(seen.size(), labels.size());
}

} // namespace
