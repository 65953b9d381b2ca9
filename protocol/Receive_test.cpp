#include "protocol/Receive.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "protocol/Send.h"

namespace ZARNITH {
namespace {

// A datagram of `size` bytes whose header carries the given length code;
// payload bytes count up from 0x30.
Receive datagram(std::uint64_t size, std::uint16_t lengthCode, std::uint16_t magic = 0x0064) {
    const std::uint8_t head[4] = {static_cast<std::uint8_t>(magic), static_cast<std::uint8_t>(magic >> 8),
                                  static_cast<std::uint8_t>(lengthCode),
                                  static_cast<std::uint8_t>(lengthCode >> 8)};
    Receive r;
    for (std::uint64_t i = 0; i < size; ++i)
        r.push_back(i < 4 ? head[i] : static_cast<std::uint8_t>(0x30 + i));
    return r;
}

TEST(Receive, Validity) {
    struct Row {
        std::uint64_t size;
        std::uint16_t code;
        std::uint16_t magic;
        bool valid;
        std::uint64_t payload;  // size_data()
    };
    const std::vector<Row> rows = {
        {16, 0x0010, 0x0064, true, 0},
        {15, 0x0010, 0x0064, false, 0},
        {0, 0x0010, 0x0064, false, 0},
        {16, 0x0010, 0x0065, false, 0},
        {24, 0x0027, 0x0064, false, 8},   // P = 32 > 24; payload bounded by the bytes
        {32, 0x0027, 0x0064, true, 9},
        {40, 0x001F, 0x0064, true, 1},    // extra bytes behind P are allowed
        {24, 0x001F, 0x0064, true, 1},
        {23, 0x001F, 0x0064, false, 1},
        {65528, 0xFFF8, 0x0064, true, 65512},
        // Codes decoding to about 64 KiB on 16 bytes are refused.
        {16, 0x0011, 0x0064, false, 0},
        {16, 0x0017, 0x0064, false, 0},
        {16, 0x0000, 0x0064, false, 0},
        {16, 0x000F, 0x0064, false, 0},
        {1500, 0x0011, 0x0064, false, 1484},
        {1500, 0x0008, 0x0064, false, 1484},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << r.size << " bytes, code " << r.code);
        const Receive m = datagram(r.size, r.code, r.magic);
        EXPECT_EQ(static_cast<bool>(m), r.valid);
        EXPECT_EQ(m.size_data(), r.payload);
        EXPECT_EQ(m.get_data_CS().size, r.payload);
        std::string text;
        m.get_str(text);
        EXPECT_EQ(text.size(), r.payload);
    }
}

TEST(Receive, ShortDatagramAccessorsStayInBounds) {
    for (std::uint64_t size = 0; size < 16; ++size) {
        Receive m = datagram(size, 0x0010);
        m.shrink_to_fit();  // make any over-read visible to the address sanitizer
        EXPECT_FALSE(static_cast<bool>(m));
        EXPECT_EQ(m.size_data(), 0u);
        EXPECT_EQ(m.getOption(), 0u);
        if (size < 10) {
            EXPECT_EQ(m.getOption0(), 0u);
        }
        (void)m.getMessage();
        (void)m.getStatus();
        (void)m.getOption3();
        std::string text = "old";
        m.get_str(text);
        EXPECT_EQ(text, "");
        ORVEX::IPAddress a;
        a.ifIndex = 9;
        EXPECT_FALSE(m.get_add_str(a, text));
        EXPECT_EQ(a.ifIndex, 9u);
    }
}

TEST(Receive, HeaderFields) {
    Send s(CONNECT_ANS, STATUS_ACCEPT | STATUS_PLAYING, 0x1122, 0x3344, 0x5566, 0x7788);
    Receive r;
    r = static_cast<ORVEX::BufferCS_const>(s);
    ASSERT_TRUE(static_cast<bool>(r));
    EXPECT_EQ(r.getMessage(), CONNECT_ANS);
    EXPECT_EQ(r.getStatus(), STATUS_ACCEPT | STATUS_PLAYING);
    EXPECT_EQ(r.getOption0(), 0x1122);
    EXPECT_EQ(r.getOption1(), 0x3344);
    EXPECT_EQ(r.getOption2(), 0x5566);
    EXPECT_EQ(r.getOption3(), 0x7788);
    EXPECT_EQ(r.getOption(), 0x7788556633441122u);
    EXPECT_EQ(r.size_data(), 0u);
    EXPECT_EQ(r.get_data(), r.data() + 16);
}

TEST(Receive, RoundTripOfStringPayload) {
    SendBuffer b;
    b.set(INFORMATION_ANS, STATUS_ACCEPT, 1, 2, 0, 0);
    b.set_str("Zarnith host");
    b.update();
    Receive r;
    r = static_cast<const Send&>(b).operator ORVEX::BufferCS_const();
    ASSERT_TRUE(static_cast<bool>(r));
    std::string text;
    r.get_str(text);
    EXPECT_EQ(text, "Zarnith host");
    // The payload size comes from the length code, not from the datagram length.
    r.resize(r.size() + 40, 0xEE);
    ASSERT_TRUE(static_cast<bool>(r));
    r.get_str(text);
    EXPECT_EQ(text, "Zarnith host");
}

TEST(Receive, AddressAndText) {
    ORVEX::IPAddress source;
    for (int i = 0; i < 16; ++i) source.address[i] = static_cast<std::uint8_t>(i + 1);
    source.set_port(19645);

    struct Row {
        std::uint64_t payload;
        bool addressSet;
        std::string text;
    };
    const std::vector<Row> rows = {
        {0, false, ""}, {17, false, ""}, {18, true, ""}, {19, true, "R"}, {25, true, "Recoder"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.payload);
        SendBuffer b;
        b.set(STATUS_ANS, STATUS_ACCEPT);
        if (row.payload >= 18) {
            b.set_add_str(source, std::string("Recoder").substr(0, row.payload - 18));
        } else {
            b.resize(row.payload);
            for (std::uint64_t i = 0; i < row.payload; ++i) b.get_data()[i] = 0x77;
        }
        b.update();
        Receive r;
        r = static_cast<const Send&>(b).operator ORVEX::BufferCS_const();
        ASSERT_TRUE(static_cast<bool>(r));
        ORVEX::IPAddress got;
        got.ifIndex = 4;
        got.port = 0x1111;
        std::string text = "stale";
        EXPECT_EQ(r.get_add_str(got, text), row.addressSet);
        EXPECT_EQ(text, row.text);
        EXPECT_EQ(got.ifIndex, 4u);  // the scope is not carried
        if (row.addressSet) {
            EXPECT_EQ(got.address, source.address);
            EXPECT_EQ(got.get_port(), 19645);
        } else {
            EXPECT_EQ(got.address, ORVEX::IPAddress().address);
            EXPECT_EQ(got.port, 0x1111);
        }
    }
}

TEST(Receive, AddressTextBoundedByReceivedBytes) {
    // Length code says 40 bytes of payload, only 20 arrived: invalid, and the
    // accessors read the 4 payload bytes present at most.
    Receive r = datagram(20, Send::lengthCode(40));
    r.shrink_to_fit();
    EXPECT_FALSE(static_cast<bool>(r));
    EXPECT_EQ(r.size_data(), 4u);
    ORVEX::IPAddress a;
    std::string text;
    EXPECT_FALSE(r.get_add_str(a, text));
    EXPECT_EQ(text, "");
    EXPECT_EQ(a.address, ORVEX::IPAddress().address);
}

}  // namespace
}  // namespace ZARNITH
