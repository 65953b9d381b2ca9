#include "host/SeekRequest.h"

#include <gtest/gtest.h>

namespace {

TEST(SeekRequest, EveryFormOfTheValue) {
    using Kind = SeekRequest::Kind;
    struct Case {
        const char* value;
        Kind kind;
        std::int64_t steps;
    };
    const Case cases[] = {
        {"", Kind::None, 0},
        {"Front", Kind::Front, 0},
        {"Quit", Kind::End, 0},
        {"front", Kind::Absolute, 0},  // not a keyword: a count of 0 rewinds
        {"+1", Kind::Relative, 2},
        {"-1", Kind::Relative, 0},      // n + 1 = 0: no move
        {"-5", Kind::Relative, -4},
        {"+0", Kind::Relative, 0},
        {"5", Kind::Absolute, 6},
        {"0", Kind::Absolute, 0},
        {"abc", Kind::Absolute, 0},     // not a number: a rewind only
        {"12xyz", Kind::Absolute, 13},  // trailing text ignored
        {"+2147483647", Kind::Relative, 2147483648LL},  // n + 1 in 64 bits, no wrap
        {"-2147483648", Kind::Relative, -2147483647LL},
        {"4294967297", Kind::Absolute, 2},  // truncated to 32 bits first: n = 1
    };
    for (const Case& c : cases) {
        const SeekRequest r = SeekRequest::parse(c.value);
        EXPECT_EQ(r.kind, c.kind) << c.value;
        EXPECT_EQ(r.steps, c.steps) << c.value;
    }
}

}  // namespace
