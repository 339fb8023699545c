#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <utility>

#include "sandbox.h"
#include "text/task_principal.h"
#include "text/task_xml.h"
#include "text/xml_reader.h"

namespace {

using qsh::setXmlEncodingDeclaration;

TEST(TaskXmlCheck, LooksLikeTaskXml) {
    EXPECT_TRUE(qsh::looksLikeTaskXml(L"<Task version=\"1.2\"></Task>"));
    EXPECT_TRUE(qsh::looksLikeTaskXml(L"<TASK></TASK>"));
    EXPECT_TRUE(qsh::looksLikeTaskXml(L"</task> then <task>"));
    EXPECT_TRUE(qsh::looksLikeTaskXml(L"<TaskList></Task>"));
    EXPECT_FALSE(qsh::looksLikeTaskXml(L"<?xml version=\"1.0\"?><Task version=\"1.2\"/>"));
    EXPECT_FALSE(qsh::looksLikeTaskXml(L"<Tasks></Tasks>"));
    EXPECT_FALSE(qsh::looksLikeTaskXml(L""));
    EXPECT_FALSE(qsh::looksLikeTaskXml(L"< Task></ Task>"));
}

std::wstring stripped(std::wstring text) {
    qsh::stripLeadingBomAndNoise(text);
    return text;
}

TEST(TaskXmlCheck, StripLeadingBomAndNoise) {
    EXPECT_EQ(stripped(L"\xFEFF\xFEFF\n  <?xml version=\"1.0\"?><Task/>"),
              L"<?xml version=\"1.0\"?><Task/>");
    EXPECT_EQ(stripped(std::wstring(L"\0\xFEFF\t\r\n\v\f \xFEFF\0<Task/>", 17)), L"<Task/>");
    EXPECT_EQ(stripped(L"abc<Task/>"), L"abc<Task/>");
    EXPECT_EQ(stripped(std::wstring(L"\xFEFF\0 hello", 8)), L" hello");
    EXPECT_EQ(stripped(L"  <task/>"), L"  <task/>");
    EXPECT_EQ(stripped(L"  <Task/><?xml?>"), L"<Task/><?xml?>");
    EXPECT_EQ(stripped(L"\xFEFF"), L"");
    EXPECT_EQ(stripped(L"<?xml?>"), L"<?xml?>");
}

// The principal check hands XmlLite the text in pieces of 32768 units: a character outside
// the BMP across a piece's end is read whole, an unpaired surrogate stops the reading.
TEST(TaskXmlCheck, PrincipalCheckReadsTheWholeText) {
    const std::wstring head = L"<Task xmlns=\"http://schemas.microsoft.com/windows/2004/02/mit/"
                              L"task\"><RegistrationInfo><Description>";
    const std::wstring tail = L"</Description></RegistrationInfo><Principals><Principal>"
                              L"<RunLevel>HighestAvailable</RunLevel></Principal></Principals>"
                              L"</Task>";
    std::wstring text = head + std::wstring(32767 - head.size(), L'a') + L"\U0001F600" + tail;
    EXPECT_EQ(qsh::checkTaskPrincipal(text).refusal,
              L"The task XML is refused: its principal's RunLevel is not LeastPrivilege.");
    text[32768] = L'a';
    EXPECT_EQ(qsh::checkTaskPrincipal(text).refusal,
              L"The task XML is refused: it holds an unpaired surrogate, which is no character.");
}

// The reader is handed UTF-8 bytes: the staged text's declaration, which names UTF-16, is handed
// over naming UTF-8, and everything after it as it stands.
TEST(TaskXmlCheck, ReaderIsHandedADeclarationNamingItsBytes) {
    const struct {
        std::wstring text;
        std::string handed;
    } rows[] = {
        {L"<?xml version=\"1.0\" encoding=\"UTF-16\"?>\r\n<Task>\u00E9</Task>",
         "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<Task>\xC3\xA9</Task>"},
        {L"<?xml version='1.0'?><Task/>", "<?xml version='1.0' encoding=\"UTF-8\"?><Task/>"},
        {L"<Task/>", "<Task/>"},
    };
    for (const auto& row : rows) {
        std::wstring error;
        const qsh::XmlReader xml = qsh::openXmlReader(row.text, error);
        ASSERT_TRUE(xml.input) << qsh::testing::toUtf8(error);
        std::string handed(256, '\0');
        ULONG read = 0;
        ASSERT_EQ(xml.input->Read(handed.data(), static_cast<ULONG>(handed.size()), &read), S_OK);
        EXPECT_EQ(handed.substr(0, read), row.handed);
    }
}

HRESULT WINAPI readerThatCannotBeMade(REFIID, void**, IMalloc*) {
    return E_OUTOFMEMORY;
}

// Without a working XmlLite nothing can be checked: the document is refused, saying why.
TEST(TaskXmlCheck, PrincipalCheckWithoutXmlLiteSaysWhy) {
    using qsh::testing::fromUtf8;
    using qsh::testing::systemText;
    const std::wstring refused = L"The task XML could not be checked: ";
    const std::pair<qsh::XmlLiteSource, std::wstring> rows[] = {
        {{L"qsh-no-such-library.dll"},
         refused + L"Loading qsh-no-such-library.dll failed: " + fromUtf8(systemText(126))},
        {{L"kernel32.dll"},
         refused + L"Finding the XmlLite functions failed: " + fromUtf8(systemText(127))},
        {{L"xmllite.dll", readerThatCannotBeMade},
         refused + L"Creating the XML reader failed: HRESULT 0x8007000E (" +
             fromUtf8(systemText(E_OUTOFMEMORY)) + L")"},
    };
    const std::wstring document =
        L"<Task xmlns=\"http://schemas.microsoft.com/windows/2004/02/mit/task\"><Principals>"
        L"<Principal><UserId>ana</UserId></Principal></Principals></Task>";
    for (const auto& [source, refusal] : rows) {
        qsh::setXmlLiteSource(source);
        const qsh::TaskPrincipalCheck check = qsh::checkTaskPrincipal(document);
        qsh::setXmlLiteSource({});
        EXPECT_EQ(check.refusal, refusal);
        EXPECT_FALSE(check.userId.has_value());
    }
    EXPECT_EQ(qsh::checkTaskPrincipal(document).userId, L"ana");
}

TEST(TaskXmlDeclaration, InsertsOrRewritesTheEncoding) {
    EXPECT_EQ(setXmlEncodingDeclaration(L"\xFEFF \r\n<Task/>", L"UTF-8"),
              L"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<Task/>");
    const std::pair<std::wstring, std::wstring> rows[] = {
        {L"<Task></Task>", L"<?xml version=\"1.0\" encoding=\"UTF-16\"?>\r\n<Task></Task>"},
        {L"<?xml version=\"1.0\"?><Task/>", L"<?xml version=\"1.0\" encoding=\"UTF-16\"?><Task/>"},
        {L"<?xml version=\"1.0\" standalone=\"yes\"?><Task/>",
         L"<?xml version=\"1.0\" standalone=\"yes\" encoding=\"UTF-16\"?><Task/>"},
        {L"<?xml version='1.0' encoding='windows-1252'?><Task/>",
         L"<?xml version='1.0' encoding='UTF-16'?><Task/>"},
        {L"<?XML VERSION=\"1.0\" ENCODING = \"ASCII\"?><Task/>",
         L"<?XML VERSION=\"1.0\" ENCODING = \"UTF-16\"?><Task/>"},
        {L"<?xml encoding=\"\"?>", L"<?xml encoding=\"UTF-16\"?>"},
        // A quote of the other kind inside the value does not end it.
        {L"<?xml encoding=\"a'b\"?>", L"<?xml encoding=\"UTF-16\"?>"},
        // An encoding word only after the declaration's end does not count.
        {L"<?xml version=\"1.0\"?><Task encoding=\"x\"/>",
         L"<?xml version=\"1.0\" encoding=\"UTF-16\"?><Task encoding=\"x\"/>"},
    };
    for (const auto& [xml, expected] : rows) {
        EXPECT_EQ(setXmlEncodingDeclaration(xml, L"UTF-16"), expected) << xml;
    }
}

TEST(TaskXmlDeclaration, LeavesWhatItCannotParseUnchanged) {
    for (const std::wstring xml : {
             L"<?xml version=\"1.0\" encoding=UTF-8?><Task/>",
             L"<?xml version=\"1.0\" encoding=\"UTF-8\"<Task/>",
             L"<?xml version=\"1.0\" encoding?><Task encoding=\"x\"/>",
             L"<?xml encoding=\"UTF-8?><Task/>",
             L"<?xml encoding=?>\"x\"",
         }) {
        EXPECT_EQ(setXmlEncodingDeclaration(xml, L"UTF-16"), xml);
    }
    // Leading noise goes even when nothing else can be done.
    EXPECT_EQ(setXmlEncodingDeclaration(L"\xFEFF\n<?xml encoding=UTF-8?>", L"UTF-16"),
              L"<?xml encoding=UTF-8?>");
}

} // namespace
