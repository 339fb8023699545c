#include <gtest/gtest.h>

#include "app/constants.h"

TEST(Constants, VersionIsOnePointOne) {
    EXPECT_STREQ(qsh::kHelperVersion, L"1.1.0");
}
