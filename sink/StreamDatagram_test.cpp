#include "sink/StreamDatagram.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::vector<std::uint8_t> head(std::uint16_t code, std::size_t total, std::uint16_t magic = 0x64) {
    std::vector<std::uint8_t> b(total, 0);
    if (total >= 2) {
        b[0] = static_cast<std::uint8_t>(magic);
        b[1] = static_cast<std::uint8_t>(magic >> 8);
    }
    if (total >= 4) {
        b[2] = static_cast<std::uint8_t>(code);
        b[3] = static_cast<std::uint8_t>(code >> 8);
    }
    if (total >= 16) {
        b[4] = 0x0a;
        b[6] = 0x60;
        b[8] = 0x34;
        b[9] = 0x12;
    }
    return b;
}

TEST(StreamDatagram, Validity) {
    struct Case {
        const char* what;
        std::vector<std::uint8_t> bytes;
        bool valid;
        std::uint64_t payload;
    };
    const Case cases[] = {
        {"header only", head(0x0010, 16), true, 0},
        {"15 bytes", head(0x0010, 15), false, 0},
        {"wrong magic", head(0x0010, 16, 0x65), false, 0},
        {"padded length missing", head(0x0027, 24), false, 0},
        {"extra bytes behind", head(0x001F, 40), true, 1},
        {"resend form", head(0x001B, 32), true, 5},
        {"code decoding to 64 KiB", head(0x0011, 16), false, 0},
        {"code below 16", head(0x0000, 16), false, 0},
    };
    for (const Case& c : cases) {
        ZARNITH::StreamDatagram d;
        const bool valid = d.parse(ORVEX::BufferCS_const(c.bytes.data(), c.bytes.size()));
        EXPECT_EQ(valid, c.valid) << c.what;
        if (valid) {
            EXPECT_EQ(d.payloadSize, c.payload) << c.what;
            EXPECT_EQ(d.id, ZARNITH::STREAMDATA_SET) << c.what;
            EXPECT_EQ(d.status, 0x60) << c.what;
            EXPECT_EQ(d.option0, 0x1234) << c.what;
        }
    }
    ZARNITH::StreamDatagram d;
    EXPECT_FALSE(d.parse(ORVEX::BufferCS_const()));
}

}  // namespace
