#include "host/TextPairs.h"

#include <gtest/gtest.h>

namespace {

using TolvenmarkControll::TextPairs;

std::vector<TextPairs::Pair> split(const std::string& text) {
    return TextPairs::split(ORVEX::BufferCS_const(text));
}

TEST(TextPairs, LinesKeysAndValues) {
    struct Case {
        std::string text;
        std::vector<TextPairs::Pair> pairs;
    };
    const std::vector<Case> cases = {
        {"Request=Status", {{"Request", "Status"}}},
        {"Play", {{"Play", ""}}},
        {"=Status\r\n", {}},
        {"Seek=+5=x", {{"Seek", "+5=x"}}},
        {"a=1\r\nb=2\n\nc=3\rd", {{"a", "1"}, {"b", "2"}, {"c", "3"}, {"d", ""}}},
        {"\r\n\r\n", {}},
        {" Key = v ", {{" Key ", " v "}}},  // nothing trimmed
        {"request=status", {{"request", "status"}}},
        {"", {}},
    };
    for (const Case& c : cases) EXPECT_EQ(split(c.text), c.pairs) << c.text;
}

TEST(TextPairs, TextStartsAfterTheReservedBytes) {
    const std::string payload = std::string(6, '\0') + "Play";
    const auto text = TextPairs::textOf(ORVEX::BufferCS_const(payload));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(text.data), text.size), "Play");
    EXPECT_EQ(TextPairs::textOf(ORVEX::BufferCS_const(std::string(4, '\0'))).size, 0u);
}

}  // namespace
