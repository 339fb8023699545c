#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <random>
#include <regex>
#include <string>

#include "base/bytes.h"
#include "base/file_io.h"
#include "base/unique_resource.h"
#include "sandbox.h"
#include "text/task_principal.h"
#include "text/task_xml.h"
#include "text/xml_reader.h"

namespace {

using qsh::setXmlEncodingDeclaration;
using qsh::testing::TempDir;

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

class WriteFileBytes : public ::testing::Test {
  protected:
    TempDir dir;
    std::wstring error = L"untouched";

    bool write(const std::wstring& path, const qsh::Bytes& bytes) {
        return qsh::writeFileBytes(std::filesystem::path(path), bytes, error);
    }
};

TEST_F(WriteFileBytes, CreatesFoldersAndReplacesFiles) {
    const std::wstring path = dir / L"new\\deeper\\out.xml";
    ASSERT_TRUE(write(path, {}));
    EXPECT_EQ(qsh::testing::readFile(path), std::string());
    ASSERT_TRUE(qsh::testing::writeFile(path, std::string(5000, 'o')));
    ASSERT_TRUE(write(path, {'n', 'e', 'w'}));
    EXPECT_EQ(qsh::testing::readFile(path), "new");
    ASSERT_TRUE(write(path, {}));
    EXPECT_EQ(qsh::testing::readFile(path), std::string());
    EXPECT_EQ(error, L"untouched");
    // Devices such as NUL cannot flush; the write still counts.
    EXPECT_TRUE(write(L"NUL", {'x'})) << error;
}

TEST_F(WriteFileBytes, WritesLargeBuffersWhole) {
    std::mt19937 random(3);
    qsh::Bytes bytes(3 * 1048576 + 17);
    for (auto& byte : bytes) {
        byte = static_cast<std::uint8_t>(random());
    }
    const std::wstring path = dir / L"large.bin";
    ASSERT_TRUE(write(path, bytes)) << error;
    EXPECT_TRUE(qsh::testing::readFile(path) == std::string(bytes.begin(), bytes.end()));
}

TEST_F(WriteFileBytes, BareFileNameWritesIntoTheCurrentFolder) {
    wchar_t previous[MAX_PATH + 1] = {};
    GetCurrentDirectoryW(MAX_PATH, previous);
    ASSERT_TRUE(SetCurrentDirectoryW(dir.path().c_str()));
    const bool written = write(L"bare.xml", {'x'});
    SetCurrentDirectoryW(previous);
    ASSERT_TRUE(written) << error;
    EXPECT_EQ(qsh::testing::readFile(dir / L"bare.xml"), "x");
}

TEST_F(WriteFileBytes, ParentThatCannotBeCreated) {
    const std::wstring blocker = dir / L"plain-file";
    ASSERT_TRUE(qsh::testing::writeFile(blocker, "x"));
    EXPECT_FALSE(write(blocker + L"\\sub\\out.xml", {'x'}));
    EXPECT_TRUE(
        std::regex_match(error, std::wregex(L"Unable to create parent directory; error=[-0-9]+")))
        << error;
    EXPECT_EQ(qsh::testing::readFile(blocker), "x");
}

TEST_F(WriteFileBytes, OpenFailureCarriesTheSystemText) {
    // Another process holds the file without write sharing.
    const std::wstring path = dir / L"locked.xml";
    ASSERT_TRUE(qsh::testing::writeFile(path, "old"));
    qsh::UniqueHandle holder(CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(holder);
    EXPECT_FALSE(write(path, {'n', 'e', 'w'}));
    EXPECT_EQ(error, qsh::testing::fromUtf8(qsh::testing::systemText(ERROR_SHARING_VIOLATION)));
    holder.reset();
    EXPECT_EQ(qsh::testing::readFile(path), "old");
}

} // namespace
