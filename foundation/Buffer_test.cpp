#include "foundation/Buffer.h"

#include <gtest/gtest.h>

#include <list>
#include <string>
#include <vector>

using ORVEX::Buffer;
using ORVEX::BufferCS_const;

namespace {
Buffer bytesOf(const std::string& s) {
    return Buffer(s.begin(), s.end());
}
std::string getString(const std::string& s) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(s.data());
    return BufferCS_const::get_string(p, p + s.size());
}
}  // namespace

TEST(BufferCS, GetStringStopsAtZeroOnlyWhenTheRangeEndsWithZero) {
    using namespace std::string_literals;
    EXPECT_EQ(getString("ab\0cd\0"s), "ab");
    EXPECT_EQ(getString("ab\0cd"s), "ab\0cd"s);
    EXPECT_EQ(getString("abc"), "abc");
    EXPECT_EQ(getString(""), "");
    EXPECT_EQ(getString("\0"s), "");
}

TEST(BufferCS, DumpIsLowercaseHexSeparatedBySpaces) {
    const std::uint8_t bytes[] = {0x01, 0xAB, 0x00};
    EXPECT_EQ(BufferCS_const(bytes, 3).dump(), "01 ab 00");
    EXPECT_EQ(BufferCS_const(bytes + 1, 1).dump(), "ab");
    const std::uint8_t one = 0x0F;
    EXPECT_EQ(BufferCS_const(&one, 1).dump(), "0f");
    EXPECT_EQ(BufferCS_const().dump(), "");
}

TEST(Buffer, AssignFromViewCopiesAndFillKeepsSize) {
    const std::uint8_t bytes[] = {1, 2, 3, 4};
    Buffer b = bytesOf("previous content");
    b = BufferCS_const(bytes, 4);
    EXPECT_EQ(b, Buffer({1, 2, 3, 4}));
    b = BufferCS_const();
    EXPECT_TRUE(b.empty());
    b.fill(7);
    EXPECT_TRUE(b.empty());
    b = BufferCS_const(bytes, 3);
    b.fill(0xEE);
    EXPECT_EQ(b, Buffer({0xEE, 0xEE, 0xEE}));
    const BufferCS_const view = b;
    EXPECT_EQ(view.data, b.data());
    EXPECT_EQ(view.size, 3u);
}

TEST(Buffer, LineSplit) {
    using namespace std::string_literals;
    struct Case {
        std::string bytes;
        bool keepTab;
        std::list<std::string> lines;
        bool ok;
    };
    const Case cases[] = {
        {"a\r\n\r\nb", false, {"a", "b"}, true},
        {"a\n\rb\r\r\n", false, {"a", "b"}, true},
        {"\xEF\xBB\xBFx", false, {"x"}, true},
        {"\xEF\xBB", false, {"\xEF\xBB"}, true},        // too short for a byte-order mark
        {"x\xEF\xBB\xBF", false, {"x\xEF\xBB\xBF"}, true},  // only at the very start
        {"a\tb", false, {"ab"}, false},
        {"a\tb", true, {"a\tb"}, true},
        {"a\0b"s, true, {"ab"}, false},
        {"a\x1b" "b\x7f\xff", false, {"ab\x7f\xff"}, false},
        {"", false, {}, true},
        {"\xEF\xBB\xBF", false, {}, true},
        {"\r\n\n", false, {}, true},
        {"  x  ", false, {"  x  "}, true},
    };
    for (const Case& c : cases) {
        std::list<std::string> lines = {"stale"};
        EXPECT_EQ(bytesOf(c.bytes).get_string_list(lines, c.keepTab), c.ok) << c.bytes;
        EXPECT_EQ(lines, c.lines) << c.bytes;
    }
}
