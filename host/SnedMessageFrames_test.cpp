#include "host/SnedMessageFrames.h"

#include <gtest/gtest.h>

namespace {

using TolvenmarkControll::SnedMessageFrames;

TEST(SnedMessageFrames, FrameBytes) {
    SnedMessageFrames empty;
    EXPECT_EQ(empty.frame, std::vector<std::uint8_t>({0, 0, 6, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));

    SnedMessageFrames f;
    f.addHeader("Status", "Play");
    std::vector<std::uint8_t> expected = {0, 0, 19, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    for (char c : std::string("Status=Play\r\n")) expected.push_back(static_cast<std::uint8_t>(c));
    EXPECT_EQ(f.frame, expected);
    EXPECT_EQ(f.frame.size(), 28u);

    SnedMessageFrames n;
    n.addHeader("DataStack", static_cast<std::int64_t>(-1));
    n.addHeader("LastTime", static_cast<std::int64_t>(300));
    const std::string text(n.frame.begin() + 15, n.frame.end());
    EXPECT_EQ(text, "DataStack=-1\r\nLastTime=300\r\n");
    EXPECT_EQ(n.frame[2], n.frame.size() - 9);
}

TEST(SnedMessageFrames, LengthIsBigEndian24Bit) {
    SnedMessageFrames f;
    f.addHeader("K", std::string(70000, 'v'));
    const std::size_t length = f.frame.size() - 9;
    EXPECT_EQ(f.frame[0], (length >> 16) & 0xFF);
    EXPECT_EQ(f.frame[1], (length >> 8) & 0xFF);
    EXPECT_EQ(f.frame[2], length & 0xFF);
}

}  // namespace
