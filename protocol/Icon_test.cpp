#include "protocol/Icon.h"

#include <gtest/gtest.h>

namespace ZARNITH {
namespace {

TEST(Icon, UsableOnlyWithWholeRows) {
    Icon icon;
    EXPECT_FALSE(icon.isValid());
    EXPECT_EQ(icon.getHeight(), 0u);
    icon.pixels.resize(48);
    EXPECT_FALSE(icon.isValid());  // width 0: no division
    EXPECT_EQ(icon.getHeight(), 0u);
    icon.width = 16;
    EXPECT_TRUE(icon.isValid());
    EXPECT_EQ(icon.getHeight(), 3u);
    icon.width = 5;
    EXPECT_FALSE(icon.isValid());
    EXPECT_EQ(icon.getHeight(), 0u);
    EXPECT_EQ(sizeof(Icon::Pixel), 4u);
}

}  // namespace
}  // namespace ZARNITH
