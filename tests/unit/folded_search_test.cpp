// The Task XML checks search the document folding as they go instead of searching a lower-cased
// copy. These tests hold the check to what a search of a lower-cased copy gives, on documents
// built from the pieces that matter to it, and the declaration rewrite to written rows.

#include <gtest/gtest.h>

#include <cwctype>
#include <random>
#include <string>
#include <vector>

#include "base/utf8.h"
#include "encoding.h"
#include "text/decode.h"
#include "text/task_xml.h"

namespace {

using namespace std::literals;
constexpr auto npos = std::wstring::npos;

TEST(FoldedUnit, EveryUnitFoldsAsTowlowerDoes) {
    for (unsigned value = 0; value <= 0xFFFF; ++value) {
        const auto unit = static_cast<wchar_t>(value);
        const auto expected = static_cast<wchar_t>(std::towlower(static_cast<std::wint_t>(unit)));
        ASSERT_EQ(qsh::lowerUnit(unit), expected) << "unit " << value;
        ASSERT_EQ(qsh::lowerCopy(std::wstring(1, unit)), std::wstring(1, expected))
            << "unit " << value;
    }
}

// The searches as made on a lower-cased copy.
bool referenceLooksLikeTaskXml(const std::wstring& text) {
    const std::wstring lower = qsh::lowerCopy(text);
    return lower.find(L"<task") != npos && lower.find(L"</task>") != npos;
}

// Pieces of markup in every case, the units around the needles' ends, and units outside ASCII
// (the Kelvin sign and dotted capital I fold to ASCII letters under full Unicode rules).
const std::vector<std::wstring> kPieces = {
    L"<?xml",  L"<?XML",  L"<?xM",   L"?>",    L"?",     L">",      L"encoding", L"ENCODING",
    L"encod",  L"=",      L"\"",     L"'",     L"<Task", L"<TASK",  L"<task",    L"</Task>",
    L"</tAsK", L"</",     L"Task>",  L" ",     L"\r\n",  L"\xFEFF", L"\0"s,      L"x",
    L"\u00e9", L"\u212A", L"\u0130", L"UTF-8", L"<",     L"k",      L"\u00c9",   L"\xD800",
};

std::wstring randomDocument(std::mt19937& random) {
    std::wstring text;
    const std::size_t count = random() % 14;
    for (std::size_t i = 0; i < count; ++i) {
        text += kPieces[random() % kPieces.size()];
    }
    return text;
}

TEST(FoldedSearch, ChecksAndRewritesMatchTheLowerCasedCopy) {
    std::mt19937 random(7);
    for (int round = 0; round < 40000; ++round) {
        const std::wstring text = randomDocument(random);
        ASSERT_EQ(qsh::looksLikeTaskXml(text), referenceLooksLikeTaskXml(text)) << round;
    }
}

// The declaration's parts are found in any case, folded unit by unit as towlower does, and
// only within the declaration.
TEST(FoldedSearch, DeclarationRewriteFindsItsPartsInAnyCase) {
    const std::pair<std::wstring, std::wstring> rows[] = {
        {L"<?xMl version=\"1.0\" EnCoDiNg='x'?><Task/>",
         L"<?xMl version=\"1.0\" EnCoDiNg='UTF-16'?><Task/>"},
        {L"<?XML?><TASK ENCODING=\"x\"/>", L"<?XML encoding=\"UTF-16\"?><TASK ENCODING=\"x\"/>"},
        // A unit outside ASCII counts as what towlower makes of it: the Kelvin sign and the
        // capital E acute are no letter of "<?xml" or "encoding".
        {L"<?\u212Aml encoding=\"x\"?>", L"<?xml version=\"1.0\" encoding=\"UTF-16\"?>\r\n"
                                         L"<?\u212Aml encoding=\"x\"?>"},
        {L"<?xml \u00C9NCODING=\"x\"?>", L"<?xml \u00C9NCODING=\"x\" encoding=\"UTF-16\"?>"},
        // The first "encoding" counts, and its value runs to the next quote of its kind.
        {L"<?xml encoding encoding=\"a\"?>", L"<?xml encoding encoding=\"UTF-16\"?>"},
        {L"<?xml encoding=\"x\0\xD800\"?>"s, L"<?xml encoding=\"UTF-16\"?>"},
        // The end of the declaration is the first "?>" after its start.
        {L"?><?xml?>?>", L"?><?xml encoding=\"UTF-16\"?>?>"},
        {L"<?xml<?XML encoding='a'?>", L"<?xml<?XML encoding='UTF-16'?>"},
    };
    for (const auto& [xml, expected] : rows) {
        EXPECT_EQ(qsh::setXmlEncodingDeclaration(xml, L"UTF-16"), expected)
            << qsh::testing::toUtf8(xml);
    }
}

TEST(TaskXmlInPlace, DecodedDocumentIsRewrittenWithoutACopy) {
    // Large documents are not copied to gain the few units a rewrite adds.
    const std::string body = "<Task>" + std::string(100000, ' ') + "</Task>";
    for (const std::string& source : {"<?xml version=\"1.0\" encoding=\"UTF-8\"?>" + body,
                                      "<?xml version=\"1.0\"?>" + body, body}) {
        qsh::DecodedText decoded = qsh::decodeBytes(qsh::Bytes(source.begin(), source.end()));
        ASSERT_EQ(decoded.encoding, L"UTF-8/ASCII");
        const wchar_t* before = decoded.text.data();
        std::wstring rewritten = qsh::setXmlEncodingDeclaration(std::move(decoded.text), L"UTF-16");
        EXPECT_EQ(rewritten.data(), before) << source.substr(0, 40);
        EXPECT_EQ(rewritten.rfind(L"<?xml version=\"1.0\" encoding=\"UTF-16\"?>", 0), 0u);
    }
    // UTF-16 decodes too, here growing the encoding's name by one unit.
    const std::string declared = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>" + body;
    const std::string be = qsh::testing::utf16be({declared.begin(), declared.end()}, false);
    qsh::DecodedText decoded = qsh::decodeBytes(qsh::Bytes(be.begin(), be.end()));
    ASSERT_EQ(decoded.encoding, L"UTF-16 BE heuristic");
    const wchar_t* before = decoded.text.data();
    EXPECT_EQ(qsh::setXmlEncodingDeclaration(std::move(decoded.text), L"UTF-16").data(), before);
}

} // namespace
