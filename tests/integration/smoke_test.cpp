#include <gtest/gtest.h>

#include "helper_process.h"

using namespace qsh::testing;

TEST(LauncherSmoke, HelperStartsWithPipesAndFullExitCode) {
    TempDir local;
    HelperOutcome outcome = runHelper({.args = {L"--version"}, .localAppData = local.path()});
    ASSERT_TRUE(outcome.started) << outcome.startError;
    EXPECT_FALSE(outcome.timedOut);
}
