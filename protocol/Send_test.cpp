#include "protocol/Send.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace ZARNITH {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes bytesOf(ORVEX::BufferCS_const view) { return Bytes(view.data, view.data + view.size); }
// The Send view of any message (header and padded payload).
Bytes sendView(const Send& message) { return bytesOf(message); }
// The whole-vector view of a SendBuffer.
Bytes wholeView(const SendBuffer& message) { return bytesOf(static_cast<ORVEX::BufferCS_const>(message)); }

TEST(Send, HeaderBytes) {
    const Bytes expected = {0x64, 0x00, 0x10, 0x00, 0x12, 0x00, 0x01, 0x00,
                            0x01, 0x00, 0x02, 0x00, 0x03, 0x00, 0x04, 0x00};
    const Send quarters(PARAMETER_ANS, STATUS_ACCEPT, 1, 2, 3, 4);
    EXPECT_EQ(sendView(quarters), (Bytes{0x64, 0x00, 0x10, 0x00, 0x15, 0x00, 0x01, 0x00,
                                         0x01, 0x00, 0x02, 0x00, 0x03, 0x00, 0x04, 0x00}));
    const Send wide(CONNECTPRE_REQ, STATUS_ACCEPT, std::uint64_t{0x0004000300020001});
    EXPECT_EQ(sendView(wide), expected);
    EXPECT_EQ(wide.getOption0(), 1);
    EXPECT_EQ(wide.getOption1(), 2);
    EXPECT_EQ(wide.getOption2(), 3);
    EXPECT_EQ(wide.getOption3(), 4);
    EXPECT_EQ(wide.getOption(), 0x0004000300020001u);
    EXPECT_EQ(wide.getMessage(), CONNECTPRE_REQ);
    EXPECT_EQ(wide.getStatus(), STATUS_ACCEPT);
    EXPECT_EQ(wide.dump(), "64 00 10 00 12 00 01 00 01 00 02 00 03 00 04 00");

    const Send plain(DSICONNECT_REQ, STATUS_REPORT);
    EXPECT_EQ(sendView(plain), (Bytes{0x64, 0, 0x10, 0, 0x0C, 0, 0x20, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    const Send empty;
    EXPECT_EQ(sendView(empty), (Bytes{0x64, 0, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(Send, SetWritesOnlyIdStatusAndOptions) {
    SendBuffer b;
    b.set_str("abc");
    b.set(FORMAT_REQ, STATUS_ACCEPT, 9, 8, 7, 6);
    EXPECT_EQ(b.getLengthCode(), 0x001D);  // length code kept
    b.set(FORMAT_REQ, STATUS_NONE);
    EXPECT_EQ(b.getOption(), 0u);
    EXPECT_EQ(b.getLengthCode(), 0x001D);
    b._clear();
    EXPECT_EQ(b.getLengthCode(), 0x0010);
    EXPECT_EQ(b.getMessage(), FORMAT_REQ);
}

TEST(Send, CopyViewsItsOwnHeader) {
    Send copy;
    {
        Send original(LATENCY_REQ, STATUS_NONE, 5, 6, 7, 8);
        copy = original;
        Send constructed(original);
        EXPECT_EQ(static_cast<ORVEX::BufferCS_const>(constructed).size, 16u);
        EXPECT_NE(static_cast<ORVEX::BufferCS_const>(constructed).data,
                  static_cast<ORVEX::BufferCS_const>(original).data);
    }
    EXPECT_EQ(sendView(copy), (Bytes{0x64, 0, 0x10, 0, 6, 0, 0, 0, 5, 0, 6, 0, 7, 0, 8, 0}));
}

TEST(SendBuffer, LengthCodeTable) {
    const std::vector<std::pair<std::uint64_t, std::uint16_t>> rows = {
        {0, 0x0010}, {1, 0x001F}, {5, 0x001B}, {8, 0x0018}, {9, 0x0027},
        {18, 0x002E}, {1412, 0x059C}, {65512, 0xFFF8},
    };
    for (auto [n, code] : rows) {
        SCOPED_TRACE(n);
        EXPECT_EQ(Send::lengthCode(n), code);
        EXPECT_EQ(Send::decodeLength(code), n);
        SendBuffer b;
        b.resize(n);
        b.update();
        EXPECT_EQ(b.getLengthCode(), code);
        EXPECT_EQ(b.size_data(), n);
        const Bytes view = sendView(b);
        ASSERT_EQ(view.size(), static_cast<std::uint64_t>(code & ~7));
        EXPECT_EQ(view[2], code & 0xFF);
        EXPECT_EQ(view[3], code >> 8);
    }
}

TEST(SendBuffer, DefaultIsHeaderOnly) {
    SendBuffer b;
    EXPECT_EQ(b.size_data(), 0u);
    EXPECT_EQ(wholeView(b), (Bytes{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    b.set(STATUS_REQ, STATUS_NONE, 1, 0, 0, 0);
    b.update();
    EXPECT_EQ(sendView(b), (Bytes{0x64, 0, 0x10, 0, 0x38, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(SendBuffer, PadBytesZeroedOverStaleBytes) {
    for (std::uint64_t n : {0u, 1u, 3u, 8u, 9u, 15u}) {
        SCOPED_TRACE(n);
        SendBuffer b;
        b.resize(40);
        b.fill(0xAA);
        b.resize(n);
        b.update();
        const Bytes view = sendView(b);
        ASSERT_EQ(view.size(), Send::paddedLength(n));
        for (std::uint64_t i = 0; i < n; ++i) EXPECT_EQ(view[16 + i], 0xAA) << i;  // payload kept
        for (std::uint64_t i = 16 + n; i < view.size(); ++i) EXPECT_EQ(view[i], 0) << i;
    }
}

TEST(SendBuffer, ResizeWithRoomKeepsPayload) {
    SendBuffer b;
    b.set(STREAMDATA_SET, STATUS_NONE, 7, 0, 0, 0);
    b.resize(5, 105);
    for (int i = 0; i < 5; ++i) b.get_data()[i] = static_cast<std::uint8_t>(0x10 + i);
    std::uint8_t* extra = b.get_data() + 8;
    for (int i = 0; i < 100; ++i) extra[i] = 0xEE;
    b.update();
    EXPECT_EQ(b.getLengthCode(), 0x001B);
    EXPECT_EQ(sendView(b).size(), 24u);
    EXPECT_EQ(wholeView(b).size(), 128u);

    // A resend sizes the same storage again: payload and extra bytes survive.
    b.resize(5, 105);
    b.update();
    const Bytes whole = wholeView(b);
    EXPECT_EQ(Bytes(whole.begin() + 16, whole.begin() + 24), (Bytes{0x10, 0x11, 0x12, 0x13, 0x14, 0, 0, 0}));
    EXPECT_EQ(whole[24], 0xEE);
    EXPECT_EQ(whole[123], 0xEE);

    // Room below n: the vector holds the padded payload.
    b.resize(20, 3);
    EXPECT_EQ(wholeView(b).size(), 40u);
    EXPECT_EQ(sendView(b).size(), 40u);
    EXPECT_EQ(b.size_data(), 20u);
}

TEST(SendBuffer, OversizeIsCutNeverOverrun) {
    SendBuffer b;
    b.resize(70000);
    b.update();
    EXPECT_EQ(b.size_data(), 65512u);
    EXPECT_EQ(b.getLengthCode(), 0xFFF8);
    EXPECT_EQ(sendView(b).size(), 65528u);

    const std::string big(70000, 'x');
    b.set_str(big);
    EXPECT_EQ(b.size_data(), 65512u);
    EXPECT_EQ(wholeView(b).size(), 65528u);
    EXPECT_EQ(b.get_data()[65511], 'x');

    ORVEX::IPAddress a;
    a.address[15] = 1;
    b.set_add_str(a, big);
    EXPECT_EQ(b.size_data(), 65512u);
    EXPECT_EQ(b.get_data()[15], 1);
    EXPECT_EQ(b.get_data()[18], 'x');
    EXPECT_EQ(b.get_data()[65511], 'x');

    b.resize(10, 1u << 20);
    EXPECT_EQ(wholeView(b).size(), 65528u);
}

TEST(SendBuffer, StringPayloads) {
    SendBuffer b;
    b.set(FWVERSION_ANS, STATUS_ACCEPT);
    b.set_str("abc");
    b.update();
    EXPECT_EQ(sendView(b), (Bytes{0x64, 0, 0x1D, 0, 0x21, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                  0x61, 0x62, 0x63, 0, 0, 0, 0, 0}));
    b.set_str("");
    b.update();
    EXPECT_EQ(b.getLengthCode(), 0x0010);
    EXPECT_EQ(sendView(b).size(), 16u);

    ORVEX::IPAddress a;
    for (int i = 0; i < 16; ++i) a.address[i] = static_cast<std::uint8_t>(0xF0 + i);
    a.set_port(19644);  // 0x4CBC, stored in network order
    a.ifIndex = 3;
    b.set_add_str(a, "");
    b.update();
    EXPECT_EQ(b.getLengthCode(), 0x002E);
    Bytes view = sendView(b);
    ASSERT_EQ(view.size(), 40u);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(view[16 + i], 0xF0 + i);
    EXPECT_EQ(view[32], 0x4C);
    EXPECT_EQ(view[33], 0xBC);
    for (int i = 34; i < 40; ++i) EXPECT_EQ(view[i], 0);

    b.set_add_str(a, "Recoder");
    EXPECT_EQ(b.size_data(), 25u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(b.get_data()) + 18, 7), "Recoder");

    b.resize(4);
    b.fill(0x5A);
    EXPECT_EQ(Bytes(b.get_data(), b.get_data() + 4), (Bytes{0x5A, 0x5A, 0x5A, 0x5A}));
}

TEST(SendBuffer, StatusUpdateReachesTheVectorAtOnce) {
    SendBuffer b;
    b.set(STREAMDATA_SET, static_cast<StatusID>(0x0021), 1, 0, 0, 0);
    b.resize(8);
    b.update();
    b.statusUpdate(static_cast<StatusID>(0x0060), STATUS_CYCLEEND);
    EXPECT_EQ(b.getStatus(), 0x0041);
    const Bytes view = sendView(b);
    EXPECT_EQ(view[6], 0x41);
    EXPECT_EQ(view[7], 0x00);

    Send s(STREAMDATA_SET, static_cast<StatusID>(0x0021));
    s.statusUpdate(static_cast<StatusID>(0x0060), STATUS_CYCLEEND);
    EXPECT_EQ(sendView(s)[6], 0x41);
}

TEST(SendBuffer, ReserveKeepsContentAndFollowsTheVector) {
    SendBuffer b;
    b.set_str("hello");
    b.update();
    const Bytes before = sendView(b);
    b.reserve(4000);
    EXPECT_EQ(sendView(b), before);
    EXPECT_EQ(b.size_data(), 5u);
    EXPECT_EQ(static_cast<const Send&>(b).operator ORVEX::BufferCS_const().data,
              static_cast<ORVEX::BufferCS_const>(b).data);
    // Growing within the reserved capacity keeps the storage.
    const std::uint8_t* storage = b.get_data();
    b.resize(3900);
    EXPECT_EQ(b.get_data(), storage);
}

TEST(SendBuffer, TwoViews) {
    SendBuffer b;
    b.set(TRANSFERDATA_SET, STATUS_NONE);
    b.resize(3, 40);
    b.update();
    const Send& asSend = b;
    EXPECT_EQ(sendView(asSend).size(), 24u);
    EXPECT_EQ(wholeView(b).size(), 56u);
    EXPECT_EQ(static_cast<ORVEX::BufferCS_const>(asSend).data, static_cast<ORVEX::BufferCS_const>(b).data);
}

// Copies and moves never keep a pointer into another object's storage.
TEST(SendBuffer, CopiesAndMovesOwnTheirBytes) {
    auto make = [](const std::string& text) {
        SendBuffer b;
        b.set(OUTPUTNAME_ANS, STATUS_ACCEPT);
        b.set_str(text);
        b.update();
        return b;
    };
    SendBuffer copy;
    SendBuffer assigned;
    {
        SendBuffer original = make("first message");
        SendBuffer constructed(original);
        copy = original;
        EXPECT_NE(static_cast<const Send&>(constructed).operator ORVEX::BufferCS_const().data,
                  static_cast<const Send&>(original).operator ORVEX::BufferCS_const().data);
        SendBuffer moved(std::move(constructed));
        assigned = std::move(moved);
        // Moved-from objects stay usable messages of their own.
        EXPECT_EQ(sendView(constructed).size(), 16u);
        constructed.set_str("x");
        constructed.update();
        EXPECT_EQ(constructed.getLengthCode(), 0x001F);
    }
    for (const SendBuffer* b : {&copy, &assigned}) {
        const Bytes view = sendView(*b);
        ASSERT_EQ(view.size(), 32u);
        EXPECT_EQ(std::string(view.begin() + 16, view.begin() + 29), "first message");
    }

    // A ring of messages that grows relocates every element safely.
    std::vector<SendBuffer> ring;
    for (int i = 0; i < 40; ++i) ring.push_back(make(std::string(static_cast<std::size_t>(i + 1), 'a')));
    for (int i = 0; i < 40; ++i) {
        const Bytes view = sendView(ring[static_cast<std::size_t>(i)]);
        ASSERT_EQ(view.size(), Send::paddedLength(static_cast<std::uint64_t>(i + 1)));
        EXPECT_EQ(view[16 + static_cast<std::size_t>(i)], 'a');
    }
}

TEST(SendBuffer, MoveExchangesMessages) {
    SendBuffer a;
    a.set(CONNECT_REQ, STATUS_NONE, 1, 0, 0, 0);
    a.set_str("aaaaaaaaaaaa");
    a.update();
    SendBuffer b;
    b.set(STREAMDATA_SET, STATUS_NONE, 2, 0, 0, 0);
    b.resize(3, 100);
    b.update();
    const Bytes aSend = sendView(a);
    const Bytes bSend = sendView(b);
    a.move(b);
    EXPECT_EQ(sendView(a), bSend);
    EXPECT_EQ(wholeView(a).size(), 120u);
    EXPECT_EQ(a.getOption0(), 2);
    EXPECT_EQ(sendView(b), aSend);
    EXPECT_EQ(static_cast<const Send&>(a).operator ORVEX::BufferCS_const().data,
              static_cast<ORVEX::BufferCS_const>(a).data);
    EXPECT_EQ(static_cast<const Send&>(b).operator ORVEX::BufferCS_const().data,
              static_cast<ORVEX::BufferCS_const>(b).data);
    a.move(a);  // no-op
    EXPECT_EQ(sendView(a), bSend);
}

TEST(SendBuffer, HeaderlessStreamDatagram) {
    SendBuffer b;
    b.set_str("zz");
    b.update();
    b.set(STREAMDATA_SET, STATUS_REPORT, 0x0185, 0, 0, 0);
    b.ms_resize(3);
    b.get_data()[0] = 1;
    b.get_data()[1] = 2;
    b.get_data()[2] = 3;
    EXPECT_EQ(b.getLengthCode(), 0x001E);  // untouched
    EXPECT_EQ(b.size_data(), 3u);
    EXPECT_EQ(sendView(b).size(), 19u);
    EXPECT_EQ(bytesOf(b.ms_send(false)), (Bytes{1, 2, 3, 0x85}));
    EXPECT_EQ(bytesOf(b.ms_send(true)), (Bytes{1, 2, 3, 0x05}));
    b.set(STREAMDATA_SET, STATUS_NONE, 0x0185, 0, 0, 0);
    EXPECT_EQ(bytesOf(b.ms_send(false)), (Bytes{1, 2, 3, 0x05}));

    b.ms_resize(0);
    EXPECT_EQ(bytesOf(b.ms_send(false)), (Bytes{0x05}));

    // A vector without a trailer byte is left alone.
    SendBuffer headerOnly;
    EXPECT_EQ(headerOnly.ms_send(false).size, 0u);
    EXPECT_EQ(wholeView(headerOnly), Bytes(16, 0));
}

}  // namespace
}  // namespace ZARNITH
