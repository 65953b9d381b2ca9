#include "host/SeekRequest.h"

#include <gtest/gtest.h>

namespace {

TEST(SeekRequest, EveryFormOfTheValue) {
    using Kind = SeekRequest::Kind;
    struct Case {
        const char* value;
        Kind kind;
        bool seek;
        std::int64_t steps;
    };
    const Case cases[] = {
        {"", Kind::None, false, 0},
        {"Front", Kind::Front, false, 0},
        {"Quit", Kind::End, false, 0},
        {"front", Kind::Absolute, false, 0},  // not a keyword: a count of 0 rewinds
        {"+1", Kind::Relative, true, 2},
        {"-1", Kind::Relative, true, 0},      // n + 1 = 0: a seek by 0, not none
        {"-5", Kind::Relative, true, -4},
        {"+0", Kind::Relative, false, 0},     // n = 0: no seek
        {"5", Kind::Absolute, true, 6},
        {"0", Kind::Absolute, false, 0},
        {"abc", Kind::Absolute, false, 0},    // not a number: a rewind only
        {"12xyz", Kind::Absolute, true, 13},  // trailing text ignored
        {"+2147483647", Kind::Relative, true, 2147483648LL},  // n + 1 in 64 bits, no wrap
        {"-2147483648", Kind::Relative, true, -2147483647LL},
        {"4294967297", Kind::Absolute, true, 2},  // truncated to 32 bits first: n = 1
        {"4294967295", Kind::Absolute, true, 0},  // n = -1 after truncation
    };
    for (const Case& c : cases) {
        const SeekRequest r = SeekRequest::parse(c.value);
        EXPECT_EQ(r.kind, c.kind) << c.value;
        EXPECT_EQ(r.seek, c.seek) << c.value;
        EXPECT_EQ(r.steps, c.steps) << c.value;
    }
}

}  // namespace
