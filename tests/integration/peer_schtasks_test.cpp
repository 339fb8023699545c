// Against Wine's own schtasks.exe and Task Scheduler service (the peer prefix).

#include "schtasks_fixture.h"

namespace schtasks_tests {
namespace {

const std::wstring kWineTaskFile = L"C:\\windows\\system32\\tasks\\Quillfen";

class PeerSchtasks : public ::testing::Test {
  protected:
    HelperOutcome run(std::vector<std::wstring> args) const {
        HelperOutcome outcome = runHelper({.args = std::move(args), .localAppData = local.path()});
        EXPECT_TRUE(outcome.started) << outcome.startError;
        return outcome;
    }
    TempDir local;
    TempDir files;
};

TEST_F(PeerSchtasks, ImportLandsInWinesStoreAndDeleteRemovesIt) {
    std::wstring input = files / L"task.xml";
    ASSERT_TRUE(writeFile(input, "\xEF\xBB\xBF" + toUtf8(declaration(L"UTF-8") + taskBody())));

    HelperOutcome created = run({L"create-xml", input});
    EXPECT_EQ(created.code(), 0) << created.err;
    EXPECT_EQ(created.out,
              resultLine(0, "Completed request to create the Windows scheduled task from XML."));
    ASSERT_TRUE(fileExists(kWineTaskFile));

    std::wstring output = files / L"export.xml";
    HelperOutcome queried = run({L"query-to-file", output});
    EXPECT_EQ(queried.code(), 4);
    EXPECT_EQ(queried.err, "schtasks returned data that is not a complete Task XML document.\r\n");
    EXPECT_FALSE(fileExists(output));

    HelperOutcome removed = run({L"delete"});
    EXPECT_EQ(removed.code(), 0) << removed.err;
    EXPECT_FALSE(fileExists(kWineTaskFile));

    HelperOutcome again = run({L"delete"});
    EXPECT_NE(again.code(), 0);
    EXPECT_EQ(again.out.rfind("QUILLFEN_HELPER_RESULT status=failure exitCode=", 0), 0u);
}

} // namespace
} // namespace schtasks_tests
