// Control messages sent over real UDP/IPv6 sockets on the loopback interface.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "foundation/Clock.h"
#include "foundation/IPAddress.h"
#include "foundation/Socket.h"
#include "protocol/FormatConfigure.h"
#include "protocol/Receive.h"
#include "protocol/Send.h"

namespace ZARNITH {
namespace {

class LoopbackPair : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(loopback.set_V6_str("::1"));
        receiverAddress = loopback;
        senderAddress = loopback;
        ASSERT_TRUE(receiver.open(ORVEX::Socket::TYPE_UDPV6));
        ASSERT_TRUE(receiver.bindV6(receiverAddress, 0));
        ASSERT_TRUE(sender.open(ORVEX::Socket::TYPE_UDPV6));
        ASSERT_TRUE(sender.bindV6(senderAddress, 0));
        receiver.receiveSize = 65535;
    }

    // Receives one datagram within 2 s; false on time-out or error.
    bool receiveOne(Receive& message, ORVEX::IPAddress& from) {
        if (receiver.wait(ORVEX::Clock(2000000000000ull)) != ORVEX::WaitResult::Ready) return false;
        return receiver.receiveFromV6(message, from) && !message.empty();
    }

    ORVEX::IPAddress loopback, receiverAddress, senderAddress;
    ORVEX::UDPV6 receiver, sender;
};

TEST_F(LoopbackPair, HeaderOnlyAndFormatOption) {
    FormatConfigure format(CH2 | PCM32 | BASE_48000 | MULTI_4);
    const Send request(CONNECT_REQ, STATUS_NONE, format);
    ASSERT_TRUE(sender.sendToV6(request, receiverAddress, true));
    Receive got;
    ORVEX::IPAddress from;
    ASSERT_TRUE(receiveOne(got, from));
    EXPECT_EQ(from.get_port(), senderAddress.get_port());
    ASSERT_TRUE(static_cast<bool>(got));
    EXPECT_EQ(got.size(), 16u);
    EXPECT_EQ(got.getMessage(), CONNECT_REQ);
    EXPECT_EQ(FormatConfigure(got.getOption()).getSpeed(), 192000u);
}

TEST_F(LoopbackPair, PayloadWithExtraRoomKeepsLengthCodeSize) {
    SendBuffer b;
    b.set(STATUS_ANS, STATUS_ACCEPT, 3, 0, 0, 0);
    ORVEX::IPAddress peer = loopback;
    peer.set_port(19644);
    b.set_add_str(peer, "Recoder");
    b.update();

    // Through the Send view: header and padded payload only.
    ASSERT_TRUE(sender.sendToV6(static_cast<const Send&>(b), receiverAddress, true));
    Receive got;
    ORVEX::IPAddress from;
    ASSERT_TRUE(receiveOne(got, from));
    EXPECT_EQ(got.size(), 48u);
    ASSERT_TRUE(static_cast<bool>(got));
    ORVEX::IPAddress address;
    std::string text;
    got.get_add_str(address, text);
    EXPECT_EQ(text, "Recoder");
    EXPECT_TRUE(address.is_loopback());
    EXPECT_EQ(address.get_port(), 19644);

    // Through the whole-vector view: extra bytes behind the padded length are
    // carried and ignored; the payload size still comes from the length code.
    b.resize(b.size_data(), 1000);
    b.update();
    ASSERT_TRUE(sender.sendToV6(static_cast<ORVEX::BufferCS_const>(b), receiverAddress, true));
    ASSERT_TRUE(receiveOne(got, from));
    EXPECT_EQ(got.size(), 1016u);
    ASSERT_TRUE(static_cast<bool>(got));
    EXPECT_EQ(got.size_data(), 25u);
    got.get_add_str(address, text);
    EXPECT_EQ(text, "Recoder");
}

TEST_F(LoopbackPair, TruncatedDatagramIsInvalid) {
    SendBuffer b;
    b.set(DATASIZE_ANS, STATUS_ACCEPT);
    b.resize(1412);
    b.fill(0x42);
    b.update();
    receiver.receiveSize = 200;  // the receive cuts the datagram
    ASSERT_TRUE(sender.sendToV6(static_cast<const Send&>(b), receiverAddress, true));
    Receive got;
    ORVEX::IPAddress from;
    ASSERT_TRUE(receiveOne(got, from));
    EXPECT_EQ(got.size(), 200u);
    EXPECT_FALSE(static_cast<bool>(got));
    EXPECT_EQ(got.size_data(), 184u);
}

TEST_F(LoopbackPair, HeaderlessStreamDatagram) {
    SendBuffer b;
    b.set(STREAMDATA_SET, STATUS_REPORT, 0x0101, 0, 0, 0);
    b.ms_resize(600);
    b.fill(0x33);
    ASSERT_TRUE(sender.sendToV6(b.ms_send(false), receiverAddress, true));
    Receive got;
    ORVEX::IPAddress from;
    ASSERT_TRUE(receiveOne(got, from));
    ASSERT_EQ(got.size(), 601u);
    EXPECT_EQ(got[0], 0x33);
    EXPECT_EQ(got[599], 0x33);
    EXPECT_EQ(got[600], 0x81);
}

}  // namespace
}  // namespace ZARNITH
